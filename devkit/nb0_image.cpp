#include "devkit/nb0_image.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <numeric>

#include "devkit/path_checks.h"
#include "sim/error.h"
#include "sim/flash_array.h"

namespace devkit {

namespace {

constexpr uint32_t kPatternMagic = 0x50545351;  // "QSTP"

// Each sector opens with its label; the rest counts so that no two sectors look alike.
void FillPattern(std::span<uint8_t> part, const char *name, uint32_t firstBlock)
{
    for (size_t sector = 0; sector * sim::kSectorDataSize < part.size(); ++sector) {
        std::span<uint8_t> bytes = part.subspan(
            sector * sim::kSectorDataSize,
            std::min<size_t>(sim::kSectorDataSize, part.size() - sector * sim::kSectorDataSize));
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = uint8_t(i + sector * 3 + firstBlock * 17);
        char label[48];
        int length = std::snprintf(label, sizeof label, "%s block %u sector %zu ", name,
                                   unsigned(firstBlock + sector / sim::kSectorsPerBlock),
                                   sector % sim::kSectorsPerBlock);
        std::copy_n(label, std::min<size_t>(size_t(length), bytes.size()), bytes.begin());
    }
}

void Place(std::span<uint8_t> room, std::span<const uint8_t> given, const char *what)
{
    if (given.size() > room.size())
        throw sim::DeviceError(std::string(what) + " holds " + std::to_string(given.size()) +
                               " bytes, more than its " + std::to_string(room.size()));
    std::copy(given.begin(), given.end(), room.begin());
}

}  // namespace

uint32_t ReadWord(std::span<const uint8_t> bytes, size_t offset)
{
    return uint32_t(bytes[offset]) | uint32_t(bytes[offset + 1]) << 8 |
           uint32_t(bytes[offset + 2]) << 16 | uint32_t(bytes[offset + 3]) << 24;
}

void StoreWord(std::span<uint8_t> bytes, size_t offset, uint32_t word)
{
    for (size_t i = 0; i < 4; ++i)
        bytes[offset + i] = uint8_t(word >> (8 * i));
}

uint32_t StepLoaderChecksum(std::span<const uint8_t> stepLoader)
{
    std::span<const uint8_t> summed =
        stepLoader.subspan(kStepLoaderSummedFrom, kStepLoaderSize - kStepLoaderSummedFrom);
    return std::accumulate(summed.begin(), summed.end(), uint32_t(0));
}

std::vector<uint8_t> MakeNb0(std::optional<std::span<const uint8_t>> stepLoader,
                             std::optional<std::span<const uint8_t>> eboot)
{
    std::vector<uint8_t> image(kNb0Size, sim::kErased);
    std::span<uint8_t> stepRoom = std::span(image).first(kStepLoaderSize);
    std::span<uint8_t> ebootRoom = std::span(image).subspan(kStepLoaderSize);
    if (stepLoader) {
        Place(stepRoom, *stepLoader, "the StepLoader");
    } else {
        FillPattern(stepRoom.subspan(kStepLoaderSummedFrom), "StepLoader", 0);
        StoreWord(stepRoom, 0, kPatternMagic);
        StoreWord(stepRoom, 4, kStepLoaderSize);
        StoreWord(stepRoom, 12, 0);
    }
    if (eboot)
        Place(ebootRoom, *eboot, "the EBoot image");
    else
        FillPattern(ebootRoom, "EBoot", 1);
    StoreWord(stepRoom, kStepLoaderChecksumOffset, StepLoaderChecksum(stepRoom));
    return image;
}

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path &file, uint64_t limit)
{
    RequireInputFile(file);
    std::error_code error;
    uint64_t size = std::filesystem::file_size(file, error);
    if (error)
        throw sim::DeviceError(file.string() + ": cannot be read");
    if (size > limit)
        throw sim::DeviceError(file.string() + " holds " + std::to_string(size) +
                               " bytes, more than " + std::to_string(limit));
    std::vector<uint8_t> bytes(size);
    std::ifstream in(file, std::ios::binary);
    in.read(reinterpret_cast<char *>(bytes.data()), std::streamsize(size));
    if (!in || uint64_t(in.gcount()) != size)
        throw sim::DeviceError(file.string() + ": cannot be read");
    return bytes;
}

}  // namespace devkit
