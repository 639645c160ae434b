// The value a boot-loader image's .crc side file holds: a CRC-32 folded over the file in chunks of
// 32 KiB, the register complemented on entry to every chunk and never on exit.
#pragma once

#include <cstdint>
#include <filesystem>
#include <array>
#include <span>

namespace devkit {

constexpr size_t kCrcChunkSize = 32768;

// One chunk's step: the register starts as ~value and is returned without a final complement.
uint32_t FoldCrcChunk(uint32_t value, std::span<const uint8_t> chunk);
// The value of bytes held in memory, taken in chunks as the file would be.
uint32_t ImageCrc(std::span<const uint8_t> bytes);
// The value of a file, read one chunk at a time. Throws sim::DeviceError naming the file.
uint32_t ImageFileCrc(const std::filesystem::path &file);

// The side file's name: the image's with ".crc" appended.
std::filesystem::path CrcSideFile(const std::filesystem::path &image);
// The side file's content: the value as a little-endian u32.
std::array<uint8_t, 4> CrcSideFileBytes(uint32_t value);

}  // namespace devkit
