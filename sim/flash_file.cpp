// nand.bin: the flash of a device folder, mapped so that programming is a store to memory.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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

private:
    int fd_;
};

}  // namespace

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

std::unique_ptr<FlashArray> FlashArray::CreateFactoryFile(const fs::path &file, uint32_t blocks,
                                                          std::span<const uint32_t> badBlocks)
{
    CreateErasedFile(file, blocks);
    std::unique_ptr<FlashArray> flash = MapFile(file, blocks);
    flash->MarkBad(badBlocks);
    return flash;
}

void FlashArray::CreateErasedFile(const fs::path &file, uint32_t blocks)
{
    fs::path temporary = file;
    temporary += ".tmp";
    {
        Descriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (fd.get() < 0)
            throw DeviceError(Reason(temporary, "cannot be created"));
        // Large writes from one erased buffer: a 512-block flash takes a few milliseconds.
        const std::vector<uint8_t> erased(64 * kBlockRecordSize, kErased);
        for (uint64_t left = FlashSize(blocks); left > 0;) {
            size_t chunk = size_t(std::min<uint64_t>(left, erased.size()));
            ssize_t written = ::write(fd.get(), erased.data(), chunk);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0) {
                std::string reason = Reason(temporary, "cannot be written");
                ::unlink(temporary.c_str());
                throw DeviceError(reason);
            }
            left -= uint64_t(written);
        }
    }
    std::error_code error;
    fs::rename(temporary, file, error);
    if (error)
        throw DeviceError(file.string() + ": " + error.message());
}

}  // namespace sim
