// The flash as the boot loader reads it: the StepLoader in block 0, the EBoot boot loader in the
// four good blocks after it, the TOC, and the NK image where ID[3] records it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "devkit/toc_record.h"
#include "sim/flash_driver.h"

namespace devkit {

constexpr uint32_t kFirstNkBlock = 6;
constexpr uint32_t kNkImageIndex = 3;
constexpr uint32_t kNkSignature = 0x48534643;  // "CFSH"
constexpr uint32_t kNkImageType = 8;
// The first NK block keeps its sector 0; its other 63 sectors hold the image's start.
constexpr uint32_t kFirstNkBlockSectors = sim::kSectorsPerBlock - 1;

struct StepLoaderView {
    std::array<uint32_t, 4> header{};  // the u32 words at offsets 0, 4, 8 and 12
    uint32_t checksum = 0;             // the byte sum of offsets 16..16383 on the flash
    bool checksumMatches = false;      // header[2] holds it
};

// The EBoot writer's rule for blocks 1 to 4, on the first sector's SectorInfo.
bool EbootWriterSkips(std::span<const uint8_t, sim::kSectorRecordSize> firstSector);
// The NK writer's rule on a status word: neither bad (0x02) nor reserved (0x08).
bool NkWriterUses(uint32_t status);

struct EbootBlocks {
    std::vector<uint32_t> blocks;   // the good ones among 1 to 4, in order; four when all are
    std::vector<uint32_t> skipped;  // the bad ones
};

struct NkRegion {
    uint32_t sectors = 0;                   // ID[3]'s dwTtlSectors
    std::vector<uint32_t> blocks;           // the usable blocks that hold them, in order
    std::vector<uint32_t> skipped;          // unusable blocks among them
    std::optional<std::string> unreadable;  // why the boot loader cannot load it
};

struct BootLoaderView {
    StepLoaderView stepLoader;
    EbootBlocks eboot;
    std::optional<TocRecord> toc;  // none when the flash ends before block 5
    std::optional<NkRegion> nk;    // none without a TOC
};

BootLoaderView ViewBootLoader(sim::FlashDriver &driver);
EbootBlocks FindEbootBlocks(const sim::FlashArray &flash);
// The region ID[3] describes on the flash, with the blocks the NK writer would use.
NkRegion LocateNkImage(sim::FlashDriver &driver, const TocRecord &toc);

struct FlashPlace {
    uint32_t block = 0;
    uint32_t sector = 0;  // within the block
    uint32_t byte = 0;    // within the sector's data
};
// Where byte offset of the NK image lies; offset must be within the region's sectors.
FlashPlace NkPlace(const NkRegion &region, uint64_t offset);

}  // namespace devkit
