#include "devkit/image_crc.h"

#include <array>
#include <fstream>
#include <vector>

#include <zlib.h>

#include "devkit/path_checks.h"
#include "sim/error.h"

namespace devkit {

uint32_t FoldCrcChunk(uint32_t value, std::span<const uint8_t> chunk)
{
    // zlib complements on entry and on exit; undoing the exit leaves the register as it is.
    return ~uint32_t(crc32(value, chunk.data(), uInt(chunk.size())));
}

uint32_t ImageCrc(std::span<const uint8_t> bytes)
{
    uint32_t value = 0;
    for (size_t offset = 0; offset < bytes.size(); offset += kCrcChunkSize)
        value = FoldCrcChunk(value,
                             bytes.subspan(offset, std::min(kCrcChunkSize, bytes.size() - offset)));
    return value;
}

uint32_t ImageFileCrc(const std::filesystem::path &file)
{
    RequireInputFile(file);
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw sim::DeviceError(file.string() + ": cannot be read");
    std::vector<uint8_t> chunk(kCrcChunkSize);
    uint32_t value = 0;
    while (in) {
        in.read(reinterpret_cast<char *>(chunk.data()), std::streamsize(chunk.size()));
        if (in.bad())
            throw sim::DeviceError(file.string() + ": cannot be read");
        if (in.gcount() > 0)
            value = FoldCrcChunk(value, std::span(chunk).first(size_t(in.gcount())));
    }
    return value;
}

std::filesystem::path CrcSideFile(const std::filesystem::path &image)
{
    std::filesystem::path side = image;
    side += ".crc";
    return side;
}

std::array<uint8_t, 4> CrcSideFileBytes(uint32_t value)
{
    return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

}  // namespace devkit
