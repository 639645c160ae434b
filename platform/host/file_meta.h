// Shared by the file calls of the host platform: what the layer keeps about entries besides their
// data (attributes, creation order, who holds them open) and a few path helpers.
#pragma once

#include <ctime>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/host/internal.h"

namespace ce_host {

// The bits kept per entry; DIRECTORY comes from the disk and NORMAL means "none of them".
constexpr DWORD kStoredAttributeMask = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                       FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

// A delete or a rename needs this right; an open handle grants it only with kShareDelete.
constexpr DWORD kDeleteAccess = 0x00010000u;
constexpr DWORD kShareDelete = 0x00000004u;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | kShareDelete;

// Backslash, and the desktop platform's forward slash, which never reaches the host as its own.
bool IsPathSeparator(char16_t c);

// ResolvePath for an entry that must exist: ERROR_FILE_NOT_FOUND when the last one is missing.
bool ResolveExisting(LPCWSTR path, ResolvedPath &out);

// CreateFileW for a file whose name has been resolved just before, with nothing changed since;
// `name` is the name as given, whose trailing backslash refuses a new file.
HANDLE OpenResolvedFile(const ResolvedPath &path, LPCWSTR name, DWORD access, DWORD share,
                        DWORD disposition, DWORD flags);

// "\" + name for the root, parent + "\" + name elsewhere.
std::string JoinDevicePath(const std::string &folder, std::string_view name);
std::string DeviceParent(const std::string &devicePath);
bool IsRootPath(const std::string &devicePath);

// The record key of a device path written in device.json (files.locked, the copy faults), which
// may lack its leading backslash, use slashes, end in a backslash or differ in letter case.
std::string ConfiguredPathKey(std::string path);

// Attributes of an entry as a search reports them.
DWORD ReportedAttributes(const std::string &devicePath, bool isDirectory);
void StoreAttributes(const std::string &devicePath, DWORD attributes);

// Creation sequence of entries made through the platform (none for entries laid on disk).
void RecordCreated(const std::string &devicePath);
std::optional<uint64_t> CreationSequence(const std::string &devicePath);

// File times in FILETIME ticks (100 ns since 1601-01-01 UTC).
uint64_t VirtualFileTime();  // now, on the virtual clock
uint64_t TicksOf(const timespec &time);
FILETIME ToFileTime(uint64_t ticks);
// The host file's last-write time, never through a symbolic link.
void SetHostWriteTime(int fd, uint64_t ticks);
void SetHostWriteTime(const std::filesystem::path &hostPath, uint64_t ticks);
std::optional<uint64_t> HostWriteTime(const std::filesystem::path &hostPath);
// The creation time, kept with the host entry itself (none for entries laid on disk directly, or
// on a host file system without user attributes).
void SetCreationTime(int fd, uint64_t ticks);
void SetCreationTime(const std::filesystem::path &hostPath, uint64_t ticks);
std::optional<uint64_t> CreationTime(const std::filesystem::path &hostPath);

// True when a handle of this process or a lock of the device folder holds the entry.
bool IsHeld(const std::string &devicePath);

// Keeps the records of an entry and everything beneath it in step with the disk.
void ForgetRecords(const std::string &devicePath);
void MoveRecords(const std::string &from, const std::string &to);

// Fails with ERROR_SHARING_VIOLATION when the entry is locked by the device folder, or an open
// handle's sharing refuses `access`, or `share` refuses what an open handle does.
bool CheckSharing(const std::string &devicePath, DWORD access, DWORD share);
// Fails with ERROR_ACCESS_DENIED when an entry beneath the folder is open or locked.
bool CheckNothingHeldBeneath(const std::string &folderDevicePath);

// The last-error code for a failed host call.
DWORD ErrorFromErrno(int error);

}  // namespace ce_host
