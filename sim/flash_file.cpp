// nand.bin: the flash of a device folder, held in memory and written back by changed blocks, or
// mapped so that every change lands in it at once.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "sim/error.h"
#include "sim/flash_array.h"

namespace sim {

namespace fs = std::filesystem;

namespace {

std::string Reason(const fs::path &file, const std::string &what)
{
    return file.string() + ": " + what + " (" + std::strerror(errno) + ")";
}

// Closes a descriptor on every path out.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }
    int Release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// The signals that end a program wait while it lives, on every path out.
class InterruptsHeld {
public:
    InterruptsHeld()
    {
        sigset_t held;
        sigemptyset(&held);
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            sigaddset(&held, signal);
        pthread_sigmask(SIG_BLOCK, &held, &before_);
    }
    ~InterruptsHeld() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    InterruptsHeld(const InterruptsHeld &) = delete;
    InterruptsHeld &operator=(const InterruptsHeld &) = delete;

private:
    sigset_t before_;
};

// Writes all of it at the offset, through short writes and interrupts.
bool WriteAll(int fd, const uint8_t *bytes, uint64_t count, uint64_t at)
{
    for (uint64_t done = 0; done < count;) {
        ssize_t put = ::pwrite(fd, bytes + done, count - done, off_t(at + done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += uint64_t(put);
    }
    return true;
}

// Bytes [at, at + count) of one file into the same place of another. The kernel copies within
// one file system; elsewhere, or where it declines, the bytes pass through a buffer.
bool CopyRange(int from, int to, uint64_t at, uint64_t count)
{
    off_t in = off_t(at), out = off_t(at);
    const uint64_t end = at + count;
    while (uint64_t(in) < end) {
        ssize_t copied = ::copy_file_range(from, &in, to, &out, end - uint64_t(in), 0);
        if (copied < 0 && errno == EINTR)
            continue;
        if (copied > 0)
            continue;
        if (copied == 0 ||
            (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP))
            return false;
        std::vector<uint8_t> buffer(1 << 20);
        while (uint64_t(in) < end) {
            ssize_t got =
                ::pread(from, buffer.data(), std::min<uint64_t>(buffer.size(), end - in), in);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0 || !WriteAll(to, buffer.data(), uint64_t(got), uint64_t(in)))
                return false;
            in += got;
        }
    }
    return true;
}

// A rename lasts a loss of power only once its folder is flushed; a failure here leaves the new
// file in place all the same, so it is not one.
void SyncFolder(const fs::path &folder)
{
    Descriptor fd(
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0)
        ::fsync(fd.get());
}

// FILE.tmp: where a file is written before it is renamed over FILE.
fs::path TemporaryBeside(const fs::path &file)
{
    fs::path temporary = file;
    temporary += ".tmp";
    return temporary;
}

// Opens the temporary empty, a stray one left by a host that died included; for reading too,
// since the write-back goes on reading blocks from it once it is renamed into place.
int CreateTemporary(const fs::path &temporary)
{
    int fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw DeviceError(Reason(temporary, "cannot be created"));
    return fd;
}

// Flushes the temporary and renames it over the file, then flushes their folder; on the first
// failure, this one or one met before, removes the temporary and throws, the file as it was.
void PutInPlace(int fd, const fs::path &temporary, const fs::path &file, std::string failure,
                const std::string &afterFailure)
{
    if (failure.empty() && ::fdatasync(fd) != 0)
        failure = Reason(temporary, "cannot be flushed");
    if (failure.empty() && ::rename(temporary.c_str(), file.c_str()) != 0)
        failure = Reason(file, "cannot be replaced");
    if (!failure.empty()) {
        ::unlink(temporary.c_str());
        throw DeviceError(failure + afterFailure);
    }
    SyncFolder(file.parent_path());
}

std::function<void(uint32_t)> &WriteBackHookSlot()
{
    static std::function<void(uint32_t)> hook;
    return hook;
}

void WriteBackHook(uint32_t step)
{
    if (WriteBackHookSlot())
        WriteBackHookSlot()(step);
}

}  // namespace

void SetWriteBackHook(std::function<void(uint32_t step)> hook)
{
    WriteBackHookSlot() = std::move(hook);
}

void FlashArray::CheckFileSize(const fs::path &file, uint32_t blocks)
{
    std::error_code error;
    uintmax_t size = fs::file_size(file, error);
    if (error)
        throw DeviceError(file.string() + ": " + error.message());
    if (size != FlashSize(blocks))
        throw DeviceError(file.string() + ": " + std::to_string(size) +
                          " bytes, but flash.blocks " + std::to_string(blocks) + " needs " +
                          std::to_string(FlashSize(blocks)) + " bytes");
}

std::unique_ptr<FlashArray> FlashArray::MapFile(const fs::path &file, uint32_t blocks)
{
    struct Mapping : Backing {
        Mapping(void *address, size_t size) : address(address), size(size) {}
        ~Mapping() override { ::munmap(address, size); }
        void *address;
        size_t size;
    };

    CheckFileSize(file, blocks);
    Descriptor fd(::open(file.c_str(), O_RDWR | O_CLOEXEC));
    if (fd.get() < 0)
        throw DeviceError(Reason(file, "cannot be opened"));
    size_t size = FlashSize(blocks);
    // An empty flash (0 blocks) has nothing to map.
    void *address = size == 0
                        ? nullptr
                        : ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (address == MAP_FAILED)
        throw DeviceError(Reason(file, "cannot be mapped"));
    auto mapping = std::make_unique<Mapping>(address, size);
    return std::unique_ptr<FlashArray>(
        new FlashArray(std::move(mapping), static_cast<uint8_t *>(address), blocks));
}

// The memory a loaded flash is held in: anonymous, in huge pages where the host has them (a
// boot touches tens of megabytes, and first touches of small pages cost more than the copying),
// and kept for the next flash of the same size, since a sweep opens thousands of them. What it
// held never shows: every block is read in or erased whole before it is used.
class FlashMemory {
public:
    static void *Take(size_t size)
    {
        std::vector<std::pair<void *, size_t>> &kept = Kept();
        for (auto it = kept.begin(); it != kept.end(); ++it)
            if (it->second == size) {
                void *address = it->first;
                kept.erase(it);
                return address;
            }
        void *address = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (address == MAP_FAILED)
            return nullptr;
        ::madvise(address, size, MADV_HUGEPAGE);
        return address;
    }
    static void Give(void *address, size_t size)
    {
        std::vector<std::pair<void *, size_t>> &kept = Kept();
        if (kept.size() >= kKept) {
            ::munmap(kept.front().first, kept.front().second);
            kept.erase(kept.begin());
        }
        kept.push_back({address, size});
    }

private:
    static constexpr size_t kKept = 2;  // a boot's flash and the judge's beside it
    static std::vector<std::pair<void *, size_t>> &Kept()
    {
        static std::vector<std::pair<void *, size_t>> kept;
        return kept;
    }
};

// A copy of nand.bin in memory, read by blocks and written back by blocks.
struct FlashArray::LoadedFile : Backing {
    LoadedFile(const fs::path &file, size_t size) : file(file), size(size)
    {
        fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            throw DeviceError(Reason(file, "cannot be opened"));
        address = size == 0 ? nullptr : FlashMemory::Take(size);
        if (size != 0 && !address) {
            ::close(fd);
            throw DeviceError(Reason(file, "has no memory to be held in"));
        }
    }
    ~LoadedFile() override
    {
        if (size != 0)
            FlashMemory::Give(address, size);
        ::close(fd);
    }

    void Load(uint8_t *bytes, uint32_t block) const override
    {
        uint64_t at = block * kBlockRecordSize;
        for (uint64_t done = 0; done < kBlockRecordSize;) {
            ssize_t got = ::pread(fd, bytes + at + done, kBlockRecordSize - done, off_t(at + done));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                throw DeviceError(Reason(file, "cannot be read at block " + std::to_string(block)));
            done += uint64_t(got);
        }
    }

    uint8_t ReadByte(uint64_t offset) const override
    {
        uint8_t byte = 0;
        ssize_t got;
        while ((got = ::pread(fd, &byte, 1, off_t(offset))) < 0 && errno == EINTR) {
        }
        if (got != 1)
            throw DeviceError(Reason(file, "cannot be read at byte " + std::to_string(offset)));
        return byte;
    }

    // The changed blocks go into a copy of the file beside it, which is flushed and renamed
    // over it: a host that dies or fills its disk meanwhile leaves the whole old flash, and a
    // stray copy is replaced at the next write-back.
    void Store(const uint8_t *bytes, std::span<const uint32_t> blocks) const override
    {
        if (blocks.empty())
            return;
        // An interrupt waits until the new file is in place.
        InterruptsHeld held;
        ReplaceFile(bytes, blocks);
    }

    void ReplaceFile(const uint8_t *bytes, std::span<const uint32_t> blocks) const
    {
        const fs::path temporary = TemporaryBeside(file);
        Descriptor out(CreateTemporary(temporary));
        // The blocks that did not change come from the file, the changed ones from memory;
        // blocks are ascending.
        std::string failure;
        uint64_t copied = 0;
        for (uint32_t block : blocks) {
            const uint64_t at = block * kBlockRecordSize;
            if (!CopyRange(fd, out.get(), copied, at - copied)) {
                failure = Reason(temporary, "cannot be written");
                break;
            }
            copied = at + kBlockRecordSize;
        }
        if (failure.empty() && !CopyRange(fd, out.get(), copied, size - copied))
            failure = Reason(temporary, "cannot be written");
        uint32_t written = 0;
        if (failure.empty())
            WriteBackHook(written);
        for (uint32_t block : blocks) {
            if (!failure.empty())
                break;
            uint64_t at = block * kBlockRecordSize;
            if (!WriteAll(out.get(), bytes + at, kBlockRecordSize, at))
                failure = Reason(temporary, "cannot be written at block " + std::to_string(block));
            else
                WriteBackHook(++written);
        }
        PutInPlace(out.get(), temporary, file, failure, "; " + file.string() + " is as it was");
        WriteBackHook(++written);
        // Blocks not read yet come from the new file from now on: the old one is gone.
        ::close(std::exchange(fd, out.Release()));
    }

    fs::path file;
    size_t size;
    mutable int fd = -1;
    void *address = nullptr;
};

std::unique_ptr<FlashArray> FlashArray::LoadFile(const fs::path &file, uint32_t blocks)
{
    CheckFileSize(file, blocks);
    auto loaded = std::make_unique<LoadedFile>(file, FlashSize(blocks));
    auto *bytes = static_cast<uint8_t *>(loaded->address);
    return std::unique_ptr<FlashArray>(new FlashArray(std::move(loaded), bytes, blocks, true));
}

std::unique_ptr<FlashArray> FlashArray::CreateFactoryFile(const fs::path &file, uint32_t blocks,
                                                          std::span<const uint32_t> badBlocks)
{
    CreateErasedFile(file, blocks, badBlocks);
    return MapFile(file, blocks);
}

void FlashArray::CreateErasedFile(const fs::path &file, uint32_t blocks,
                                  std::span<const uint32_t> badBlocks)
{
    const fs::path temporary = TemporaryBeside(file);
    Descriptor fd(CreateTemporary(temporary));
    // Large writes from one erased buffer: a 512-block flash takes a few milliseconds.
    std::string failure;
    const std::vector<uint8_t> erased(64 * kBlockRecordSize, kErased);
    for (uint64_t at = 0; at < FlashSize(blocks) && failure.empty();) {
        uint64_t chunk = std::min<uint64_t>(FlashSize(blocks) - at, erased.size());
        if (!WriteAll(fd.get(), erased.data(), chunk, at))
            failure = Reason(temporary, "cannot be written");
        at += chunk;
    }
    const uint8_t bad = 0x00;
    for (uint32_t block : badBlocks)
        if (failure.empty() && block < blocks &&
            !WriteAll(fd.get(), &bad, 1, block * kBlockRecordSize + kBadBlockMarkOffset))
            failure = Reason(temporary, "cannot be written");
    PutInPlace(fd.get(), temporary, file, failure, "");
}

}  // namespace sim
