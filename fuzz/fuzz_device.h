// One simulated device for a whole fuzzing run, its flash kept in memory. Every input starts from
// the shell's program-start state and an empty journal, and whatever an input leaves behind (a
// handle, a heap block, a flash flag, a misused call, a forbidden access) is a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

#include "sim/flash_array.h"
#include "tests/support/temp_device.h"

namespace qs_fuzz {

class FuzzDevice {
public:
    // The smallest flash that holds every region keeps each input cheap.
    explicit FuzzDevice(nlohmann::json deviceJson = {{"flash", {{"blocks", 7}}}});

    // Starts one input. The device is made anew now and then, so that its debug log, which only
    // grows, stays small over millions of inputs.
    qs_test::TempDevice &Begin();
    // Ends one input; aborts, naming what was left, when the input left anything behind.
    void End();

    sim::FlashArray &Flash() { return *flash_; }
    // Erases the sector's block and programs the record there, padded with erased bytes (a
    // longer record is cut to the sector's 2056 bytes).
    void WriteSector(uint32_t sector, std::span<const uint8_t> record);

private:
    void Renew();

    nlohmann::json deviceJson_;
    std::unique_ptr<qs_test::TempDevice> device_;
    sim::FlashArray *flash_ = nullptr;
    uint32_t inputs_ = 0;
};

// Aborts with the message, so that libFuzzer keeps the input as a crash.
[[noreturn]] void Finding(const std::string &what);

inline std::string Bytes(const uint8_t *data, size_t size)
{
    return std::string(reinterpret_cast<const char *>(data), size);
}

}  // namespace qs_fuzz
