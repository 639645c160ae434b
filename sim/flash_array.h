// The raw NAND flash of a device: blocks of 64 sectors, each 2048 data bytes and an 8-byte
// SectorInfo, kept in memory, in memory over the device folder's nand.bin, or mapped from it.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <vector>

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

// Every byte reads 0xFF. Each byte is compared with its neighbour by memcmp, which keeps the
// sanitizer and debug builds fast over whole flashes.
inline bool AllErased(std::span<const uint8_t> bytes)
{
    return bytes.empty() || (bytes[0] == kErased &&
                             std::memcmp(bytes.data(), bytes.data() + 1, bytes.size() - 1) == 0);
}

// For tests that kill a write-back part way: called with 0 once the copy of nand.bin is made,
// with n after its n-th changed block is written, and with one more after the rename.
void SetWriteBackHook(std::function<void(uint32_t step)> hook);

class FlashArray {
public:
    // All bytes erased.
    static std::unique_ptr<FlashArray> InMemory(uint32_t blocks);
    // Maps an existing file shared, so that every change lands in it; a file of another size
    // than the blocks need throws DeviceError naming both sizes.
    static std::unique_ptr<FlashArray> MapFile(const std::filesystem::path &file, uint32_t blocks);
    // A copy of an existing file in memory: a block is read when first touched, and only
    // WriteBack changes the file. A boot that never gets there leaves the file as it was.
    static std::unique_ptr<FlashArray> LoadFile(const std::filesystem::path &file, uint32_t blocks);
    // Writes nand.bin as a factory leaves it, erased with each factory-bad block marked, through
    // a temporary beside it, so that it is never half there; gives back its mapping.
    static std::unique_ptr<FlashArray> CreateFactoryFile(const std::filesystem::path &file,
                                                         uint32_t blocks,
                                                         std::span<const uint32_t> badBlocks);
    // Throws DeviceError unless the file holds exactly the given blocks.
    static void CheckFileSize(const std::filesystem::path &file, uint32_t blocks);

    FlashArray(const FlashArray &) = delete;
    FlashArray &operator=(const FlashArray &) = delete;

    ~FlashArray();

    uint32_t Blocks() const { return blocks_; }
    uint32_t Sectors() const { return blocks_ * kSectorsPerBlock; }
    // One sector record: its data, then its SectorInfo.
    std::span<const uint8_t, kSectorRecordSize> Sector(uint32_t sector) const
    {
        Touch(sector / kSectorsPerBlock);
        return std::span<const uint8_t, kSectorRecordSize>(bytes_ + Offset(sector),
                                                           kSectorRecordSize);
    }

    // One byte of a sector record, without reading the rest of a block not yet touched: a block
    // status query reads one SectorInfo of a block that the update then erases.
    uint8_t SectorByte(uint32_t sector, uint32_t offset) const;

    void EraseBlock(uint32_t block);
    // Sets count sectors from first on to 0xFF, as part of an erase.
    void EraseSectors(uint32_t first, uint32_t count);
    // Programs as NAND does, clearing bits only (new = old AND record). False when the sector
    // was not fully erased before; it is programmed all the same.
    bool Program(uint32_t sector, std::span<const uint8_t, kSectorRecordSize> record);
    // Clears the bad-block mark in the block's first SectorInfo, as the factory does.
    void MarkBad(uint32_t block);
    void MarkBad(std::span<const uint32_t> blocks);

    // The blocks erased, programmed or marked since the array was made, in order.
    std::vector<uint32_t> ChangedBlocks() const;
    // Of a loaded file: writes a copy of it with the changed blocks over it, flushes the copy and
    // renames it over the file, with the signals that end a program held back meanwhile, so that
    // the file always holds the old flash or the new one. Throws DeviceError.
    void WriteBack();
    // Keeps the bytes and forgets which blocks changed, as WriteBack does, but leaves the file
    // alone: the flash a process carries from one boot into the next in memory.
    void ForgetChanges();

private:
    static void CreateErasedFile(const std::filesystem::path &file, uint32_t blocks,
                                 std::span<const uint32_t> badBlocks);

    // Owns the bytes: a vector, the mapping of a file, or the memory over a loaded file, which
    // reads a block in when first touched and writes blocks back.
    struct Backing {
        virtual ~Backing() = default;
        virtual void Load(uint8_t *bytes, uint32_t block) const;
        virtual uint8_t ReadByte(uint64_t offset) const;
        virtual void Store(const uint8_t *bytes, std::span<const uint32_t> blocks) const;
    };
    struct LoadedFile;
    FlashArray(std::unique_ptr<Backing> backing, uint8_t *bytes, uint32_t blocks,
               bool lazy = false);
    static uint64_t Offset(uint32_t sector) { return uint64_t(sector) * kSectorRecordSize; }
    void Touch(uint32_t block) const
    {
        if (!loaded_.empty() && !loaded_[block]) {
            backing_->Load(bytes_, block);
            loaded_[block] = 1;
        }
    }
    void Changing(uint32_t block);

    std::unique_ptr<Backing> backing_;
    uint8_t *bytes_;
    uint32_t blocks_;
    mutable std::vector<uint8_t> loaded_;  // per block, of a loaded file; empty otherwise
    // Per block: unchanged, changed since the last write-back, or changed and written back.
    enum : uint8_t { kUnchanged, kChangedSinceWriteBack, kWrittenBack };
    std::vector<uint8_t> changed_;
};

}  // namespace sim
