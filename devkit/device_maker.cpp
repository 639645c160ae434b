#include "devkit/device_maker.h"

#include <algorithm>
#include <charconv>

#include "devkit/staged_folder.h"
#include "devkit/wave.h"
#include "sim/config.h"
#include "sim/device.h"
#include "sim/device_lock.h"
#include "sim/error.h"
#include "sim/flash_array.h"

namespace devkit {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kReadOnlyAttribute = 0x01;  // FILE_ATTRIBUTE_READONLY

constexpr FactoryCue kCues[] = {
    {"update_start.wav", 523, 300}, {"success.wav", 784, 250},  {"updatefail.wav", 196, 500},
    {"reboot.wav", 392, 400},       {"firmware.wav", 659, 200},
};

struct PlaceholderProgram {
    const char *devicePath;
    const char *what;
};

constexpr PlaceholderProgram kPrograms[] = {
    {kMainApplication, "the device's main application"},
    {kFunctionTestProgram, "the factory function-test program"},
};

// "\A\b.exe" -> "root/A/b.exe"
std::string InRoot(const std::string &devicePath)
{
    std::string relative = "root" + devicePath;
    for (char &c : relative)
        if (c == '\\')
            c = '/';
    return relative;
}

// True when the folder holds a device that may be replaced; throws when it may not be used.
bool CheckDestination(const fs::path &folder, bool force)
{
    std::error_code error;
    if (!fs::exists(folder, error))
        return false;
    if (!fs::is_directory(folder, error))
        throw sim::DeviceError(folder.string() + ": exists and is not a folder");
    if (fs::exists(folder / "device.json", error)) {
        if (!force)
            throw sim::DeviceError(folder.string() +
                                   ": already holds a device (--force replaces it)");
        return true;
    }
    // Even with force, a folder of other things is never wiped.
    if (!fs::is_empty(folder, error))
        throw sim::DeviceError(folder.string() + ": not empty and holds no device");
    return false;
}

void LayFile(const fs::path &staging, const std::string &relative, const std::string &content,
             CreatedDevice &created)
{
    fs::path file = staging / relative;
    fs::create_directories(file.parent_path());
    sim::WriteFileAtomically(file, content);
    created.entries.push_back(relative);
}

// The defaults written out, their sections in the order that the documentation lists them.
std::string DescriptionText(const sim::DeviceConfig &config)
{
    nlohmann::json sections = config.ToJson();
    nlohmann::ordered_json ordered;
    for (const char *section :
         {"clock", "files", "heap", "flash", "power", "peripheral", "braille", "store", "programs"})
        if (sections.contains(section))
            ordered[section] = sections[section];
    for (const auto &[section, value] : sections.items())
        if (!ordered.contains(section))
            ordered[section] = value;
    return ordered.dump(2) + "\n";
}

sim::DeviceConfig Description(const DeviceOptions &options)
{
    sim::DeviceConfig config;
    config.power.bootKey = options.bootKey;
    config.flash.blocks = options.blocks;
    config.flash.bad = options.bad;
    config.flash.timing = kTypicalFlashTiming;
    if (options.binfsSectors)
        config.store.partitions.front().sectors = *options.binfsSectors;
    std::sort(config.flash.bad.begin(), config.flash.bad.end());
    config.flash.bad.erase(std::unique(config.flash.bad.begin(), config.flash.bad.end()),
                           config.flash.bad.end());
    return config;
}

void LayDescription(const fs::path &staging, const sim::DeviceConfig &config,
                    CreatedDevice &created)
{
    LayFile(staging, "device.json", DescriptionText(config), created);
    sim::Device::Open(staging);  // reads it back as a boot would, and makes root/
}

// Erased, the factory-bad blocks marked, and the TOC the boot loader finds on a new device.
void LayFlash(const fs::path &staging, const sim::FlashConfig &flash, CreatedDevice &created)
{
    const char *name = "nand.bin";
    std::unique_ptr<sim::FlashArray> array =
        sim::FlashArray::CreateFactoryFile(staging / name, flash.blocks, flash.bad);
    created.tocWritten =
        std::find(flash.bad.begin(), flash.bad.end(), kTocBlock) == flash.bad.end();
    if (created.tocWritten)
        array->Program(kTocSector, EncodeFactoryToc(created.mac, created.serial));
    created.entries.push_back(name);
}

void LayRoot(const fs::path &staging, CreatedDevice &created)
{
    fs::create_directories(staging / "root" / "flashdisk");
    created.entries.push_back("root/flashdisk/");
    for (const PlaceholderProgram &program : kPrograms)
        LayFile(staging, InRoot(program.devicePath),
                std::string("Placeholder for ") + program.what + " (" + program.devicePath +
                    "); nothing runs on the host.\n",
                created);
    for (const FactoryCue &cue : kCues)
        LayFile(staging, InRoot(std::string("\\windows\\") + cue.fileName),
                ToneWave(cue.frequencyHz, cue.durationMs), created);
}

// The update key in the running image, read-only as every file of the image is: the safe
// shell then writes only images signed with its private half.
void LayUpdateKey(const fs::path &staging, const PublicKey &key, CreatedDevice &created)
{
    LayFile(staging, kUpdateKeyRootPath, std::string(key.begin(), key.end()), created);
    nlohmann::json state;
    state["files"]["attributes"][sim::FoldCase(kUpdateKeyDevicePath)] = kReadOnlyAttribute;
    LayFile(staging, "state.json", state.dump(2) + "\n", created);
}

}  // namespace

std::optional<std::string> BlockCountProblem(uint32_t blocks)
{
    if (blocks >= kMinBlocks && blocks <= kMaxBlocks)
        return std::nullopt;
    return std::to_string(blocks) + " blocks; the flash takes " + std::to_string(kMinBlocks) +
           " to " + std::to_string(kMaxBlocks);
}

std::optional<std::string> BadBlocksProblem(const std::vector<uint32_t> &bad, uint32_t blocks)
{
    for (uint32_t block : bad)
        if (block >= blocks)
            return "block " + std::to_string(block) + " is beyond the " + std::to_string(blocks) +
                   " blocks of the flash";
    return std::nullopt;
}

SerialDigits DefaultSerial(int64_t powerSerial)
{
    // The power controller keeps 32 bits, which never take more than ten digits.
    uint32_t left = uint32_t(powerSerial);
    SerialDigits digits{};
    for (size_t i = digits.size(); i-- > 0; left /= 10)
        digits[i] = uint8_t(left % 10);
    return digits;
}

std::optional<SerialDigits> ParseFactorySerial(const std::string &text)
{
    if (text == "none")
        return kNoSerial;
    return ParseSerialDigits(text);
}

std::string FactorySerialText(const SerialDigits &serial)
{
    if (serial == kNoSerial)
        return "none";
    std::string text;
    for (uint8_t digit : serial)
        text += char('0' + digit);
    return text;
}

std::optional<uint64_t> ParseSectorCount(const std::string &text)
{
    uint64_t value = 0;
    const char *end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

std::span<const FactoryCue> FactoryCues()
{
    return kCues;
}

CreatedDevice CreateDevice(const fs::path &folder, const DeviceOptions &options)
{
    if (std::optional<std::string> problem = BlockCountProblem(options.blocks))
        throw sim::DeviceError("flash.blocks: " + *problem);
    if (std::optional<std::string> problem = BadBlocksProblem(options.bad, options.blocks))
        throw sim::DeviceError("flash.bad: " + *problem);
    sim::DeviceConfig config = Description(options);
    CreatedDevice created;
    created.serial = options.serial.value_or(DefaultSerial(config.power.serial));
    created.mac = options.mac.value_or(kDefaultMac);
    created.replaced = CheckDestination(folder, options.force);
    // A device being replaced must not be booting, or its boot would write into a folder
    // that is going away.
    std::optional<sim::DeviceLock> lock;
    if (created.replaced)
        lock.emplace(folder);
    StagedFolder staged(folder);
    try {
        LayDescription(staged.Path(), config, created);
        LayRoot(staged.Path(), created);
        if (options.updateKey)
            LayUpdateKey(staged.Path(), *options.updateKey, created);
        LayFlash(staged.Path(), config.flash, created);
        staged.Commit();
    } catch (const fs::filesystem_error &e) {
        throw sim::DeviceError(folder.string() + ": " + e.code().message());
    } catch (const sim::DeviceError &e) {
        throw sim::DeviceError(staged.Named(e.what()));
    }
    return created;
}

}  // namespace devkit
