#include "devkit/device_maker.h"

#include "devkit/staged_folder.h"
#include "devkit/wave.h"
#include "sim/config.h"
#include "sim/device.h"
#include "sim/error.h"

namespace devkit {

namespace fs = std::filesystem;

namespace {

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

void LayDescription(const fs::path &staging, uint8_t bootKey, CreatedDevice &created)
{
    sim::DeviceConfig config;
    config.power.bootKey = bootKey;
    LayFile(staging, "device.json", DescriptionText(config), created);
    sim::Device::Open(staging);  // reads it back as a boot would, and makes root/
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

}  // namespace

std::span<const FactoryCue> FactoryCues()
{
    return kCues;
}

CreatedDevice CreateDevice(const fs::path &folder, const DeviceOptions &options)
{
    CreatedDevice created;
    created.replaced = CheckDestination(folder, options.force);
    try {
        StagedFolder staged(folder);
        LayDescription(staged.Path(), options.bootKey, created);
        LayRoot(staged.Path(), created);
        staged.Commit();
    } catch (const fs::filesystem_error &e) {
        throw sim::DeviceError(folder.string() + ": " + e.code().message());
    }
    return created;
}

}  // namespace devkit
