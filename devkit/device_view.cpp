#include "devkit/device_view.h"

#include "devkit/path_checks.h"
#include "sim/device.h"
#include "sim/state_check.h"
#include "sim/error.h"

namespace devkit {

namespace fs = std::filesystem;

namespace {

bool BlockErased(const sim::FlashArray &flash, uint32_t block)
{
    for (uint32_t sector = block * sim::kSectorsPerBlock;
         sector < (block + 1) * sim::kSectorsPerBlock; ++sector) {
        if (!sim::AllErased(flash.Sector(sector)))
            return false;
    }
    return true;
}

FlashView ViewFlash(sim::FlashDriver &driver, uint32_t blocks)
{
    const sim::FlashArray &flash = driver.Flash();
    FlashView view;
    view.blocks = blocks;
    for (uint32_t block = 0; block < blocks; ++block) {
        BlockRun here{block, block, RegionOf(block), driver.BlockStatus(block),
                      BlockErased(flash, block)};
        if (here.status & sim::FlashDriver::kStatusBad)
            view.bad.push_back(block);
        BlockRun *last = view.map.empty() ? nullptr : &view.map.back();
        if (last && last->region == here.region && last->status == here.status &&
            last->erased == here.erased)
            last->last = block;
        else
            view.map.push_back(here);
    }
    view.bootLoader = ViewBootLoader(driver);
    view.toc = view.bootLoader.toc;
    return view;
}

}  // namespace

FlashRegion RegionOf(uint32_t block)
{
    if (block == 0)
        return FlashRegion::StepLoader;
    if (block < kTocBlock)
        return FlashRegion::EBoot;
    return block == kTocBlock ? FlashRegion::Toc : FlashRegion::Nk;
}

const char *RegionName(FlashRegion region)
{
    switch (region) {
        case FlashRegion::StepLoader:
            return "steploader";
        case FlashRegion::EBoot:
            return "eboot";
        case FlashRegion::Toc:
            return "toc";
        case FlashRegion::Nk:
            return "nk";
    }
    return "";
}

std::vector<std::string> StateWords(const BlockRun &run)
{
    std::vector<std::string> words;
    if (run.status & sim::FlashDriver::kStatusBad)
        words.push_back("bad");
    if (run.status & sim::FlashDriver::kStatusReadOnly)
        words.push_back("read-only");
    if (run.status & sim::FlashDriver::kStatusReserved)
        words.push_back("reserved");
    words.push_back(run.erased ? "erased" : "written");
    return words;
}

std::unique_ptr<sim::FlashDriver> OpenDeviceFlash(const fs::path &folder)
{
    RequireDeviceFolder(folder);
    std::error_code error;
    sim::DeviceConfig config = sim::DeviceConfig::Load(folder / "device.json");
    fs::path nandFile = folder / "nand.bin";
    // Checks the size of a nand.bin that is there; maps it only when asked for its bytes.
    auto driver = std::make_unique<sim::FlashDriver>(config.flash, nandFile);
    sim::LoadStateFile(folder / "state.json");  // a device with unusable state is refused
    if (!fs::exists(nandFile, error))
        return nullptr;
    return driver;
}

DeviceView ViewDevice(const fs::path &folder)
{
    DeviceView view;
    if (std::unique_ptr<sim::FlashDriver> driver = OpenDeviceFlash(folder))
        view.flash = ViewFlash(*driver, driver->Flash().Blocks());
    return view;
}

std::string Joined(const std::vector<std::string> &words, const char *separator)
{
    std::string text;
    for (const std::string &word : words)
        text += (text.empty() ? "" : separator) + word;
    return text;
}

std::string BlockRanges(const std::vector<uint32_t> &blocks)
{
    std::string text;
    for (size_t i = 0; i < blocks.size();) {
        size_t last = i;
        while (last + 1 < blocks.size() && blocks[last + 1] == blocks[last] + 1)
            ++last;
        text += (text.empty() ? "" : ", ") + std::to_string(blocks[i]) +
                (last > i ? "-" + std::to_string(blocks[last]) : "");
        i = last + 1;
    }
    return text;
}

}  // namespace devkit
