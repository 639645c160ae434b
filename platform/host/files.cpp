// Files and folders: open, read, write, seek, size, delete, create and remove folders.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/host/call_faults.h"
#include "platform/host/file_cuts.h"
#include "platform/host/file_meta.h"
#include "platform/host/write_faults.h"

using namespace ce_host;

namespace fs = std::filesystem;

namespace {

// The refusal an open of an existing file meets from its attributes, if any.
DWORD RefusalForExisting(const ResolvedPath &path, DWORD access, DWORD disposition, DWORD flags)
{
    DWORD stored = StoredAttributes(path.devicePath);
    bool replaces = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    if ((stored & FILE_ATTRIBUTE_READONLY) && ((access & GENERIC_WRITE) || replaces))
        return ERROR_ACCESS_DENIED;
    // Replacing a hidden or system file must say so, so that it is not replaced by mistake.
    DWORD guarded = stored & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    if (disposition == CREATE_ALWAYS && (guarded & ~flags))
        return ERROR_ACCESS_DENIED;
    if (disposition == TRUNCATE_EXISTING && !(access & GENERIC_WRITE))
        return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

int OpenFlags(DWORD access, DWORD disposition, bool exists)
{
    bool reads = access & GENERIC_READ;
    bool writes = access & GENERIC_WRITE;
    // Never through a link: resolution refuses one, and this keeps a link made since refused too.
    int flags = O_CLOEXEC | O_NOFOLLOW | (reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY);
    if (!exists)
        flags |= O_CREAT | O_EXCL;
    else if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING)
        flags |= O_TRUNC;
    return flags;
}

bool EndsWithSeparator(LPCWSTR name)
{
    std::u16string_view text = View(name);
    return !text.empty() && IsPathSeparator(text.back());
}

}  // namespace

HANDLE ce_host::OpenResolvedFile(const ResolvedPath &path, LPCWSTR name, DWORD access, DWORD share,
                                 DWORD disposition, DWORD flags)
{
    if (path.exists && path.isDirectory)
        return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    if (path.exists) {
        if (disposition == CREATE_NEW)
            return Fail(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
        if (DWORD refusal = RefusalForExisting(path, access, disposition, flags))
            return Fail(refusal, INVALID_HANDLE_VALUE);
        if (!CheckSharing(path.devicePath, access, share))
            return INVALID_HANDLE_VALUE;
    } else {
        if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)
            return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
        if (EndsWithSeparator(name))
            return Fail(ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);
    }

    const bool emptied = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    std::optional<FileChange> change;
    if (!path.exists || emptied)
        change.emplace(path.exists ? "empty" : "create", path.devicePath);
    if (path.exists && (access & GENERIC_WRITE))
        OwnBeforeChange(path.hostPath);
    int fd = ::open(path.hostPath.c_str(), OpenFlags(access, disposition, path.exists), 0666);
    if (fd < 0)
        return Fail(errno == ELOOP ? DWORD(ERROR_ACCESS_DENIED) : ErrorFromErrno(errno),
                    INVALID_HANDLE_VALUE);
    if (!path.exists)
        RecordCreated(path.devicePath);
    if (!path.exists || disposition == CREATE_ALWAYS)
        StoreAttributes(path.devicePath, flags | FILE_ATTRIBUTE_ARCHIVE);
    if (!path.exists)
        SetCreationTime(fd, VirtualFileTime());
    if (!path.exists || emptied)
        SetHostWriteTime(fd, VirtualFileTime());

    HANDLE handle = AddHandle(FileObject{path.devicePath, path.hostPath, fd, access, share, 0});
    if (change)
        change->Done();
    // These two say whether the file was there; every other open leaves the last error alone.
    if (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
        SetError(path.exists ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

namespace {

HANDLE OpenFile(LPCWSTR name, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING)
        return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    ResolvedPath path;
    if (!ResolvePath(name, path))
        return INVALID_HANDLE_VALUE;
    return OpenResolvedFile(path, name, access, share, disposition, flags);
}

FileObject *FileOf(HANDLE handle)
{
    FileObject *file = FindHandleAs<FileObject>(handle);
    return file ? file : Fail(ERROR_INVALID_HANDLE, nullptr);
}

bool HostSize(const FileObject &file, uint64_t &size)
{
    struct stat status {};
    if (::fstat(file.fd, &status) != 0)
        return Fail(ErrorFromErrno(errno), false);
    size = static_cast<uint64_t>(status.st_size);
    return true;
}

// The device has no overlapped I/O, so the count is where the result goes.
BOOL RefuseMissingCount(const char *call)
{
    AttachedDevice().Events().Misuse(call, "no byte-count pointer");
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
}

// The file's last-write time follows the virtual clock as it is written.
void Written(FileObject &file, DWORD bytes)
{
    file.position += bytes;
    if (bytes)
        SetHostWriteTime(file.fd, VirtualFileTime());
}

// Removes a file or an empty folder, a point where the power can go.
bool RemoveChanging(const ResolvedPath &path, const char *change)
{
    FileChange point(change, path.devicePath);
    std::error_code error;
    if (!fs::remove(path.hostPath, error))
        return Fail(ErrorFromErrno(error ? error.value() : ENOENT), false);
    if (path.isDirectory)
        ForgetResolvedFolders();
    ForgetRecords(path.devicePath);
    point.Done();
    return true;
}

}  // namespace

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE)
{
    FallibleCall fallible("CreateFileW", ToUtf8(View(lpFileName)));
    if (fallible.Fails())
        return INVALID_HANDLE_VALUE;
    if (IsDeviceName(View(lpFileName)))
        return OpenDevice(View(lpFileName), dwDesiredAccess, dwShareMode, dwCreationDisposition,
                          dwFlagsAndAttributes);
    return OpenFile(lpFileName, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                    dwFlagsAndAttributes);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED)
{
    if (!lpNumberOfBytesRead)
        return RefuseMissingCount("ReadFile");
    *lpNumberOfBytesRead = 0;
    FallibleCall fallible("ReadFile", HandleTarget(hFile));
    if (fallible.Fails())
        return FALSE;
    FileObject *file = FileOf(hFile);
    if (!file)
        return FALSE;
    if (!(file->access & GENERIC_READ))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    auto *buffer = static_cast<char *>(lpBuffer);
    DWORD done = 0;
    nNumberOfBytesToRead = ReadCutShort(*file, nNumberOfBytesToRead);
    while (done < nNumberOfBytesToRead) {
        ssize_t got = ::pread(file->fd, buffer + done, nNumberOfBytesToRead - done,
                              static_cast<off_t>(file->position + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return Fail(ErrorFromErrno(errno), FALSE);
        if (got == 0)
            break;  // the end of the file: a short read still succeeds
        done += static_cast<DWORD>(got);
    }
    file->position += done;
    *lpNumberOfBytesRead = done;
    return TRUE;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED)
{
    if (!lpNumberOfBytesWritten)
        return RefuseMissingCount("WriteFile");
    *lpNumberOfBytesWritten = 0;
    FallibleCall fallible("WriteFile", HandleTarget(hFile));
    if (fallible.Fails())
        return FALSE;
    if (DeviceObject *device = FindHandleAs<DeviceObject>(hFile))
        return WriteDevice(*device, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten);
    FileObject *file = FileOf(hFile);
    if (!file)
        return FALSE;
    if (!(file->access & GENERIC_WRITE))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (auto cut = WriteCutShort(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten))
        return *cut;
    std::optional<FileChange> change;
    if (nNumberOfBytesToWrite > 0)
        change.emplace("write", file->devicePath, file->position, nNumberOfBytesToWrite);
    const DWORD landing = change ? DWORD(change->Landing()) : 0;
    const auto *buffer = static_cast<const char *>(lpBuffer);
    DWORD done = 0;
    while (done < landing) {
        ssize_t put = ::pwrite(file->fd, buffer + done, landing - done,
                               static_cast<off_t>(file->position + done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            DWORD error = ErrorFromErrno(put < 0 ? errno : ENOSPC);
            Written(*file, done);
            *lpNumberOfBytesWritten = done;
            return Fail(error, FALSE);
        }
        done += static_cast<DWORD>(put);
    }
    Written(*file, done);
    *lpNumberOfBytesWritten = done;
    if (change)
        change->Done();
    return TRUE;
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                     DWORD dwMoveMethod)
{
    FallibleCall fallible("SetFilePointer", HandleTarget(hFile));
    if (fallible.Fails())
        return INVALID_SET_FILE_POINTER;
    FileObject *file = FileOf(hFile);
    if (!file)
        return INVALID_SET_FILE_POINTER;
    // With a high word the distance is a 64-bit number; without one, the low word is signed.
    int64_t distance =
        lpDistanceToMoveHigh
            ? static_cast<int64_t>((uint64_t(uint32_t(*lpDistanceToMoveHigh)) << 32) |
                                   uint32_t(lDistanceToMove))
            : int64_t{lDistanceToMove};
    int64_t base = 0;
    switch (dwMoveMethod) {
        case FILE_BEGIN:
            break;
        case FILE_CURRENT:
            base = static_cast<int64_t>(file->position);
            break;
        case FILE_END: {
            uint64_t size = 0;
            if (!HostSize(*file, size))
                return INVALID_SET_FILE_POINTER;
            base = static_cast<int64_t>(size);
            break;
        }
        default:
            return Fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    }
    int64_t target = 0;
    if (__builtin_add_overflow(base, distance, &target))
        return Fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    if (target < 0)
        return Fail(ERROR_NEGATIVE_SEEK, INVALID_SET_FILE_POINTER);
    if (!lpDistanceToMoveHigh && target > int64_t{UINT32_MAX})
        return Fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    file->position = static_cast<uint64_t>(target);
    if (lpDistanceToMoveHigh)
        *lpDistanceToMoveHigh = static_cast<LONG>(file->position >> 32);
    // A position whose low word is all ones is told from a failure by the last error.
    SetError(ERROR_SUCCESS);
    return static_cast<DWORD>(file->position);
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh)
{
    FallibleCall fallible("GetFileSize", HandleTarget(hFile));
    if (fallible.Fails())
        return INVALID_FILE_SIZE;
    FileObject *file = FileOf(hFile);
    uint64_t size = 0;
    if (!file || !HostSize(*file, size))
        return INVALID_FILE_SIZE;
    if (lpFileSizeHigh)
        *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
    SetError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

BOOL DeleteFileW(LPCWSTR lpFileName)
{
    FallibleCall fallible("DeleteFileW", ToUtf8(View(lpFileName)));
    if (fallible.Fails())
        return FALSE;
    ResolvedPath path;
    if (!ResolveExisting(lpFileName, path))
        return FALSE;
    if (path.isDirectory || (StoredAttributes(path.devicePath) & FILE_ATTRIBUTE_READONLY))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    // An open file stays, whatever its sharing allows.
    if (IsHeld(path.devicePath))
        return Fail(ERROR_SHARING_VIOLATION, FALSE);
    return RemoveChanging(path, "delete");
}

BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES)
{
    FallibleCall fallible("CreateDirectoryW", ToUtf8(View(lpPathName)));
    if (fallible.Fails())
        return FALSE;
    ResolvedPath path;
    if (!ResolvePath(lpPathName, path))
        return FALSE;
    if (path.exists)
        return Fail(ERROR_ALREADY_EXISTS, FALSE);
    FileChange point("make folder", path.devicePath);
    if (::mkdir(path.hostPath.c_str(), 0777) != 0)
        return Fail(ErrorFromErrno(errno), FALSE);
    ForgetRecords(path.devicePath);  // records of an entry removed behind the layer's back
    ForgetResolvedFolders();         // and a folder learned before that
    RecordCreated(path.devicePath);
    SetCreationTime(path.hostPath, VirtualFileTime());
    SetHostWriteTime(path.hostPath, VirtualFileTime());
    point.Done();
    return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR lpPathName)
{
    FallibleCall fallible("RemoveDirectoryW", ToUtf8(View(lpPathName)));
    if (fallible.Fails())
        return FALSE;
    ResolvedPath path;
    if (!ResolveExisting(lpPathName, path))
        return FALSE;
    if (!path.isDirectory)
        return Fail(ERROR_DIRECTORY, FALSE);
    if (IsRootPath(path.devicePath) ||
        (StoredAttributes(path.devicePath) & FILE_ATTRIBUTE_READONLY))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (!CheckSharing(path.devicePath, kDeleteAccess, kShareAll))
        return FALSE;
    std::error_code error;
    if (!fs::is_empty(path.hostPath, error))
        return Fail(error ? ErrorFromErrno(error.value()) : DWORD(ERROR_DIR_NOT_EMPTY), FALSE);
    return RemoveChanging(path, "remove folder");
}

BOOL SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes)
{
    FallibleCall fallible("SetFileAttributesW", ToUtf8(View(lpFileName)));
    if (fallible.Fails())
        return FALSE;
    ResolvedPath path;
    if (!ResolveExisting(lpFileName, path))
        return FALSE;
    FileChange point("attributes", path.devicePath);
    StoreAttributes(path.devicePath, dwFileAttributes);
    point.Done();
    return TRUE;
}
