// The device's clock calls, on the simulated device's virtual clock.
#include "platform/host/internal.h"

namespace {

void FillSystemTime(const sim::CivilTime &time, LPSYSTEMTIME out)
{
    out->wYear = WORD(time.year);
    out->wMonth = WORD(time.month);
    out->wDayOfWeek = WORD(time.dayOfWeek);
    out->wDay = WORD(time.day);
    out->wHour = WORD(time.hour);
    out->wMinute = WORD(time.minute);
    out->wSecond = WORD(time.second);
    out->wMilliseconds = WORD(time.millisecond);
}

}  // namespace

void Sleep(DWORD dwMilliseconds)
{
    sim::Device &device = ce_host::AttachedDevice();
    device.Events().Sleep(dwMilliseconds);
    device.Clock().Advance(dwMilliseconds);
}

void GetSystemTime(LPSYSTEMTIME lpSystemTime)
{
    FillSystemTime(ce_host::AttachedDevice().Clock().Utc(), lpSystemTime);
}

void GetLocalTime(LPSYSTEMTIME lpSystemTime)
{
    FillSystemTime(ce_host::AttachedDevice().Clock().Local(), lpSystemTime);
}
