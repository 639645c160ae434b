#include "tools/reports/flash_verdict.h"

#include <algorithm>
#include <span>

#include "devkit/boot_loader_view.h"
#include "devkit/flash_verify.h"
#include "devkit/nb0_image.h"
#include "devkit/toc_record.h"
#include "sim/device.h"

namespace qs_tools {

namespace fs = std::filesystem;

namespace {

// Visits the data of the StepLoader's sectors and of the four good EBoot blocks, in the order the
// boot loader reads them, while visit returns true; false when fewer than four blocks are good or
// visit stopped.
template <typename Visit>
bool VisitBootLoaderSectors(const sim::FlashArray &flash, Visit visit)
{
    devkit::EbootBlocks eboot = devkit::FindEbootBlocks(flash);
    if (eboot.blocks.size() < devkit::kEbootBlocks)
        return false;
    auto sectors = [&](uint32_t first, uint32_t count) {
        for (uint32_t sector = first; sector < first + count; ++sector)
            if (!visit(flash.Sector(sector).first<sim::kSectorDataSize>()))
                return false;
        return true;
    };
    if (!sectors(0, devkit::kStepLoaderSize / sim::kSectorDataSize))
        return false;
    for (uint32_t index = 0; index < devkit::kEbootBlocks; ++index)
        if (!sectors(eboot.blocks[index] * sim::kSectorsPerBlock, sim::kSectorsPerBlock))
            return false;
    return true;
}

// The StepLoader's sectors and the four good EBoot blocks, as the boot loader reads them; none
// when fewer than four blocks are good.
std::optional<std::vector<uint8_t>> ReadBootLoaderBytes(const sim::FlashArray &flash)
{
    std::vector<uint8_t> bytes;
    bytes.reserve(devkit::kNb0Size);
    if (!VisitBootLoaderSectors(flash, [&](std::span<const uint8_t> data) {
            bytes.insert(bytes.end(), data.begin(), data.end());
            return true;
        }))
        return std::nullopt;
    return bytes;
}

// Whether the boot loader the flash holds is this image, compared where it lies: a sweep judges
// the flash after every row, and a copy of the boot loader each time was a twentieth of its rows.
bool BootLoaderIs(const sim::FlashArray &flash, const std::optional<std::vector<uint8_t>> &image)
{
    if (!image)
        return false;
    size_t at = 0;
    return VisitBootLoaderSectors(flash,
                                  [&](std::span<const uint8_t> data) {
                                      bool same = at + data.size() <= image->size() &&
                                                  std::equal(data.begin(), data.end(),
                                                             image->begin() + std::ptrdiff_t(at));
                                      at += data.size();
                                      return same;
                                  }) &&
           at == image->size();
}

// The NK image that ID[3] describes, sector by sector from where the NK writer put it.
devkit::LoadedBinImage ReadNkImage(const sim::FlashArray &flash, const devkit::NkRegion &region,
                                   const devkit::TocImage &descriptor)
{
    devkit::LoadedBinImage nk;
    nk.start = descriptor.loadAddress;
    nk.launch = descriptor.jumpAddress;
    nk.length = region.sectors * sim::kSectorDataSize;
    nk.bytes.reserve(nk.length);
    for (uint64_t offset = 0; offset < nk.length; offset += sim::kSectorDataSize) {
        devkit::FlashPlace place = devkit::NkPlace(region, offset);
        auto data = flash.Sector(place.block * sim::kSectorsPerBlock + place.sector)
                        .first<sim::kSectorDataSize>();
        nk.bytes.insert(nk.bytes.end(), data.begin(), data.end());
    }
    nk.covered = nk.length;
    return nk;
}

// Whether every data byte of the sectors ID[3] describes is erased, looked at before anything is
// copied: a factory TOC describes tens of MiB that nothing was ever written to.
bool NkRegionErased(const sim::FlashArray &flash, const devkit::NkRegion &region)
{
    for (uint64_t offset = 0; offset < uint64_t(region.sectors) * sim::kSectorDataSize;
         offset += sim::kSectorDataSize) {
        devkit::FlashPlace place = devkit::NkPlace(region, offset);
        auto sector = flash.Sector(place.block * sim::kSectorsPerBlock + place.sector);
        if (!sim::AllErased(sector.first<sim::kSectorDataSize>()))
            return false;
    }
    return true;
}

// Sector by sector, where ID[3] places the image: most flashes that a cut leaves differ early,
// and the byte-by-byte check is dear.
bool NkSectorsMatch(sim::FlashDriver &driver, const devkit::TocRecord &toc,
                    const devkit::LoadedBinImage &nk)
{
    devkit::NkRegion region = devkit::LocateNkImage(driver, toc);
    if (region.unreadable || uint64_t(region.sectors) * sim::kSectorDataSize < nk.length)
        return false;
    for (uint64_t offset = 0; offset < nk.length; offset += sim::kSectorDataSize) {
        devkit::FlashPlace place = devkit::NkPlace(region, offset);
        auto data = driver.Flash().Sector(place.block * sim::kSectorsPerBlock + place.sector);
        size_t size = size_t(std::min<uint64_t>(sim::kSectorDataSize, nk.length - offset));
        if (!std::equal(data.begin(), data.begin() + size, nk.bytes.begin() + offset))
            return false;
    }
    return true;
}

bool NkIs(sim::FlashDriver &driver, const devkit::TocRecord &toc,
          const std::optional<devkit::LoadedBinImage> &nk)
{
    return nk && NkSectorsMatch(driver, toc, *nk) &&
           devkit::VerifyFlash(driver, *nk, std::nullopt).Ok();
}

bool SectorsErased(const sim::FlashArray &flash, uint32_t first, uint32_t count)
{
    for (uint32_t sector = first; sector < first + count; ++sector)
        if (!sim::AllErased(flash.Sector(sector).first<sim::kSectorDataSize>()))
            return false;
    return true;
}

// Why the boot loader does not start.
std::optional<std::string> BootLoaderMissing(sim::FlashDriver &driver,
                                             const devkit::BootLoaderView &view)
{
    const devkit::StepLoaderView &step = view.stepLoader;
    const std::string block0 =
        driver.BlockStatus(0) & sim::FlashDriver::kStatusBad ? "bad block 0" : "block 0";
    if (!step.checksumMatches &&
        SectorsErased(driver.Flash(), 0, devkit::kStepLoaderSize / sim::kSectorDataSize))
        return "StepLoader: " + block0 + " is erased";
    if (!step.checksumMatches)
        return "StepLoader: the checksum word " + devkit::Hex(step.header[2]) + " of " + block0 +
               " is not the sum of its sectors 0-7, " + devkit::Hex(step.checksum);
    if (view.eboot.blocks.size() < devkit::kEbootBlocks)
        return "EBoot: blocks 1-4 hold " + std::to_string(view.eboot.blocks.size()) +
               " good blocks, not " + std::to_string(devkit::kEbootBlocks);
    return std::nullopt;
}

// The image a line of the shell names: "Open OS update image file... \flashdisk\...\x.bin \r\n".
std::optional<std::string> OpenedImage(const std::string &debugLog, const std::string &opening)
{
    size_t at = debugLog.find(opening);
    if (at == std::string::npos)
        return std::nullopt;
    at += opening.size();
    size_t end = debugLog.find(" \r\n", at);
    return debugLog.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// A device path's file below root/, each component matched without regard to case as the
// device matches it.
fs::path HostFile(const fs::path &root, const std::string &devicePath)
{
    fs::path host = root;
    size_t from = 0;
    while (from < devicePath.size()) {
        size_t end = devicePath.find('\\', from);
        std::string name = devicePath.substr(from, end == std::string::npos ? end : end - from);
        from = end == std::string::npos ? devicePath.size() : end + 1;
        if (name.empty())
            continue;
        fs::path match = host / name;
        std::error_code error;
        for (const fs::directory_entry &entry : fs::directory_iterator(host, error))
            if (sim::FoldCase(entry.path().filename().string()) == sim::FoldCase(name))
                match = entry.path();
        host = match;
    }
    return host;
}

}  // namespace

const char *ImageMatchName(ImageMatch match)
{
    switch (match) {
        case ImageMatch::Old:
            return "old";
        case ImageMatch::New:
            return "new";
        case ImageMatch::Neither:
            break;
    }
    return "neither";
}

const char *VerdictName(Verdict verdict)
{
    switch (verdict) {
        case Verdict::Old:
            return "old";
        case Verdict::New:
            return "new";
        case Verdict::Unbootable:
            break;
    }
    return "unbootable";
}

std::string UnbootableReason(const FlashJudgement &judgement)
{
    if (judgement.verdict != Verdict::Unbootable)
        return "";
    if (!judgement.stepLoaderChecksumOk)
        return "the StepLoader in block 0 fails its checksum";
    if (judgement.bootLoader == ImageMatch::Neither)
        return "blocks 0-4 hold no whole boot loader";
    if (!judgement.tocAccepted)
        return "TOC_Read refuses the TOC in block 5";
    return "ID[3] of the TOC describes no whole NK image";
}

BootImages ReadBootImages(sim::FlashDriver &driver)
{
    const sim::FlashArray &flash = driver.Flash();
    devkit::BootLoaderView view = devkit::ViewBootLoader(driver);
    BootImages images;
    if (view.stepLoader.checksumMatches)
        images.bootLoader = ReadBootLoaderBytes(flash);
    if (std::optional<std::string> missing = BootLoaderMissing(driver, view))
        images.missing.push_back(*missing);
    if (!view.toc) {
        images.missing.push_back("TOC: the flash ends before block 5");
        return images;
    }
    if (view.nk->unreadable) {
        images.missing.push_back("NK: the image ID[3] records is unreadable: " +
                                 *view.nk->unreadable);
        return images;
    }
    // An erased region is no image: the factory TOC's ID[3] describes sectors that nothing was
    // ever written to.
    if (NkRegionErased(flash, *view.nk)) {
        images.missing.push_back("NK: the " + std::to_string(view.nk->sectors) +
                                 " sectors ID[3] records are erased");
        return images;
    }
    images.nk = ReadNkImage(flash, *view.nk, view.toc->images[devkit::kNkImageIndex]);
    if (devkit::VerifyReport report = devkit::VerifyFlash(driver, *images.nk, std::nullopt);
        !report.Ok()) {
        images.missing.push_back(*report.failure);
        images.nk.reset();
    }
    return images;
}

BootImages ReadPackageImages(const std::filesystem::path &nkBin,
                             const std::optional<std::filesystem::path> &nb0)
{
    BootImages images;
    images.nk = devkit::ReadBinImageFile(nkBin);
    if (nb0) {
        std::vector<uint8_t> bytes = devkit::ReadFileBytes(*nb0, devkit::kNb0Size);
        // The flash writer stores the StepLoader's checksum whatever the file's word says.
        if (bytes.size() == devkit::kNb0Size)
            devkit::StoreWord(bytes, devkit::kStepLoaderChecksumOffset,
                              devkit::StepLoaderChecksum(
                                  std::span<const uint8_t>(bytes).first(devkit::kStepLoaderSize)));
        images.bootLoader = std::move(bytes);
    }
    return images;
}

std::optional<UpdateImages> OpenedUpdateImages(const std::filesystem::path &device,
                                               const std::string &debugLog,
                                               const BootImages &oldImages)
{
    std::optional<std::string> nk = OpenedImage(debugLog, "Open OS update image file... ");
    if (!nk)
        return std::nullopt;
    UpdateImages opened{*nk, OpenedImage(debugLog, "Open EBoot image file... "), {}};
    std::optional<std::filesystem::path> nb0;
    if (opened.bootLoader)
        nb0 = HostFile(device / "root", *opened.bootLoader);
    opened.images = ReadPackageImages(HostFile(device / "root", *nk), nb0);
    // Without a boot loader in the package, the update keeps the one there.
    if (!opened.images.bootLoader)
        opened.images.bootLoader = oldImages.bootLoader;
    return opened;
}

FlashJudgement JudgeFlash(sim::FlashDriver &driver, const BootImages &oldImages,
                          const BootImages &newImages)
{
    devkit::BootLoaderView view = devkit::ViewBootLoader(driver);
    FlashJudgement judgement;
    judgement.stepLoaderChecksumOk = view.stepLoader.checksumMatches;
    judgement.tocAccepted = view.toc && !devkit::TocRefusal(*view.toc);
    const sim::FlashArray &flash = driver.Flash();
    if (judgement.stepLoaderChecksumOk)
        judgement.bootLoader = BootLoaderIs(flash, newImages.bootLoader)   ? ImageMatch::New
                               : BootLoaderIs(flash, oldImages.bootLoader) ? ImageMatch::Old
                                                                           : ImageMatch::Neither;
    if (judgement.tocAccepted)
        judgement.nk = NkIs(driver, *view.toc, newImages.nk)   ? ImageMatch::New
                       : NkIs(driver, *view.toc, oldImages.nk) ? ImageMatch::Old
                                                               : ImageMatch::Neither;
    if (judgement.bootLoader != ImageMatch::Neither && judgement.nk != ImageMatch::Neither)
        judgement.verdict = judgement.nk == ImageMatch::New ? Verdict::New : Verdict::Old;
    return judgement;
}

}  // namespace qs_tools
