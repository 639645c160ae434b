// The device's clock: virtual time that moves only when the device sleeps, plays a sound or
// waits for its flash.
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
    // Flash operations take microseconds; the calendar still counts whole milliseconds.
    void AdvanceMicroseconds(uint64_t us);
    uint64_t ElapsedMs() const { return elapsedUs_ / 1000; }
    uint64_t ElapsedUs() const { return elapsedUs_; }
    CivilTime Utc() const;
    CivilTime Local() const;

    // Milliseconds since 1970-01-01 UTC when the boot began.
    int64_t StartMs() const { return startMs_; }
    // With real time on, Advance also sleeps for the same span.
    void SetRealTime(bool on) { realTime_ = on; }

private:
    int64_t startMs_;  // milliseconds since 1970-01-01 UTC
    int offsetMinutes_;
    uint64_t elapsedUs_ = 0;
    bool realTime_ = false;
};

CivilTime ToCivil(int64_t msSinceEpoch);
int64_t ParseUtc(const std::string &text);  // throws DeviceError

}  // namespace sim
