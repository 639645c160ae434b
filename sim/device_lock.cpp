#include "sim/device_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/error.h"

namespace sim {

std::set<DeviceLock *> DeviceLock::held_;

DeviceLock::DeviceLock(const std::filesystem::path &folder)
{
    // The lock sits on the folder's own inode: no lock file to leave behind, and a folder that
    // `init --force` replaces keeps its lock on the old one until the holder lets go.
    fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0 && (errno == ENOENT || errno == ENOTDIR))
        throw DeviceError(folder.string() + ": no such device folder");
    if (fd_ < 0)
        throw DeviceError(folder.string() + ": " + std::strerror(errno));
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        ::close(fd_);
        fd_ = -1;
        if (error == EWOULDBLOCK)
            throw DeviceError(folder.string() +
                              ": the device is in use by another boot or command");
        throw DeviceError(folder.string() + ": cannot be locked: " + std::strerror(error));
    }
    held_.insert(this);
}

DeviceLock::~DeviceLock()
{
    held_.erase(this);
    if (fd_ >= 0)
        ::close(fd_);
}

void DeviceLock::LeaveToParent()
{
    // The lock belongs to the open file, which parent and child share: closing the child's
    // descriptor leaves the parent's lock in place, where an unlock would end it for both.
    for (DeviceLock *lock : held_) {
        ::close(lock->fd_);
        lock->fd_ = -1;
    }
}

}  // namespace sim
