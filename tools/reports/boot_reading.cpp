#include "tools/reports/boot_reading.h"

#include <algorithm>

#include "devkit/nb0_image.h"
#include "devkit/toc_record.h"
#include "devkit/update_package.h"
#include "sim/device.h"
#include "sim/error.h"

namespace qs_tools {

namespace fs = std::filesystem;

namespace {

// "block 2 is erased", "blocks 2-4 are erased".
std::string ErasedText(const std::vector<uint32_t> &erased)
{
    return (erased.size() == 1 ? "block " : "blocks ") + devkit::BlockRanges(erased) +
           (erased.size() == 1 ? " is erased" : " are erased");
}

// What stops the boot loader, in more words than the judgement's reason.
std::string Detail(const FlashJudgement &judgement, const devkit::FlashView &flash)
{
    const devkit::BootLoaderView &loader = flash.bootLoader;
    if (!judgement.stepLoaderChecksumOk)
        return !ErasedBlocks(flash, 0, 0).empty()
                   ? " (block 0 is erased)"
                   : " (word " + devkit::Hex(loader.stepLoader.header[2]) +
                         ", sectors 0-7 sum to " + devkit::Hex(loader.stepLoader.checksum) + ")";
    if (judgement.bootLoader == ImageMatch::Neither)
        return loader.eboot.blocks.size() < devkit::kEbootBlocks
                   ? " (only " + std::to_string(loader.eboot.blocks.size()) +
                         " of blocks 1-4 are good)"
                   : "";
    if (!judgement.tocAccepted && flash.toc)
        if (auto check = devkit::TocRefusal(*flash.toc))
            return " (" + devkit::TocRefusalReason(*check, *flash.toc) + ")";
    if (judgement.nk == ImageMatch::Neither && loader.nk && loader.nk->unreadable)
        return " (" + *loader.nk->unreadable + ")";
    return "";
}

std::string VerdictText(const FlashJudgement &judgement, const devkit::FlashView &flash,
                        const std::optional<fs::path> &waiting)
{
    switch (judgement.verdict) {
        case Verdict::New:
            return "boots " + waiting->filename().string() +
                   ", the image waiting in the update folder";
        case Verdict::Old: {
            const devkit::TocImage &image = flash.toc->images[devkit::kNkImageIndex];
            return "boots the NK image of ID[3], \"" + image.name + "\" (" +
                   std::to_string(image.sectors) + " sectors in blocks " +
                   devkit::BlockRanges(flash.bootLoader.nk->blocks) + ")";
        }
        case Verdict::Unbootable:
            break;
    }
    return "is unbootable: " + UnbootableReason(judgement) + Detail(judgement, flash);
}

}  // namespace

std::vector<uint32_t> ErasedBlocks(const devkit::FlashView &flash, uint32_t first, uint32_t last)
{
    std::vector<uint32_t> erased;
    for (const devkit::BlockRun &run : flash.map)
        for (uint32_t block = std::max(run.first, first);
             run.erased && block <= std::min(run.last, last); ++block)
            erased.push_back(block);
    return erased;
}

BootReading ReadBoot(const fs::path &device, const devkit::FlashView &flash)
{
    std::unique_ptr<sim::FlashDriver> driver = devkit::OpenDeviceFlash(device);
    if (!driver)
        throw sim::DeviceError("no flash to read: nand.bin was never written");
    BootReading reading;
    reading.factoryBad = sim::DeviceConfig::Load(device / "device.json").flash.bad;
    BootImages held = ReadBootImages(*driver);
    BootImages waiting;
    std::optional<fs::path> nk = devkit::ChosenUpdateFile(device, "R5nk_", ".bin");
    std::optional<fs::path> nb0 =
        nk ? devkit::ChosenUpdateFile(device, "R5boot_", ".nb0") : std::nullopt;
    if (nk) {
        try {
            waiting = ReadPackageImages(*nk, nb0);
        } catch (const sim::DeviceError &) {
            waiting = {};  // what the shell would refuse boots nothing new
        }
        if (!waiting.bootLoader)
            waiting.bootLoader = held.bootLoader;
    }
    reading.judgement = JudgeFlash(*driver, held, waiting);
    reading.verdict = VerdictText(reading.judgement, flash, nk);
    // An erased block reads as 0xFF, which a boot loader padded there holds too: only a boot
    // loader to compare with, the waiting package's, tells whether it belongs there.
    const std::vector<uint32_t> erased = ErasedBlocks(flash, 1, 4);
    const bool matchesPackage = nb0 && reading.judgement.bootLoader == ImageMatch::New;
    if (reading.judgement.bootLoader != ImageMatch::Neither && !matchesPackage && !erased.empty())
        reading.notes.push_back("Boot-loader " + ErasedText(erased) +
                                ": the boot loader starts only if its image is 0xFF there");
    if (nk && reading.judgement.verdict != Verdict::New)
        reading.notes.push_back(nk->filename().string() +
                                " waits in the update folder for the next boot");
    return reading;
}

}  // namespace qs_tools
