// A forked sweep's child goes on in its own copy of the device folder, whose files are hard links
// to its parent's: a file is copied before the child changes it in place.
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/host/file_meta.h"
#include "sim/error.h"

namespace ce_host {

namespace fs = std::filesystem;

namespace {

bool g_ownShared = false;  // files may be hard links shared with another device folder

[[noreturn]] void Refuse(const fs::path &hostPath, const char *what)
{
    throw sim::DeviceError(hostPath.string() + ": " + what + ": " + std::strerror(errno));
}

int ReopenFlags(DWORD access)
{
    bool reads = access & GENERIC_READ;
    bool writes = access & GENERIC_WRITE;
    return O_CLOEXEC | O_NOFOLLOW | (reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY);
}

// The handle's descriptor number now stands for whatever its path names.
void Reopen(const FileObject &file)
{
    int fd = ::open(file.hostPath.c_str(), ReopenFlags(file.access));
    if (fd < 0)
        Refuse(file.hostPath, "cannot be opened again");
    if (::dup3(fd, file.fd, O_CLOEXEC) < 0)
        Refuse(file.hostPath, "cannot be opened again");
    ::close(fd);
}

void CopyBytes(int from, int to, off_t size, const fs::path &hostPath)
{
    for (off_t done = 0; done < size;) {
        ssize_t moved = ::sendfile(to, from, &done, size_t(size - done));
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved <= 0)
            Refuse(hostPath, "cannot be copied");
    }
}

}  // namespace

void OwnBeforeChange(const fs::path &hostPath)
{
    struct stat status {};
    if (!g_ownShared || ::lstat(hostPath.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_nlink < 2)
        return;
    fs::path own = hostPath;
    own += ".quorshell-own";
    ::unlink(own.c_str());
    int from = ::open(hostPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (from < 0)
        Refuse(hostPath, "cannot be read");
    int to = ::open(own.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, status.st_mode & 07777);
    if (to < 0) {
        ::close(from);
        Refuse(own, "cannot be made");
    }
    CopyBytes(from, to, status.st_size, hostPath);
    ::close(from);
    if (std::optional<uint64_t> created = CreationTime(hostPath))
        SetCreationTime(to, *created);
    const timespec times[2] = {status.st_atim, status.st_mtim};
    ::futimens(to, times);
    ::close(to);
    if (::rename(own.c_str(), hostPath.c_str()) != 0)
        Refuse(hostPath, "cannot be replaced by its copy");
    ForEachHandle<FileObject>([&](const FileObject &file) {
        if (file.hostPath == hostPath)
            Reopen(file);
    });
}

void MoveToLinkedCopy(const fs::path &folder)
{
    sim::Device &device = AttachedDevice();
    const fs::path oldRoot = device.Root();
    device.MoveTo(folder);
    g_ownShared = true;
    ForgetResolvedFolders();
    ForEachHandle<FileObject>([&](FileObject &file) {
        file.hostPath = device.Root() / file.hostPath.lexically_relative(oldRoot);
        if (file.access & GENERIC_WRITE)
            OwnBeforeChange(file.hostPath);
        Reopen(file);
    });
}

}  // namespace ce_host
