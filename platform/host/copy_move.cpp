// Copying with a progress routine, and renaming files and folders.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/host/call_faults.h"
#include "platform/host/file_cuts.h"
#include "platform/host/file_meta.h"

using namespace ce_host;

namespace fs = std::filesystem;

namespace {

constexpr DWORD kChunkBytes = 64 * 1024;
constexpr DWORD kErrorWriteFault = 29;  // what the flash file system reports for a failed write

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

    // PROGRESS_CANCEL or PROGRESS_STOP, with ERROR_REQUEST_ABORTED, when the caller ends the
    // copy (the cancel flag counts as PROGRESS_CANCEL); 0 to go on.
    DWORD Report(uint64_t done, DWORD reason, HANDLE source, HANDLE target)
    {
        if (routine_ && !quiet_) {
            ProgramCallback callback;
            DWORD answer = routine_(Large(total_), Large(done), Large(total_), Large(done), 1,
                                    reason, source, target, data_);
            if (answer == PROGRESS_CANCEL || answer == PROGRESS_STOP)
                return Fail(ERROR_REQUEST_ABORTED, answer);
            quiet_ = answer == PROGRESS_QUIET;
        }
        if (cancel_ && *cancel_)
            return Fail(ERROR_REQUEST_ABORTED, DWORD(PROGRESS_CANCEL));
        return 0;
    }

private:
    LPPROGRESS_ROUTINE routine_;
    LPVOID data_;
    LPBOOL cancel_;
    uint64_t total_;
    bool quiet_ = false;
};

// The two handles of a copy, closed on every way out without touching the last error.
struct CopyHandles {
    HANDLE source = INVALID_HANDLE_VALUE;
    HANDLE target = INVALID_HANDLE_VALUE;

    CopyHandles() = default;
    CopyHandles(const CopyHandles &) = delete;
    CopyHandles &operator=(const CopyHandles &) = delete;
    ~CopyHandles()
    {
        DWORD error = GetLastError();
        CloseTarget();
        if (source != INVALID_HANDLE_VALUE)
            CloseHandle(source);
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

std::string CorruptionMessage(const sim::CorruptCopy &fault)
{
    return "copy of " + fault.path + " corrupted at byte " + std::to_string(fault.offset);
}

// What device.json makes go wrong with one copy.
struct CopyFaults {
    const sim::CorruptCopy *corrupt = nullptr;
    const sim::FailCopy *fail = nullptr;

    // The journal is the count: a fault corrupts only as many copies of this boot as it names.
    static CopyFaults For(const std::string &sourcePath)
    {
        const sim::FilesConfig &files = AttachedDevice().Config().files;
        std::string key = sim::FoldCase(sourcePath);
        CopyFaults faults;
        for (const sim::CorruptCopy &fault : files.corruptCopies) {
            if (faults.corrupt || ConfiguredPathKey(fault.path) != key)
                continue;
            std::string message = CorruptionMessage(fault);
            uint32_t fired = 0;
            for (const auto &event : AttachedDevice().Events().Events())
                fired += event["event"] == "fault" && event["what"] == message;
            if (fired < fault.copies)
                faults.corrupt = &fault;
        }
        for (const sim::FailCopy &fault : files.failCopies)
            if (!faults.fail && ConfiguredPathKey(fault.path) == key)
                faults.fail = &fault;
        return faults;
    }

    // Inverts the chosen byte when this chunk holds it. A source too short to hold it is copied
    // unchanged, and that copy does not count as one of the corrupted ones.
    void Corrupt(std::vector<char> &chunk, uint64_t chunkStart, DWORD size) const
    {
        if (!corrupt || corrupt->offset < chunkStart || corrupt->offset - chunkStart >= size)
            return;
        chunk[corrupt->offset - chunkStart] ^= char(0xFF);
        AttachedDevice().Events().Fault("files", CorruptionMessage(*corrupt));
    }

    // The bytes of this chunk that still reach the destination when the write fault fires in
    // it. A source no longer than after_bytes copies whole.
    std::optional<DWORD> FailingWrite(uint64_t chunkStart, DWORD size) const
    {
        if (!fail || chunkStart + size <= fail->afterBytes)
            return std::nullopt;
        return DWORD(fail->afterBytes - chunkStart);
    }

    void ReportFailure() const
    {
        AttachedDevice().Events().Fault("files", "copy of " + fail->path + " failed after " +
                                                     std::to_string(fail->afterBytes) + " bytes");
    }
};

enum class CopyEnd { Done, Cancelled, Stopped };

// Moves the data chunk by chunk. A failed read or write ends it with that call's error, a stop
// or a cancel with ERROR_REQUEST_ABORTED.
CopyEnd CopyData(const CopyHandles &copy, Progress &progress, const CopyFaults &faults)
{
    if (DWORD answer = progress.Report(0, CALLBACK_STREAM_SWITCH, copy.source, copy.target))
        return answer == PROGRESS_STOP ? CopyEnd::Stopped : CopyEnd::Cancelled;
    std::vector<char> chunk(kChunkBytes);
    uint64_t done = 0;
    for (;;) {
        DWORD got = 0, put = 0;
        if (!ReadFile(copy.source, chunk.data(), kChunkBytes, &got, nullptr))
            return CopyEnd::Stopped;
        if (got == 0)
            return CopyEnd::Done;
        faults.Corrupt(chunk, done, got);
        if (std::optional<DWORD> kept = faults.FailingWrite(done, got)) {
            if (*kept > 0 && !WriteFile(copy.target, chunk.data(), *kept, &put, nullptr))
                return CopyEnd::Stopped;
            faults.ReportFailure();
            return Fail(kErrorWriteFault, CopyEnd::Stopped);
        }
        if (!WriteFile(copy.target, chunk.data(), got, &put, nullptr))
            return CopyEnd::Stopped;
        done += got;
        if (DWORD answer = progress.Report(done, CALLBACK_CHUNK_FINISHED, copy.source, copy.target))
            return answer == PROGRESS_STOP ? CopyEnd::Stopped : CopyEnd::Cancelled;
    }
}

// The finished copy takes the source's attributes and last-write time. Until then it is a
// normal file being written, so a copy that fails leaves one that the next copy can replace.
void TakeOverSource(const ResolvedPath &from, const ResolvedPath &to)
{
    if (std::optional<uint64_t> written = HostWriteTime(from.hostPath))
        SetHostWriteTime(to.hostPath, *written);
    StoreAttributes(to.devicePath, StoredAttributes(from.devicePath));
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

// As on the device, the destination is created or emptied before the first byte moves, so an
// old destination never outlives a copy that has started: a cancelled copy deletes it, a stopped
// or failed one leaves the bytes copied so far.
BOOL CopyFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName,
                 LPPROGRESS_ROUTINE lpProgressRoutine, LPVOID lpData, LPBOOL pbCancel,
                 DWORD dwCopyFlags)
{
    FallibleCall fallible("CopyFileExW",
                          ToUtf8(View(lpExistingFileName)) + " -> " + ToUtf8(View(lpNewFileName)));
    if (fallible.Fails())
        return FALSE;
    DWORD lastError = GetLastError();  // a copy that succeeds leaves it as it was
    CopyChanges changes;
    ResolvedPath from, to;
    if (!ResolveExisting(lpExistingFileName, from))
        return FALSE;
    if (from.isDirectory)
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (!ResolvePath(lpNewFileName, to))
        return FALSE;

    // Both names stay resolved: opening the source changes nothing on disk.
    CopyHandles copy;
    copy.source =
        OpenResolvedFile(from, lpExistingFileName, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    if (copy.source == INVALID_HANDLE_VALUE)
        return FALSE;
    // Checked with the source open, so that a copy onto itself is a sharing violation.
    if (to.exists && !CheckReplaceable(to, dwCopyFlags))
        return FALSE;
    struct stat source {};
    if (::fstat(FindHandleAs<FileObject>(copy.source)->fd, &source) != 0)
        return Fail(ErrorFromErrno(errno), FALSE);
    copy.target =
        OpenResolvedFile(to, lpNewFileName, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    if (copy.target == INVALID_HANDLE_VALUE)
        return FALSE;

    Progress progress(lpProgressRoutine, lpData, pbCancel, uint64_t(source.st_size));
    CopyEnd end = CopyData(copy, progress, CopyFaults::For(from.devicePath));
    copy.CloseTarget();
    if (end == CopyEnd::Cancelled) {
        DWORD error = GetLastError();
        DeleteFileW(lpNewFileName);
        return Fail(error, FALSE);
    }
    if (end == CopyEnd::Stopped)
        return FALSE;
    TakeOverSource(from, to);
    SetError(lastError);
    return TRUE;
}

BOOL MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName)
{
    FallibleCall fallible("MoveFileW",
                          ToUtf8(View(lpExistingFileName)) + " -> " + ToUtf8(View(lpNewFileName)));
    if (fallible.Fails())
        return FALSE;
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
    FileChange point("move", from.devicePath + " -> " + targetPath);
    if (::rename(from.hostPath.c_str(), target.c_str()) != 0)
        return Fail(ErrorFromErrno(errno), FALSE);
    if (from.isDirectory)
        ForgetResolvedFolders();
    MoveRecords(from.devicePath, targetPath);
    point.Done();
    return TRUE;
}
