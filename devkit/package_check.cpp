#include "devkit/package_check.h"

#include <algorithm>
#include <fstream>

#include "devkit/bin_image.h"
#include "devkit/bin_reader.h"
#include "devkit/boot_loader_view.h"
#include "devkit/device_view.h"
#include "devkit/nb0_image.h"
#include "devkit/update_signing.h"
#include "sim/config.h"
#include "sim/error.h"
#include "sim/flash_driver.h"

namespace devkit {

namespace fs = std::filesystem;

namespace {

// The .BIN's records and its trailer; its length when they hold.
std::optional<uint32_t> CheckBin(const fs::path &file, std::vector<std::string> &refusals)
{
    LoadedBinImage image;
    try {
        image = ReadBinImageFile(file);
    } catch (const sim::DeviceError &error) {
        refusals.push_back(error.what());
        return std::nullopt;
    }
    const uint64_t end = image.RecordsEnd();
    const uint64_t size = fs::file_size(file);
    if (size - end != kBinTrailerSize) {
        refusals.push_back(file.string() + ": " + std::to_string(size - end) +
                           " bytes behind the last record, where the shell reads a " +
                           std::to_string(kBinTrailerSize) + "-byte signature trailer");
        return image.length;
    }
    std::array<uint8_t, kBinTrailerSize> bytes{};
    std::ifstream in(file, std::ios::binary);
    in.seekg(std::streamoff(end));
    in.read(reinterpret_cast<char *>(bytes.data()), std::streamsize(bytes.size()));
    const BinTrailer device, signed_ = DecodeBinTrailer(bytes);
    if (signed_.company != device.company || signed_.product != device.product)
        refusals.push_back(file.string() + ": signed for company \"" + signed_.company +
                           "\", product \"" + signed_.product + "\", where the device takes \"" +
                           device.company + "\", \"" + device.product +
                           "\"; quordev sign puts its trailer on");
    return image.length;
}

// As the shell's writers go: the boot loader's five blocks each erased, the StepLoader's sectors
// and the four boot-loader blocks programmed; each image block erased and programmed whole; the
// TOC's block erased and its one sector programmed.
void CountFlashWrites(PackageForecast &forecast, const std::optional<sim::FlashTiming> &timing)
{
    if (forecast.nkBlocks.empty())
        return;
    if (forecast.bootLoader) {
        forecast.erases += 1 + kEbootBlocks;
        forecast.programs +=
            kStepLoaderSize / sim::kSectorDataSize + kEbootBlocks * sim::kSectorsPerBlock;
    }
    forecast.erases += forecast.nkBlocks.size() + 1;
    forecast.programs += forecast.nkBlocks.size() * sim::kSectorsPerBlock + 1;
    if (timing)
        forecast.flashUs =
            forecast.erases * timing->blockEraseUs + forecast.programs * timing->pageProgramUs;
}

}  // namespace

PackageForecast ForecastPackage(const fs::path &deviceFolder, const PackageFiles &files)
{
    PackageForecast forecast;
    // A file that is not there is left to the placing, which refuses it.
    std::error_code error;
    if (!files.nk || !fs::is_regular_file(*files.nk, error) ||
        !fs::is_regular_file(deviceFolder / "device.json", error) ||
        (files.eboot && !fs::is_regular_file(*files.eboot, error)))
        return forecast;
    std::optional<uint32_t> length = CheckBin(*files.nk, forecast.refusals);

    const sim::DeviceConfig config = sim::DeviceConfig::Load(deviceFolder / "device.json");
    std::unique_ptr<sim::FlashDriver> flash = OpenDeviceFlash(deviceFolder);
    auto bad = [&](uint32_t block) {
        return flash ? (flash->BlockStatus(block) & sim::FlashDriver::kStatusBad) != 0
                     : std::count(config.flash.bad.begin(), config.flash.bad.end(), block) > 0;
    };
    if (files.eboot) {
        const uint64_t size = fs::file_size(*files.eboot);
        if (size != kNb0Size)
            forecast.refusals.push_back(files.eboot->string() + ": " + std::to_string(size) +
                                        " bytes; a boot loader is " + std::to_string(kNb0Size));
        std::vector<std::string> badOnes;
        for (uint32_t block = 1; block <= 4; ++block)
            if (bad(block))
                badOnes.push_back(std::to_string(block));
        if (!badOnes.empty())
            forecast.refusals.push_back(
                files.eboot->string() + ": block " + badOnes.front() +
                " of the device is bad, and the shell writes a boot loader only when blocks 1-4 "
                "are all good");
        // A driver that says the boot loader may not be updated leaves it alone.
        forecast.bootLoader = size == kNb0Size && badOnes.empty() && config.flash.ebootUpdate;
    }

    if (length) {
        // Sector 0 of the first block holds no image bytes; every other sector 2048 of them.
        uint64_t sectors = (uint64_t(*length) + sim::kSectorDataSize - 1) / sim::kSectorDataSize;
        for (uint32_t block = 6; block < config.flash.blocks && sectors > 0; ++block) {
            if (bad(block))
                continue;
            forecast.nkBlocks.push_back(block);
            uint64_t holds =
                forecast.nkBlocks.size() == 1 ? kFirstNkBlockSectors : sim::kSectorsPerBlock;
            sectors -= std::min(sectors, holds);
        }
        if (sectors > 0)
            forecast.refusals.push_back(files.nk->string() + ": " + std::to_string(*length) +
                                        " bytes do not fit on the good blocks from 6 to " +
                                        std::to_string(config.flash.blocks - 1) + " of the device");
    }

    // A device whose running image holds an update key refuses, in the safe shell, every image
    // whose side file does not hold that key's signature of it, and the whole package with it.
    if (const std::optional<DeviceKey> key = ReadDeviceKey(deviceFolder)) {
        std::vector<fs::path> images = {*files.nk};
        if (files.eboot && config.flash.ebootUpdate)
            images.push_back(*files.eboot);
        for (const fs::path &image : images) {
            std::optional<std::string> problem = key->key ? SignatureProblem(image, *key->key)
                                                          : "the device's update key " +
                                                                std::string(kUpdateKeyDevicePath) +
                                                                " is " + *key->problem;
            if (problem)
                forecast.refusals.push_back(image.string() + ": " + *problem +
                                            (key->key ? " (the device holds update key " +
                                                            KeyFingerprint(*key->key) +
                                                            "; its safe shell refuses the package)"
                                                      : ""));
            if (!key->key)
                break;
        }
    }

    if (forecast.refusals.empty())
        CountFlashWrites(forecast, config.flash.timing);

    const std::string name = "R5nk_" + files.key + ".bin";
    for (const fs::directory_entry &entry :
         fs::directory_iterator(UpdateFolder(deviceFolder), error)) {
        const std::string other = entry.path().filename().string();
        if (other == name || !other.starts_with("R5nk_") || !other.ends_with(".bin"))
            continue;
        if (UpdateKey(other) >= UpdateKey(name))
            forecast.refusals.push_back(files.nk->string() + ": " + other +
                                        " is waiting already, and the shell takes "
                                        "the greatest key of six characters: \"" +
                                        UpdateKey(other) + "\" before \"" + UpdateKey(name) + "\"");
    }
    return forecast;
}

}  // namespace devkit
