#include "sim/flash_array.h"

#include <cstring>
#include <vector>

namespace sim {

FlashArray::FlashArray(std::unique_ptr<Backing> backing, uint8_t *bytes, uint32_t blocks)
    : backing_(std::move(backing)), bytes_(bytes), blocks_(blocks)
{
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
    std::memset(bytes_ + Offset(first), kErased, uint64_t(count) * kSectorRecordSize);
}

bool FlashArray::Program(uint32_t sector, std::span<const uint8_t, kSectorRecordSize> record)
{
    uint8_t *cells = bytes_ + Offset(sector);
    // All bytes equal to their neighbour and the first erased: the whole sector is erased.
    bool wasErased =
        cells[0] == kErased && std::memcmp(cells, cells + 1, kSectorRecordSize - 1) == 0;
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
    bytes_[Offset(block * kSectorsPerBlock) + kBadBlockMarkOffset] = 0x00;
}

void FlashArray::MarkBad(std::span<const uint32_t> blocks)
{
    for (uint32_t block : blocks)
        MarkBad(block);
}

}  // namespace sim
