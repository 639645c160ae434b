// The device's clock: virtual time that moves only when the device sleeps or plays a sound.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

struct CivilTime {
    int year, month, dayOfWeek, day, hour, minute, second, millisecond;
};

class VirtualClock {
public:
    // utc is "YYYY-MM-DDTHH:MM:SS[.mmm]Z"; a malformed value throws DeviceError.
    VirtualClock(const std::string &utc, int localOffsetMinutes);

    void Advance(uint32_t ms);
    uint64_t ElapsedMs() const { return elapsedMs_; }
    CivilTime Utc() const;
    CivilTime Local() const;

    // With real time on, Advance also sleeps for the same span.
    void SetRealTime(bool on) { realTime_ = on; }

private:
    int64_t startMs_;  // milliseconds since 1970-01-01 UTC
    int offsetMinutes_;
    uint64_t elapsedMs_ = 0;
    bool realTime_ = false;
};

CivilTime ToCivil(int64_t msSinceEpoch);
int64_t ParseUtc(const std::string &text);  // throws DeviceError

}  // namespace sim
