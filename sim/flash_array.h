// The raw NAND flash of a device: blocks of 64 sectors, each 2048 data bytes and an 8-byte
// SectorInfo, kept in memory or in the device folder's nand.bin.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

namespace sim {

constexpr uint32_t kSectorDataSize = 2048;
constexpr uint32_t kSectorInfoSize = 8;
constexpr uint32_t kSectorRecordSize = kSectorDataSize + kSectorInfoSize;
constexpr uint32_t kSectorsPerBlock = 64;
constexpr uint64_t kBlockRecordSize = uint64_t(kSectorRecordSize) * kSectorsPerBlock;
// SectorInfo fields, as offsets in a sector record.
constexpr uint32_t kOemFlagsOffset = kSectorDataSize + 4;
constexpr uint32_t kBadBlockMarkOffset = kSectorDataSize + 5;
constexpr uint8_t kErased = 0xFF;
// The flash map needs blocks 0 to 6; more than this makes a nand.bin of over 500 MiB.
constexpr uint32_t kMinFlashBlocks = 7;
constexpr uint32_t kMaxFlashBlocks = 4096;

constexpr uint64_t FlashSize(uint32_t blocks)
{
    return blocks * kBlockRecordSize;
}

class FlashArray {
public:
    // All bytes erased.
    static std::unique_ptr<FlashArray> InMemory(uint32_t blocks);
    // Maps an existing file shared, so that every change lands in it; a file of another size
    // than the blocks need throws DeviceError naming both sizes.
    static std::unique_ptr<FlashArray> MapFile(const std::filesystem::path &file, uint32_t blocks);
    // Writes nand.bin as a factory leaves it: erased (through a temporary beside it, so it is
    // never half there), with each factory-bad block marked; gives back its mapping.
    static std::unique_ptr<FlashArray> CreateFactoryFile(const std::filesystem::path &file,
                                                         uint32_t blocks,
                                                         std::span<const uint32_t> badBlocks);
    // Throws DeviceError unless the file holds exactly the given blocks.
    static void CheckFileSize(const std::filesystem::path &file, uint32_t blocks);

    FlashArray(const FlashArray &) = delete;
    FlashArray &operator=(const FlashArray &) = delete;

    uint32_t Blocks() const { return blocks_; }
    uint32_t Sectors() const { return blocks_ * kSectorsPerBlock; }
    // One sector record: its data, then its SectorInfo.
    std::span<const uint8_t, kSectorRecordSize> Sector(uint32_t sector) const
    {
        return std::span<const uint8_t, kSectorRecordSize>(bytes_ + Offset(sector),
                                                           kSectorRecordSize);
    }

    void EraseBlock(uint32_t block);
    // Sets count sectors from first on to 0xFF, as part of an erase.
    void EraseSectors(uint32_t first, uint32_t count);
    // Programs as NAND does, clearing bits only (new = old AND record). False when the sector
    // was not fully erased before; it is programmed all the same.
    bool Program(uint32_t sector, std::span<const uint8_t, kSectorRecordSize> record);
    // Clears the bad-block mark in the block's first SectorInfo, as the factory does.
    void MarkBad(uint32_t block);
    void MarkBad(std::span<const uint32_t> blocks);

private:
    static void CreateErasedFile(const std::filesystem::path &file, uint32_t blocks);

    // Owns the bytes: a vector, or the mapping of a file.
    struct Backing {
        virtual ~Backing() = default;
    };
    FlashArray(std::unique_ptr<Backing> backing, uint8_t *bytes, uint32_t blocks);
    static uint64_t Offset(uint32_t sector) { return uint64_t(sector) * kSectorRecordSize; }

    std::unique_ptr<Backing> backing_;
    uint8_t *bytes_;
    uint32_t blocks_;
};

}  // namespace sim
