// The boot-loader image as a .nb0 file: the 16 KiB StepLoader for block 0, then the EBoot boot
// loader for the four good blocks after it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

namespace devkit {

constexpr uint32_t kStepLoaderSize = 0x4000;
constexpr uint32_t kEbootBlockSize = 0x20000;
constexpr uint32_t kEbootBlocks = 4;
constexpr uint32_t kEbootSize = kEbootBlocks * kEbootBlockSize;
constexpr uint32_t kNb0Size = kStepLoaderSize + kEbootSize;  // 0x84000
// The StepLoader header is four u32 words; the third holds the checksum.
constexpr uint32_t kStepLoaderChecksumOffset = 8;
constexpr uint32_t kStepLoaderSummedFrom = 16;

// The byte sum of StepLoader offsets 16 to 16383, which the flash writer stores at offset 8.
uint32_t StepLoaderChecksum(std::span<const uint8_t> stepLoader);
uint32_t ReadWord(std::span<const uint8_t> bytes, size_t offset);  // little-endian
void StoreWord(std::span<uint8_t> bytes, size_t offset, uint32_t word);

// A whole .nb0 of kNb0Size bytes. Parts not given are a recognisable pattern: every sector opens
// with a label naming its part, block and sector. Given parts shorter than their room are
// filled up with 0xFF, as erased flash reads. The checksum word is stored, so the file carries
// the value the flash will hold. Throws sim::DeviceError when a part is longer than its room.
std::vector<uint8_t> MakeNb0(std::optional<std::span<const uint8_t>> stepLoader,
                             std::optional<std::span<const uint8_t>> eboot);

// A file's bytes, refusing one larger than limit. Throws sim::DeviceError naming the file.
std::vector<uint8_t> ReadFileBytes(const std::filesystem::path &file, uint64_t limit);

}  // namespace devkit
