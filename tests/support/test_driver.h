// A small driver for exercising the registry, faults and journal without a real device.
#pragma once

#include <cstring>
#include <vector>

#include "sim/driver.h"

namespace qs_test {

// "TST1:": code 1 echoes its input into its output; 2 sets a sector address; 3 and 4 read and
// write the sector there and move on to the next one; 5 sets a word kept between boots.
class TestDriver : public sim::Driver {
public:
    static constexpr uint32_t kEcho = 1, kSetSector = 2, kReadSector = 3, kWriteSector = 4,
                              kSetWord = 5;

    explicit TestDriver(std::vector<sim::FaultSpec> faults = {})
        : Driver("TST1:",
                 {{kEcho, "ECHO"},
                  {kSetSector, "SET_SECTOR"},
                  {kReadSector, "READ_SECTOR"},
                  {kWriteSector, "WRITE_SECTOR"},
                  {kSetWord, "SET_WORD"}},
                 std::move(faults))
    {
    }

    uint32_t word = 0;
    std::vector<uint8_t> written;

    bool Write(std::span<const uint8_t> data) override
    {
        written.assign(data.begin(), data.end());
        return true;
    }
    std::string StateKey() const override { return "test"; }
    void LoadState(const nlohmann::json &state) override { word = state.value("word", 0u); }
    nlohmann::json SaveState() const override { return {{"word", word}}; }

protected:
    bool Control(sim::IoRequest &request) override
    {
        switch (request.code) {
            case kEcho:
                if (request.out.size() < request.in.size())
                    return false;
                if (!request.in.empty())  // an empty buffer may have no address at all
                    std::memcpy(request.out.data(), request.in.data(), request.in.size());
                request.bytesReturned = uint32_t(request.in.size());
                return true;
            case kSetSector:
                return InputWord(request, sector_);
            case kReadSector:
            case kWriteSector:
                // A failed transfer is journaled with its sector too.
                request.transferSector = sector_;
                if (FaultHit({{}, request.code == kReadSector ? "read" : "write", {}, sector_}))
                    return false;
                ++sector_;
                return true;
            case kSetWord:
                return InputWord(request, word);
        }
        return Refuse(request, sim::kErrorInvalidParameter);
    }

private:
    uint32_t sector_ = 0;
};

}  // namespace qs_test
