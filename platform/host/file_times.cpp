// File times on the device's virtual clock. The host file's last-write time holds the device's,
// so that it lasts between boots with the data. The host cannot set a birth time, so the creation
// time is a user attribute of the host entry: it moves with a rename and goes with a delete, as
// the entry's own time does on the device.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <charconv>
#include <string>

#include "platform/host/file_meta.h"
#include "sim/clock.h"

namespace ce_host {

namespace {

constexpr int64_t kTicksFrom1601To1970 = 116444736000000000ll;
constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr const char *kCreationAttribute = "user.quorshell.created";

timespec ToTimespec(uint64_t ticks)
{
    int64_t since1970 = int64_t(ticks) - kTicksFrom1601To1970;
    int64_t seconds = since1970 / kTicksPerSecond;
    int64_t rest = since1970 % kTicksPerSecond;
    if (rest < 0) {
        rest += kTicksPerSecond;
        --seconds;
    }
    return {static_cast<time_t>(seconds), static_cast<long>(rest * 100)};
}

}  // namespace

uint64_t VirtualFileTime()
{
    sim::Device &device = AttachedDevice();
    int64_t ms = device.Clock().StartMs() + int64_t(device.Clock().ElapsedMs());
    return uint64_t(kTicksFrom1601To1970 + ms * 10'000);
}

uint64_t TicksOf(const timespec &time)
{
    return uint64_t(kTicksFrom1601To1970 + int64_t(time.tv_sec) * kTicksPerSecond +
                    time.tv_nsec / 100);
}

FILETIME ToFileTime(uint64_t ticks)
{
    return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

void SetHostWriteTime(int fd, uint64_t ticks)
{
    const timespec times[2] = {ToTimespec(ticks), ToTimespec(ticks)};
    ::futimens(fd, times);
}

void SetHostWriteTime(const std::filesystem::path &hostPath, uint64_t ticks)
{
    OwnBeforeChange(hostPath);
    const timespec times[2] = {ToTimespec(ticks), ToTimespec(ticks)};
    ::utimensat(AT_FDCWD, hostPath.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

void SetCreationTime(int fd, uint64_t ticks)
{
    std::string text = std::to_string(ticks);
    ::fsetxattr(fd, kCreationAttribute, text.data(), text.size(), 0);
}

void SetCreationTime(const std::filesystem::path &hostPath, uint64_t ticks)
{
    OwnBeforeChange(hostPath);
    std::string text = std::to_string(ticks);
    ::lsetxattr(hostPath.c_str(), kCreationAttribute, text.data(), text.size(), 0);
}

std::optional<uint64_t> CreationTime(const std::filesystem::path &hostPath)
{
    char text[24];
    ssize_t size = ::lgetxattr(hostPath.c_str(), kCreationAttribute, text, sizeof(text));
    uint64_t ticks = 0;
    if (size <= 0 || std::from_chars(text, text + size, ticks).ec != std::errc())
        return std::nullopt;
    return ticks;
}

std::optional<uint64_t> HostWriteTime(const std::filesystem::path &hostPath)
{
    struct stat status {};
    if (::fstatat(AT_FDCWD, hostPath.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    return TicksOf(status.st_mtim);
}

}  // namespace ce_host
