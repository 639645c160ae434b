// Shared inside the host platform: the handle table, the last error, the attached device.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/ce.h"
#include "platform/host/host.h"
#include "sim/device.h"

namespace ce_host {

// Sets the last-error code and returns the failure value given, for one-line refusals:
// `return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);`
void SetError(DWORD code);
template <typename T>
T Fail(DWORD code, T result)
{
    SetError(code);
    return result;
}

struct FileObject {
    std::string devicePath;  // as resolved, with the case of the entries on disk
    std::filesystem::path hostPath;
    int fd = -1;
    DWORD access = 0;
    DWORD share = 0;
    uint64_t position = 0;
};

struct SearchObject {
    std::vector<WIN32_FIND_DATAW> entries;
    size_t next = 0;
    std::string pattern;  // as the program gave it
};

struct DeviceObject {
    sim::Driver *driver = nullptr;
};

struct StoreObject {
    std::string name;
};

struct PartitionSearchObject {
    size_t index = 0;
};

struct ProcessObject {
    std::string path;
    bool thread = false;
};

using HandleObject = std::variant<FileObject, SearchObject, DeviceObject, StoreObject,
                                  PartitionSearchObject, ProcessObject>;

HANDLE AddHandle(HandleObject object);
HandleObject *FindHandle(HANDLE handle);
template <typename T>
T *FindHandleAs(HANDLE handle)
{
    HandleObject *object = FindHandle(handle);
    return object ? std::get_if<T>(object) : nullptr;
}
// Removes the handle from the table and gives back its object (for closing).
bool TakeHandle(HANDLE handle, HandleObject &out);
// Every open handle of one kind, for share-mode checks.
template <typename T, typename F>
void ForEachHandle(F &&visit);
std::map<uintptr_t, HandleObject> &HandleTableForIteration();

template <typename T, typename F>
void ForEachHandle(F &&visit)
{
    for (auto &[value, object] : HandleTableForIteration())
        if (T *typed = std::get_if<T>(&object))
            visit(*typed);
}

// Text between the device's UTF-16 and the host's UTF-8.
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);
std::u16string_view View(LPCWSTR text);  // empty for NULL

// A device path resolved under root/. Each existing component is matched without regard to
// case and takes the case it has on disk; the last one may be missing (exists == false).
struct ResolvedPath {
    std::string devicePath;  // "\A\b.txt", with the case found on disk
    std::filesystem::path hostPath;
    bool exists = false;
    bool isDirectory = false;
};
// Fails with the last-error code set: 206 for MAX_PATH or more characters, 123 for a character
// the device's file systems refuse (wildcards only where allowed, in the last component), 3 for a
// missing folder on the way, 2 or 3 for a late volume not mounted yet (the volume itself or a
// path beneath it), and 5 with a violation journaled for a symbolic link or any entry that is not
// a plain file or folder.
bool ResolvePath(LPCWSTR path, ResolvedPath &out, bool allowWildcards = false);
// Drops what ResolvePath has learned about folders: at the start of a boot, and wherever the boot
// removes or moves a folder.
void ForgetResolvedFolders();
// A file that MoveToLinkedCopy left shared with another folder gets its own copy, handles and
// all; nothing for any other file.
void OwnBeforeChange(const std::filesystem::path &hostPath);

// False for a root folder of files.mount_after_ms until the virtual clock reaches its time.
bool IsMounted(const std::string &rootEntry);

// Attributes kept for a file or folder (FILE_ATTRIBUTE_* without DIRECTORY and NORMAL).
DWORD StoredAttributes(const std::string &devicePath);

// Device names ("PWR1:"): CreateFileW opens the driver, WriteFile hands it the data.
bool IsDeviceName(std::u16string_view name);
HANDLE OpenDevice(std::u16string_view name, DWORD access, DWORD share, DWORD disposition,
                  DWORD flags);
BOOL WriteDevice(DeviceObject &device, LPCVOID data, DWORD size, LPDWORD written);

// Process and thread ids start afresh with each boot.
void ResetProcessIds();

// One debug-log entry / one line of standard output, as the device prints them.
void EmitDebugLog(std::u16string_view text);
void EmitStdout(std::string_view text);

// What a handle stands for in a fallible call's target: a file's device path or a driver's name.
std::string HandleTarget(HANDLE handle);

}  // namespace ce_host
