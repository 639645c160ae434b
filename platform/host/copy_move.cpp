// Copying with a progress routine, and renaming files and folders.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "platform/host/file_meta.h"

using namespace ce_host;

namespace fs = std::filesystem;

namespace {

constexpr DWORD kChunkBytes = 64 * 1024;

LARGE_INTEGER Large(uint64_t value)
{
    LARGE_INTEGER large;
    large.QuadPart = static_cast<LONGLONG>(value);
    return large;
}

// The caller's progress routine and cancel flag for one copy.
class Progress {
public:
    Progress(LPPROGRESS_ROUTINE routine, LPVOID data, LPBOOL cancel, uint64_t total)
        : routine_(routine), data_(data), cancel_(cancel), total_(total)
    {
    }

    // False, with ERROR_REQUEST_ABORTED, when the caller ends the copy.
    bool Report(uint64_t done, DWORD reason, HANDLE source, HANDLE target)
    {
        if (routine_ && !quiet_) {
            DWORD answer = routine_(Large(total_), Large(done), Large(total_), Large(done), 1,
                                    reason, source, target, data_);
            if (answer == PROGRESS_CANCEL || answer == PROGRESS_STOP)
                return Fail(ERROR_REQUEST_ABORTED, false);
            quiet_ = answer == PROGRESS_QUIET;
        }
        if (cancel_ && *cancel_)
            return Fail(ERROR_REQUEST_ABORTED, false);
        return true;
    }

private:
    LPPROGRESS_ROUTINE routine_;
    LPVOID data_;
    LPBOOL cancel_;
    uint64_t total_;
    bool quiet_ = false;
};

// The handles of a copy and the host file it writes; whatever is left is released on the way
// out, and a destination that was not finished never replaces the old one.
struct PartialCopy {
    HANDLE source = INVALID_HANDLE_VALUE;
    HANDLE target = INVALID_HANDLE_VALUE;
    fs::path temporary;

    PartialCopy() = default;
    PartialCopy(const PartialCopy &) = delete;
    PartialCopy &operator=(const PartialCopy &) = delete;
    ~PartialCopy()
    {
        DWORD error = GetLastError();
        CloseTarget();
        if (source != INVALID_HANDLE_VALUE)
            CloseHandle(source);
        if (!temporary.empty()) {
            std::error_code ignored;
            fs::remove(temporary, ignored);
        }
        SetError(error);
    }

    void CloseTarget()
    {
        if (target != INVALID_HANDLE_VALUE)
            CloseHandle(target);
        target = INVALID_HANDLE_VALUE;
    }
};

// A destination may be replaced only when the caller allows it and it is an ordinary file that
// nobody holds.
bool CheckReplaceable(const ResolvedPath &target, DWORD flags)
{
    if (target.isDirectory)
        return Fail(ERROR_ACCESS_DENIED, false);
    if (flags & COPY_FILE_FAIL_IF_EXISTS)
        return Fail(ERROR_FILE_EXISTS, false);
    DWORD guarded = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (StoredAttributes(target.devicePath) & guarded)
        return Fail(ERROR_ACCESS_DENIED, false);
    return CheckSharing(target.devicePath, GENERIC_WRITE, 0);
}

// The data goes to a host name beside the destination that no device path can name.
bool OpenTemporary(const ResolvedPath &target, PartialCopy &copy)
{
    fs::path temporary = target.hostPath;
    temporary += ":copying";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return Fail(ErrorFromErrno(errno), false);
    copy.temporary = temporary;
    // Held as the destination without sharing while the copy runs.
    copy.target = AddHandle(FileObject{target.devicePath, temporary, fd, GENERIC_WRITE, 0, 0});
    return true;
}

bool CopyData(const PartialCopy &copy, Progress &progress)
{
    if (!progress.Report(0, CALLBACK_STREAM_SWITCH, copy.source, copy.target))
        return false;
    std::vector<char> chunk(kChunkBytes);
    uint64_t done = 0;
    for (;;) {
        DWORD got = 0, put = 0;
        if (!ReadFile(copy.source, chunk.data(), kChunkBytes, &got, nullptr))
            return false;
        if (got == 0)
            return true;
        if (!WriteFile(copy.target, chunk.data(), got, &put, nullptr))
            return false;
        done += got;
        if (!progress.Report(done, CALLBACK_CHUNK_FINISHED, copy.source, copy.target))
            return false;
    }
}

// Puts the finished data in place of the destination, with the source's attributes and time.
bool Commit(PartialCopy &copy, const ResolvedPath &from, const ResolvedPath &to)
{
    copy.CloseTarget();
    if (::rename(copy.temporary.c_str(), to.hostPath.c_str()) != 0)
        return Fail(ErrorFromErrno(errno), false);
    copy.temporary.clear();
    std::error_code ignored;
    fs::last_write_time(to.hostPath, fs::last_write_time(from.hostPath, ignored), ignored);
    StoreAttributes(to.devicePath, StoredAttributes(from.devicePath));
    if (!to.exists)
        RecordCreated(to.devicePath);
    return true;
}

std::u16string_view LastComponent(std::u16string_view path)
{
    while (!path.empty() && IsPathSeparator(path.back()))
        path.remove_suffix(1);
    size_t start = path.size();
    while (start > 0 && !IsPathSeparator(path[start - 1]))
        --start;
    return path.substr(start);
}

}  // namespace

BOOL CopyFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName,
                 LPPROGRESS_ROUTINE lpProgressRoutine, LPVOID lpData, LPBOOL pbCancel,
                 DWORD dwCopyFlags)
{
    ResolvedPath from, to;
    if (!ResolveExisting(lpExistingFileName, from))
        return FALSE;
    if (from.isDirectory)
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (!ResolvePath(lpNewFileName, to))
        return FALSE;

    PartialCopy copy;
    copy.source = CreateFileW(lpExistingFileName, GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (copy.source == INVALID_HANDLE_VALUE)
        return FALSE;
    // Checked with the source open, so that a copy onto itself is a sharing violation.
    if (to.exists && !CheckReplaceable(to, dwCopyFlags))
        return FALSE;
    DWORD sizeHigh = 0;
    DWORD sizeLow = GetFileSize(copy.source, &sizeHigh);
    Progress progress(lpProgressRoutine, lpData, pbCancel, (uint64_t{sizeHigh} << 32) | sizeLow);
    if (!OpenTemporary(to, copy) || !CopyData(copy, progress) || !Commit(copy, from, to))
        return FALSE;
    SetError(ERROR_SUCCESS);
    return TRUE;
}

BOOL MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName)
{
    ResolvedPath from, to;
    if (!ResolveExisting(lpExistingFileName, from))
        return FALSE;
    if (IsRootPath(from.devicePath))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (!ResolvePath(lpNewFileName, to))
        return FALSE;
    // The same entry under another letter case is a rename to that case.
    bool caseChange = to.exists && to.hostPath == from.hostPath;
    if (to.exists && !caseChange)
        return Fail(ERROR_ALREADY_EXISTS, FALSE);
    if (!CheckSharing(from.devicePath, kDeleteAccess, kShareAll) ||
        (from.isDirectory && !CheckNothingHeldBeneath(from.devicePath)))
        return FALSE;

    std::string name = ToUtf8(LastComponent(View(lpNewFileName)));
    std::string targetPath = JoinDevicePath(DeviceParent(to.devicePath), name);
    fs::path target = to.hostPath.parent_path() / name;
    if (::rename(from.hostPath.c_str(), target.c_str()) != 0)
        return Fail(ErrorFromErrno(errno), FALSE);
    MoveRecords(from.devicePath, targetPath);
    return TRUE;
}
