#include "sim/clock.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "sim/error.h"

namespace sim {

namespace {

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int m, int d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int DaysInMonth(int y, int m)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : days[m - 1];
}

}  // namespace

int64_t ParseUtc(const std::string &text)
{
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0, used = 0;
    bool parsed = std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s,
                              &used) == 6;
    std::string rest = parsed ? text.substr(size_t(used)) : std::string();
    if (parsed && rest.size() == 5 && rest[0] == '.') {
        parsed = std::sscanf(rest.c_str(), ".%3d", &ms) == 1;
        rest = rest.substr(4);
    }
    if (!parsed || rest != "Z" || y < 1601 || y > 9999 || mo < 1 || mo > 12 || d < 1 ||
        d > DaysInMonth(y, mo) || h > 23 || mi > 59 || s > 59 || h < 0 || mi < 0 || s < 0)
        throw DeviceError(
            "clock.utc: expected a UTC time such as \"2026-12-05T08:30:00Z\", got \"" + text +
            "\"");
    return ((DaysFromCivil(y, mo, d) * 24 + h) * 60 + mi) * 60000 + int64_t(s) * 1000 + ms;
}

CivilTime ToCivil(int64_t msSinceEpoch)
{
    int64_t days = msSinceEpoch / 86400000;
    int64_t msOfDay = msSinceEpoch % 86400000;
    if (msOfDay < 0) {
        msOfDay += 86400000;
        --days;
    }
    // Inverse of DaysFromCivil.
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int d = int(doy - (153 * mp + 2) / 5 + 1);
    const int m = int(mp < 10 ? mp + 3 : mp - 9);
    const int y = int(yoe + era * 400 + (m <= 2));
    const int dayOfWeek = int(((days % 7) + 7 + 4) % 7);  // 1970-01-01 was a Thursday
    return {y,
            m,
            dayOfWeek,
            d,
            int(msOfDay / 3600000),
            int(msOfDay / 60000 % 60),
            int(msOfDay / 1000 % 60),
            int(msOfDay % 1000)};
}

VirtualClock::VirtualClock(const std::string &utc, int localOffsetMinutes)
    : startMs_(ParseUtc(utc)), offsetMinutes_(localOffsetMinutes)
{
}

void VirtualClock::Advance(uint32_t ms)
{
    AdvanceMicroseconds(uint64_t(ms) * 1000);
}

void VirtualClock::AdvanceMicroseconds(uint64_t us)
{
    elapsedUs_ += us;
    if (realTime_)
        std::this_thread::sleep_for(std::chrono::microseconds(us));
}

CivilTime VirtualClock::Utc() const
{
    return ToCivil(startMs_ + int64_t(ElapsedMs()));
}

CivilTime VirtualClock::Local() const
{
    return ToCivil(startMs_ + int64_t(ElapsedMs()) + int64_t(offsetMinutes_) * 60000);
}

}  // namespace sim
