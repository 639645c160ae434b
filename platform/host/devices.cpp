// Driver handles: CreateFileW on "XXXn:" names, DeviceIoControl, WriteFile to a driver.
#include <cctype>

#include "platform/host/call_faults.h"
#include "platform/host/internal.h"

namespace ce_host {

namespace {

// "PWR1: SET_OS_UPDATE_MODE 00000000": the driver, the code and a short input's bytes.
std::string IoControlTarget(const DeviceObject *device, DWORD code, LPVOID in, DWORD inSize)
{
    if (!device)
        return {};
    std::string name = device->driver->CodeName(code);
    std::string target =
        device->driver->Name() + " " + (name.empty() ? std::to_string(code) : name);
    if (in && inSize > 0 && inSize <= 8)
        target += " " + sim::ToHex({static_cast<const uint8_t *>(in), inSize});
    return target;
}

BOOL FailedIoControl(LPDWORD bytesReturned)
{
    if (bytesReturned)
        *bytesReturned = 0;
    return FALSE;
}

}  // namespace

bool IsDeviceName(std::u16string_view name)
{
    // Three letters, one or more digits, a colon: "DSK1:", "PWR1:".
    if (name.size() < 5 || name.back() != u':')
        return false;
    for (size_t i = 0; i < 3; ++i)
        if (name[i] > 0x7F || !std::isalpha(int(name[i])))
            return false;
    for (size_t i = 3; i + 1 < name.size(); ++i)
        if (name[i] < u'0' || name[i] > u'9')
            return false;
    return true;
}

HANDLE OpenDevice(std::u16string_view name, DWORD access, DWORD share, DWORD disposition,
                  DWORD flags)
{
    sim::Device &device = AttachedDevice();
    sim::Driver *driver = device.FindDriver(ToUtf8(name));
    if (!driver)
        return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    device.Events().Open(driver->Name(), access, share, disposition, flags);
    return AddHandle(DeviceObject{driver});
}

BOOL WriteDevice(DeviceObject &device, LPCVOID data, DWORD size, LPDWORD written)
{
    if (written)
        *written = 0;
    if (!device.driver->Write({static_cast<const uint8_t *>(data), data ? size : 0}))
        return Fail(ERROR_INVALID_FUNCTION, FALSE);
    if (written)
        *written = size;
    return TRUE;
}

}  // namespace ce_host

using namespace ce_host;

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED)
{
    DeviceObject *device = FindHandleAs<DeviceObject>(hDevice);
    sim::IoRequest request;
    request.code = dwIoControlCode;
    request.in = {static_cast<const uint8_t *>(lpInBuffer), lpInBuffer ? nInBufferSize : 0};
    request.out = {static_cast<uint8_t *>(lpOutBuffer), lpOutBuffer ? nOutBufferSize : 0};
    FallibleCall fallible("DeviceIoControl",
                          IoControlTarget(device, dwIoControlCode, lpInBuffer, nInBufferSize),
                          device ? device->driver->FaultPlace(request) : std::string());
    if (fallible.Fails()) {
        if (device)
            device->driver->FailRequest(request, fallible.Torn() ? sim::FailureLeaves::Torn
                                                                 : sim::FailureLeaves::Untouched);
        return FailedIoControl(lpBytesReturned);
    }
    if (!device)
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    bool ok = device->driver->Dispatch(request);
    if (lpBytesReturned)
        *lpBytesReturned = ok ? request.bytesReturned : 0;
    sim::Driver &driver = *device->driver;
    AttachedDevice().Events().Ioctl(driver.Name(), dwIoControlCode,
                                    driver.CodeName(dwIoControlCode), request.in, request.out, ok,
                                    request.transferSector);
    return ok ? TRUE : Fail(request.error, FALSE);
}
