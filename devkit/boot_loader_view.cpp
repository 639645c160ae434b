#include "devkit/boot_loader_view.h"

#include "devkit/nb0_image.h"

namespace devkit {

namespace {

constexpr uint8_t kGoodBootOemFlags = 0xFC;

StepLoaderView ViewStepLoader(const sim::FlashArray &flash)
{
    std::vector<uint8_t> bytes;
    bytes.reserve(kStepLoaderSize);
    for (uint32_t sector = 0; sector < kStepLoaderSize / sim::kSectorDataSize; ++sector) {
        auto data = flash.Sector(sector).first<sim::kSectorDataSize>();
        bytes.insert(bytes.end(), data.begin(), data.end());
    }
    StepLoaderView view;
    for (size_t word = 0; word < view.header.size(); ++word)
        view.header[word] = ReadWord(bytes, word * 4);
    view.checksum = StepLoaderChecksum(bytes);
    view.checksumMatches = view.header[2] == view.checksum;
    return view;
}

std::optional<std::string> Unreadable(const TocRecord &toc)
{
    if (std::optional<TocCheck> refusal = TocRefusal(toc))
        return "the TOC is refused: " + TocRefusalReason(*refusal, toc);
    const TocImage &image = toc.images[kNkImageIndex];
    if (image.signature != kNkSignature)
        return "ID[3]'s signature " + Hex(image.signature) + " is not \"CFSH\"";
    if (image.sectors == 0)
        return "ID[3] records no sectors";
    return std::nullopt;
}

}  // namespace

bool EbootWriterSkips(std::span<const uint8_t, sim::kSectorRecordSize> firstSector)
{
    return firstSector[sim::kBadBlockMarkOffset] == 0x00 &&
           firstSector[sim::kOemFlagsOffset] != kGoodBootOemFlags;
}

bool NkWriterUses(uint32_t status)
{
    return !(status & (sim::FlashDriver::kStatusBad | sim::FlashDriver::kStatusReserved));
}

EbootBlocks FindEbootBlocks(const sim::FlashArray &flash)
{
    EbootBlocks eboot;
    for (uint32_t block = 1; block < kTocBlock && block < flash.Blocks(); ++block) {
        if (EbootWriterSkips(flash.Sector(block * sim::kSectorsPerBlock)))
            eboot.skipped.push_back(block);
        else
            eboot.blocks.push_back(block);
    }
    return eboot;
}

NkRegion LocateNkImage(sim::FlashDriver &driver, const TocRecord &toc)
{
    NkRegion region;
    region.sectors = toc.images[kNkImageIndex].sectors;
    const uint32_t blocks = driver.Flash().Blocks();
    uint64_t sectorsLeft = region.sectors;
    for (uint32_t block = kFirstNkBlock; block < blocks && sectorsLeft > 0; ++block) {
        if (!NkWriterUses(driver.BlockStatus(block))) {
            region.skipped.push_back(block);
            continue;
        }
        uint32_t room = region.blocks.empty() ? kFirstNkBlockSectors : sim::kSectorsPerBlock;
        region.blocks.push_back(block);
        sectorsLeft -= std::min<uint64_t>(sectorsLeft, room);
    }
    region.unreadable = Unreadable(toc);
    if (!region.unreadable && sectorsLeft > 0)
        region.unreadable =
            "the flash ends " + std::to_string(sectorsLeft) + " sectors before the image does";
    return region;
}

BootLoaderView ViewBootLoader(sim::FlashDriver &driver)
{
    const sim::FlashArray &flash = driver.Flash();
    BootLoaderView view;
    view.stepLoader = ViewStepLoader(flash);
    view.eboot = FindEbootBlocks(flash);
    if (kTocSector < flash.Sectors()) {
        view.toc = DecodeToc(flash.Sector(kTocSector));
        view.nk = LocateNkImage(driver, *view.toc);
    }
    return view;
}

FlashPlace NkPlace(const NkRegion &region, uint64_t offset)
{
    uint64_t sector = offset / sim::kSectorDataSize;
    FlashPlace place;
    place.byte = uint32_t(offset % sim::kSectorDataSize);
    if (sector < kFirstNkBlockSectors) {
        place.block = region.blocks.at(0);
        place.sector = uint32_t(sector + 1);
    } else {
        sector -= kFirstNkBlockSectors;
        place.block = region.blocks.at(1 + sector / sim::kSectorsPerBlock);
        place.sector = uint32_t(sector % sim::kSectorsPerBlock);
    }
    return place;
}

}  // namespace devkit
