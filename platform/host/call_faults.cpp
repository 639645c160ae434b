#include "platform/host/call_faults.h"

#include <algorithm>
#include <map>
#include <set>
#include <string_view>

#include "platform/host/file_meta.h"
#include "platform/host/internal.h"

namespace ce_host {

namespace {

std::set<uint64_t> g_failingCalls;
FaultMode g_mode;
std::vector<FallibleCallRecord> g_calls;
int g_depth = 0;  // fallible calls in progress: only the outermost one counts
std::set<uint64_t> g_hookCalls;
std::function<void(uint64_t)> g_hook;

struct LastingFault {
    std::string place;
    bool torn = false;
};
std::vector<LastingFault> g_lasting;

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

std::set<uint64_t> OneOrNone(std::optional<uint64_t> n)
{
    return n ? std::set<uint64_t>{*n} : std::set<uint64_t>{};
}

// The calls whose target is a path on the device, or two of them joined by " -> ".
bool TargetIsPath(const std::string &call)
{
    static const std::set<std::string, std::less<>> calls = {
        "CreateFileW",    "ReadFile",           "WriteFile",        "SetFilePointer",
        "GetFileSize",    "FindFirstFileW",     "CopyFileExW",      "MoveFileW",
        "DeleteFileW",    "SetFileAttributesW", "CreateDirectoryW", "RemoveDirectoryW",
        "CreateProcessW", "PlaySoundW"};
    return calls.contains(call);
}

}  // namespace

void SetFailingCalls(std::set<uint64_t> numbers, FaultMode mode)
{
    g_failingCalls = std::move(numbers);
    g_mode = mode;
}

void SetFailingCall(std::optional<uint64_t> n, FaultMode mode)
{
    SetFailingCalls(OneOrNone(n), mode);
}

std::vector<std::string> LastingPlaces()
{
    std::vector<std::string> places;
    for (const LastingFault &fault : g_lasting)
        places.push_back(fault.place);
    return places;
}

void ClearLastingFaults()
{
    g_lasting.clear();
}

std::string PathPlace(const std::string &call, const std::string &paths)
{
    static const std::string kArrow = " -> ";
    size_t arrow = paths.find(kArrow);
    if (arrow == std::string::npos)
        return call + " " + ConfiguredPathKey(paths);
    return call + " " + ConfiguredPathKey(paths.substr(0, arrow)) + kArrow +
           ConfiguredPathKey(paths.substr(arrow + kArrow.size()));
}

void SetCallHook(std::set<uint64_t> numbers, std::function<void(uint64_t n)> hook)
{
    g_hookCalls = std::move(numbers);
    g_hook = std::move(hook);
}

const std::set<uint64_t> &FailingCalls()
{
    return g_failingCalls;
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

ScopedFailingCall::ScopedFailingCall(std::optional<uint64_t> n, FaultMode mode)
    : ScopedFailingCall(OneOrNone(n), mode)
{
}

ScopedFailingCall::ScopedFailingCall(std::set<uint64_t> numbers, FaultMode mode)
    : previous_(g_failingCalls), previousMode_(g_mode)
{
    SetFailingCalls(std::move(numbers), mode);
}

ScopedFailingCall::~ScopedFailingCall()
{
    SetFailingCalls(std::move(previous_), previousMode_);
}

uint32_t InjectedError(const std::string &call, const std::string &target)
{
    // A driver whose open routine fails.
    if (call == "CreateFileW" && IsDeviceName(FromUtf8(target)))
        return ERROR_GEN_FAILURE;
    auto found = ErrorTable().find(call);
    return found == ErrorTable().end() ? DWORD(ERROR_GEN_FAILURE) : found->second;
}

FallibleCall::FallibleCall(const char *call, std::string target, std::string place)
    : place_(std::move(place))
{
    if (g_depth++ > 0)
        return;
    size_t events = AttachedDevice().Events().Events().size();
    record_ = g_calls.size();
    g_calls.push_back({call, std::move(target), events, events});
    if (g_hook && g_hookCalls.contains(g_calls.size()))
        g_hook(g_calls.size());
}

FallibleCall::~FallibleCall()
{
    --g_depth;
    if (record_)
        g_calls[*record_].endEvent = AttachedDevice().Events().Events().size();
}

std::string FallibleCall::Place() const
{
    const FallibleCallRecord &record = g_calls[*record_];
    if (!place_.empty())
        return place_;
    if (record.target.empty())
        return record.call;
    if (TargetIsPath(record.call) && !IsDeviceName(FromUtf8(record.target)))
        return PathPlace(record.call, record.target);
    return record.call + " " + record.target;
}

bool FallibleCall::Fails()
{
    if (!record_)
        return false;
    const uint64_t n = *record_ + 1;
    const bool chosen = g_failingCalls.contains(n);
    if (!chosen && g_lasting.empty())
        return false;
    const std::string place = Place();
    auto lasting = std::find_if(g_lasting.begin(), g_lasting.end(),
                                [&](const LastingFault &fault) { return fault.place == place; });
    if (!chosen && lasting == g_lasting.end())
        return false;
    const FallibleCallRecord &record = g_calls[*record_];
    std::string what = record.call + " #" + std::to_string(n);
    if (!chosen) {
        torn_ = lasting->torn;
        what += " again";
    } else if (lasting != g_lasting.end()) {
        torn_ = lasting->torn = lasting->torn || g_mode.torn;
    } else {
        torn_ = g_mode.torn;
        if (g_mode.lasting)
            lasting = g_lasting.insert(g_lasting.end(), {place, torn_});
    }
    AttachedDevice().Events().Fault("calls", what, lasting == g_lasting.end() ? "" : place);
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
