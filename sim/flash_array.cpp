#include "sim/flash_array.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace sim {

FlashArray::FlashArray(std::unique_ptr<Backing> backing, uint8_t *bytes, uint32_t blocks, bool lazy)
    : backing_(std::move(backing)),
      bytes_(bytes),
      blocks_(blocks),
      loaded_(lazy ? blocks : 0, 0),
      changed_(blocks, 0)
{
}

FlashArray::~FlashArray() = default;

void FlashArray::Backing::Load(uint8_t *, uint32_t) const {}
uint8_t FlashArray::Backing::ReadByte(uint64_t) const
{
    return kErased;
}

void FlashArray::Backing::Store(const uint8_t *, std::span<const uint32_t>) const {}

uint8_t FlashArray::SectorByte(uint32_t sector, uint32_t offset) const
{
    uint64_t at = Offset(sector) + offset;
    if (!loaded_.empty() && !loaded_[sector / kSectorsPerBlock])
        return backing_->ReadByte(at);
    return bytes_[at];
}

void FlashArray::Changing(uint32_t block)
{
    Touch(block);
    changed_[block] = kChangedSinceWriteBack;
}

std::vector<uint32_t> FlashArray::ChangedBlocks() const
{
    std::vector<uint32_t> blocks;
    for (uint32_t block = 0; block < blocks_; ++block)
        if (changed_[block])
            blocks.push_back(block);
    return blocks;
}

void FlashArray::WriteBack()
{
    std::vector<uint32_t> blocks;
    for (uint32_t block = 0; block < blocks_; ++block)
        if (changed_[block] == kChangedSinceWriteBack)
            blocks.push_back(block);
    backing_->Store(bytes_, blocks);
    for (uint32_t block : blocks)
        changed_[block] = kWrittenBack;
}

void FlashArray::ForgetChanges()
{
    std::fill(changed_.begin(), changed_.end(), kUnchanged);
}

std::unique_ptr<FlashArray> FlashArray::InMemory(uint32_t blocks)
{
    struct Memory : Backing {
        explicit Memory(uint64_t size) : bytes(size, kErased) {}
        std::vector<uint8_t> bytes;
    };
    auto memory = std::make_unique<Memory>(FlashSize(blocks));
    uint8_t *bytes = memory->bytes.data();
    return std::unique_ptr<FlashArray>(new FlashArray(std::move(memory), bytes, blocks));
}

void FlashArray::EraseBlock(uint32_t block)
{
    EraseSectors(block * kSectorsPerBlock, kSectorsPerBlock);
}

void FlashArray::EraseSectors(uint32_t first, uint32_t count)
{
    // A whole block erased needs nothing of what it held.
    if (first % kSectorsPerBlock == 0 && count == kSectorsPerBlock && !loaded_.empty())
        loaded_[first / kSectorsPerBlock] = 1;
    for (uint32_t block = first / kSectorsPerBlock; block <= (first + count - 1) / kSectorsPerBlock;
         ++block)
        Changing(block);
    std::memset(bytes_ + Offset(first), kErased, uint64_t(count) * kSectorRecordSize);
}

bool FlashArray::Program(uint32_t sector, std::span<const uint8_t, kSectorRecordSize> record)
{
    Changing(sector / kSectorsPerBlock);
    uint8_t *cells = bytes_ + Offset(sector);
    bool wasErased = AllErased({cells, kSectorRecordSize});
    // Word by word: an OS update programs some 20,000 sectors, in debug builds too.
    static_assert(kSectorRecordSize % sizeof(uint64_t) == 0);
    for (uint32_t i = 0; i < kSectorRecordSize; i += sizeof(uint64_t)) {
        uint64_t old, data;
        std::memcpy(&old, cells + i, sizeof(old));
        std::memcpy(&data, record.data() + i, sizeof(data));
        old &= data;
        std::memcpy(cells + i, &old, sizeof(old));
    }
    return wasErased;
}

void FlashArray::MarkBad(uint32_t block)
{
    Changing(block);
    bytes_[Offset(block * kSectorsPerBlock) + kBadBlockMarkOffset] = 0x00;
}

void FlashArray::MarkBad(std::span<const uint32_t> blocks)
{
    for (uint32_t block : blocks)
        MarkBad(block);
}

}  // namespace sim
