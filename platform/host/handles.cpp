// The attached device, the handle table, the last error and what a boot still holds.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/host/call_faults.h"
#include "platform/host/file_cuts.h"
#include "platform/host/heap_book.h"
#include "platform/host/internal.h"

namespace ce_host {

namespace {

sim::Device *g_device = nullptr;
DWORD g_lastError = ERROR_SUCCESS;
std::map<uintptr_t, HandleObject> g_handles;
// Handle values are never reused in a boot, so a stale handle is always refused; each boot starts
// at the same value, as a freshly started device does.
constexpr uintptr_t kFirstHandle = 0x1000;
uintptr_t g_nextHandle = kFirstHandle;

void ReleaseHostResources(HandleObject &object)
{
    if (FileObject *file = std::get_if<FileObject>(&object); file && file->fd >= 0) {
        ::close(file->fd);
        file->fd = -1;
    }
}

HandleKind KindOf(const HandleObject &object)
{
    static const HandleKind kinds[] = {
        HandleKind::File,  HandleKind::Search,          HandleKind::Device,
        HandleKind::Store, HandleKind::PartitionSearch, HandleKind::Process};
    return kinds[object.index()];
}

std::string Describe(const HandleObject &object)
{
    std::string what = HandleKindName(KindOf(object));
    if (const FileObject *file = std::get_if<FileObject>(&object))
        what += " " + file->devicePath;
    else if (const DeviceObject *device = std::get_if<DeviceObject>(&object))
        what += " " + device->driver->Name();
    else if (const StoreObject *store = std::get_if<StoreObject>(&object))
        what += " " + store->name;
    else if (const ProcessObject *process = std::get_if<ProcessObject>(&object))
        what += std::string(process->thread ? " thread " : " ") + process->path;
    return what;
}

}  // namespace

void Attach(sim::Device &device)
{
    Detach();
    g_device = &device;
    g_lastError = ERROR_SUCCESS;
    g_nextHandle = kFirstHandle;
    ResetProcessIds();
    ResetFallibleCalls();
    ResetFileChanges();
    ForgetResolvedFolders();
}

void Detach()
{
    for (auto &[value, object] : g_handles)
        ReleaseHostResources(object);
    g_handles.clear();
    HeapBook().ReleaseAll();
    g_device = nullptr;
}

sim::Device &AttachedDevice()
{
    if (!g_device) {
        std::fputs("host platform: a call was made with no device attached\n", stderr);
        std::abort();
    }
    return *g_device;
}

const char *HandleKindName(HandleKind kind)
{
    switch (kind) {
        case HandleKind::File:
            return "file";
        case HandleKind::Search:
            return "search";
        case HandleKind::Device:
            return "device";
        case HandleKind::Store:
            return "store";
        case HandleKind::PartitionSearch:
            return "partition search";
        case HandleKind::Process:
            return "process";
    }
    return "handle";
}

Holdings Held()
{
    Holdings held;
    held.handles = g_handles.size();
    held.heapBlocks = HeapBook().Blocks();
    held.heapBytes = HeapBook().Bytes();
    held.peakHeapBytes = HeapBook().PeakBytes();
    return held;
}

std::vector<std::string> DescribeHeld()
{
    std::vector<std::string> lines;
    for (const auto &[value, object] : g_handles)
        lines.push_back(Describe(object));
    for (size_t bytes : HeapBook().BlockSizes())
        lines.push_back("heap block of " + std::to_string(bytes) + " bytes");
    return lines;
}

size_t ReportLeaks()
{
    std::vector<std::string> lines = DescribeHeld();
    for (const std::string &line : lines)
        AttachedDevice().Events().Leak(line);
    return lines.size();
}

void SetError(DWORD code)
{
    g_lastError = code;
}

HANDLE AddHandle(HandleObject object)
{
    uintptr_t value = g_nextHandle;
    g_nextHandle += 4;
    g_handles.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

HandleObject *FindHandle(HANDLE handle)
{
    auto found = g_handles.find(reinterpret_cast<uintptr_t>(handle));
    return found == g_handles.end() ? nullptr : &found->second;
}

bool TakeHandle(HANDLE handle, HandleObject &out)
{
    auto found = g_handles.find(reinterpret_cast<uintptr_t>(handle));
    if (found == g_handles.end())
        return false;
    out = std::move(found->second);
    g_handles.erase(found);
    return true;
}

std::map<uintptr_t, HandleObject> &HandleTableForIteration()
{
    return g_handles;
}

void EmitDebugLog(std::u16string_view text)
{
    AttachedDevice().AppendDebugLog(ToUtf8(text));
}

void EmitStdout(std::string_view text)
{
    AttachedDevice().Events().Stdout(std::string(text));
}

}  // namespace ce_host

using namespace ce_host;

DWORD GetLastError(void)
{
    return g_lastError;
}

void SetLastError(DWORD dwErrCode)
{
    g_lastError = dwErrCode;
}

BOOL CloseHandle(HANDLE hObject)
{
    HandleObject *object = FindHandle(hObject);
    // Searches have their own close calls.
    if (!object || std::holds_alternative<SearchObject>(*object) ||
        std::holds_alternative<PartitionSearchObject>(*object))
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    HandleObject taken;
    TakeHandle(hObject, taken);
    if (const DeviceObject *device = std::get_if<DeviceObject>(&taken))
        AttachedDevice().Events().Close(device->driver->Name());
    ReleaseHostResources(taken);
    return TRUE;
}
