// A simulated device driver, reached by its name ("PWR1:") through CreateFileW.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/faults.h"

namespace sim {

class Journal;

// Last-error codes that drivers leave (the same numbers as the device's).
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorInvalidParameter = 87;

// One DeviceIoControl call as the driver sees it.
struct IoRequest {
    uint32_t code = 0;
    std::span<const uint8_t> in;
    std::span<uint8_t> out;
    uint32_t bytesReturned = 0;
    // Set by the driver for a sector read or write, so that the journal merges runs of them.
    std::optional<uint32_t> transferSector;
    // The last-error code that a refusal leaves.
    uint32_t error = kErrorGenFailure;
};

class Driver {
public:
    // The faults come from the device.json section given, which their messages name (the
    // driver's own name when none is).
    Driver(std::string name, std::vector<NamedCode> codes, std::vector<FaultSpec> faults,
           const std::string &section = {});
    virtual ~Driver() = default;
    Driver(const Driver &) = delete;
    Driver &operator=(const Driver &) = delete;

    const std::string &Name() const { return name_; }
    // The control code's name as the journal shows it; empty when the driver does not know it.
    std::string CodeName(uint32_t code) const;

    // Fails the call when a fault on its code fires, else hands it to Control.
    bool Dispatch(IoRequest &request);
    // Fails a request that a fault stops, leaving what a driver whose work can be torn halfway
    // leaves; the others change nothing. Always false.
    virtual bool FailRequest(IoRequest &request, FailureLeaves leaves);
    // Where a fault that lasts stays for this request ("DSK1: block 7"), when the driver knows
    // a place finer than the request's code and input; empty otherwise.
    virtual std::string FaultPlace(const IoRequest &request) const;
    // WriteFile on the driver's handle; drivers that take no data refuse it.
    virtual bool Write(std::span<const uint8_t> data);

    // What the driver remembers between boots, under its own key of state.json (none when the
    // key is empty).
    virtual std::string StateKey() const { return {}; }
    virtual void LoadState(const nlohmann::json &state);
    virtual nlohmann::json SaveState() const;
    // Puts into the device folder what the driver holds in memory alone, before the state is
    // saved.
    virtual void Flush() {}

    void AttachJournal(Journal *journal) { journal_ = journal; }

protected:
    virtual bool Control(IoRequest &request) = 0;
    // For faults on operations rather than codes (a block, a sector).
    std::optional<FailureLeaves> FaultHit(const FaultQuery &query) { return faults_.Fired(query); }
    Journal *journal() const { return journal_; }

    // Buffer helpers: a 4-byte little-endian word in, bytes out. A wrong size refuses the call
    // with ERROR_INVALID_PARAMETER.
    static bool InputWord(IoRequest &request, uint32_t &word);
    static bool Output(IoRequest &request, const void *data, uint32_t size);
    static bool Refuse(IoRequest &request, uint32_t error);

private:
    std::string name_;
    std::vector<NamedCode> codes_;
    FaultList faults_;
    Journal *journal_ = nullptr;
};

}  // namespace sim
