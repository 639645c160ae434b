#include "platform/host/call_faults.h"

#include <map>
#include <string_view>

#include "platform/host/internal.h"

namespace ce_host {

namespace {

std::optional<uint64_t> g_failingCall;
std::vector<FallibleCallRecord> g_calls;
int g_depth = 0;  // fallible calls in progress: only the outermost one counts

// The failure each call meets on the device when something outside the program goes wrong.
// Never an answer that means "nothing there" (2, 3, 18) or "already there" (183): a program must
// not mistake a fault for an ordinary outcome.
const std::map<std::string_view, DWORD> &ErrorTable()
{
    static const std::map<std::string_view, DWORD> table = {
        {"CreateFileW", ERROR_SHARING_VIOLATION},  // held by another program
        {"ReadFile", ERROR_GEN_FAILURE},           // the medium could not be read
        {"WriteFile", ERROR_DISK_FULL},
        {"SetFilePointer", ERROR_GEN_FAILURE},
        {"GetFileSize", ERROR_GEN_FAILURE},
        {"FindFirstFileW", ERROR_GEN_FAILURE},  // the folder could not be read
        {"FindNextFileW", ERROR_GEN_FAILURE},
        {"CopyFileExW", ERROR_DISK_FULL},
        {"MoveFileW", ERROR_SHARING_VIOLATION},
        {"DeleteFileW", ERROR_SHARING_VIOLATION},
        {"SetFileAttributesW", ERROR_GEN_FAILURE},
        {"CreateDirectoryW", ERROR_DISK_FULL},
        {"RemoveDirectoryW", ERROR_SHARING_VIOLATION},
        {"DeviceIoControl", ERROR_GEN_FAILURE},  // the driver failed the request
        {"OpenStore", ERROR_GEN_FAILURE},
        {"FindFirstPartition", ERROR_GEN_FAILURE},
        {"FindClosePartition", ERROR_GEN_FAILURE},
        {"CreateProcessW", ERROR_NOT_ENOUGH_MEMORY},
        {"PlaySoundW", ERROR_GEN_FAILURE},
        {"LocalAlloc", ERROR_NOT_ENOUGH_MEMORY},
    };
    return table;
}

}  // namespace

void SetFailingCall(std::optional<uint64_t> n)
{
    g_failingCall = n;
}

std::optional<uint64_t> FailingCall()
{
    return g_failingCall;
}

const std::vector<FallibleCallRecord> &FallibleCalls()
{
    return g_calls;
}

void ResetFallibleCalls()
{
    g_calls.clear();
    // An OS update makes tens of thousands; growing the record by doubling copies them all.
    g_calls.reserve(1 << 16);
    g_depth = 0;
}

ScopedFailingCall::ScopedFailingCall(std::optional<uint64_t> n) : previous_(g_failingCall)
{
    g_failingCall = n;
}

ScopedFailingCall::~ScopedFailingCall()
{
    g_failingCall = previous_;
}

uint32_t InjectedError(const std::string &call, const std::string &target)
{
    // A driver whose open routine fails.
    if (call == "CreateFileW" && IsDeviceName(FromUtf8(target)))
        return ERROR_GEN_FAILURE;
    auto found = ErrorTable().find(call);
    return found == ErrorTable().end() ? DWORD(ERROR_GEN_FAILURE) : found->second;
}

FallibleCall::FallibleCall(const char *call, std::string target)
{
    if (g_depth++ > 0)
        return;
    size_t events = AttachedDevice().Events().Events().size();
    record_ = g_calls.size();
    g_calls.push_back({call, std::move(target), events, events});
}

FallibleCall::~FallibleCall()
{
    --g_depth;
    if (record_)
        g_calls[*record_].endEvent = AttachedDevice().Events().Events().size();
}

bool FallibleCall::Fails()
{
    if (!record_ || !g_failingCall || *record_ + 1 != *g_failingCall)
        return false;
    const FallibleCallRecord &record = g_calls[*record_];
    AttachedDevice().Events().Fault("calls", record.call + " #" + std::to_string(*g_failingCall));
    // The fault is not the call's own doing: its events begin after it.
    g_calls[*record_].firstEvent = AttachedDevice().Events().Events().size();
    SetError(InjectedError(record.call, record.target));
    return true;
}

ProgramCallback::ProgramCallback() : depth_(g_depth)
{
    g_depth = 0;
}

ProgramCallback::~ProgramCallback()
{
    g_depth = depth_;
}

std::string HandleTarget(HANDLE handle)
{
    HandleObject *object = FindHandle(handle);
    if (!object)
        return {};
    if (const FileObject *file = std::get_if<FileObject>(object))
        return file->devicePath;
    if (const DeviceObject *device = std::get_if<DeviceObject>(object))
        return device->driver->Name();
    return {};
}

}  // namespace ce_host
