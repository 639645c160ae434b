#include "tools/sweeps/device_snapshot.h"

#include <fstream>
#include <string_view>

#include <nlohmann/json.hpp>

#include "sim/config.h"
#include "sim/device.h"
#include "sim/error.h"
#include "sim/flash_array.h"
#include "sim/flash_driver.h"

namespace qs_tools {

namespace fs = std::filesystem;

namespace {

// Folded device paths; a boot owns each of them and everything beneath.
constexpr std::string_view kOwnedTrees[] = {
    "\\flashdisk\\k275d-update", "\\nand\\apps",   "\\nand\\apps_bk",
    "\\nand\\lumhelp",           "\\nand\\manual", "\\nand\\sound",
};
constexpr std::string_view kBinfsLog = "\\flashdisk\\binfs_check.log";
constexpr std::string_view kSystemInfoFolder = "\\nand\\";
constexpr std::string_view kSystemInfoPrefix = "m7lite_";
constexpr std::string_view kSystemInfoSuffix = ".sys";

bool IsSameOrBeneath(std::string_view path, std::string_view tree)
{
    return path.starts_with(tree) && (path.size() == tree.size() || path[tree.size()] == '\\');
}

// "\NAND\M7LITE_0020240315.sys": a file right in \NAND, named as the shell names them.
bool IsSystemInfoFile(std::string_view folded)
{
    if (!folded.starts_with(kSystemInfoFolder))
        return false;
    std::string_view name = folded.substr(kSystemInfoFolder.size());
    return name.find('\\') == name.npos && name.starts_with(kSystemInfoPrefix) &&
           name.ends_with(kSystemInfoSuffix);
}

std::string DevicePathOf(const fs::path &relative)
{
    std::string path;
    for (const fs::path &part : relative)
        path += "\\" + part.string();
    return path;
}

std::string ContentKey(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    uint64_t hash = 1469598103934665603ull;  // FNV-1a
    uint64_t size = 0;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i)
            hash = (hash ^ uint8_t(buffer[i])) * 1099511628211ull;
        size += uint64_t(in.gcount());
    }
    return std::to_string(size) + " bytes, hash " + std::to_string(hash);
}

std::vector<uint8_t> ReadBytes(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> bytes(fs::file_size(file));
    if (!in.read(reinterpret_cast<char *>(bytes.data()), std::streamsize(bytes.size())))
        throw sim::DeviceError(file.string() + ": cannot be read");
    return bytes;
}

// The flash as the driver lays it down on a device that has none yet.
std::vector<uint8_t> FactoryFlash(const fs::path &deviceFolder)
{
    fs::path description = deviceFolder / "device.json";
    sim::DeviceConfig config = fs::exists(description)
                                   ? sim::DeviceConfig::Load(description)
                                   : sim::DeviceConfig::FromJson(nlohmann::json::object());
    sim::FlashDriver driver(config.flash, sim::FlashArray::InMemory(config.flash.blocks));
    driver.MakeFactoryFresh();
    const sim::FlashArray &flash = driver.Flash();
    std::vector<uint8_t> bytes;
    bytes.reserve(sim::FlashSize(flash.Blocks()));
    for (uint32_t sector = 0; sector < flash.Sectors(); ++sector) {
        auto record = flash.Sector(sector);
        bytes.insert(bytes.end(), record.begin(), record.end());
    }
    return bytes;
}

}  // namespace

bool IsOwnedByBoot(const std::string &devicePath)
{
    std::string folded = sim::FoldCase(devicePath);
    for (std::string_view tree : kOwnedTrees)
        if (IsSameOrBeneath(folded, tree))
            return true;
    return folded == kBinfsLog || IsSystemInfoFile(folded);
}

RootSnapshot SnapshotRoot(const fs::path &deviceFolder)
{
    RootSnapshot snapshot;
    fs::path root = deviceFolder / "root";
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
        std::string path = DevicePathOf(it->path().lexically_relative(root));
        if (IsOwnedByBoot(path)) {
            if (it->is_directory(error))
                it.disable_recursion_pending();
            continue;
        }
        if (it->is_symlink(error))
            snapshot[path] = "link to " + fs::read_symlink(it->path(), error).string();
        else if (it->is_directory(error))
            snapshot[path] = "folder";
        else
            snapshot[path] = ContentKey(it->path());
    }
    return snapshot;
}

std::vector<std::string> RootChanges(const RootSnapshot &before, const RootSnapshot &after)
{
    std::map<std::string, std::string> changes;
    for (const auto &[path, content] : before) {
        auto found = after.find(path);
        if (found == after.end())
            changes[path] = "removed " + path;
        else if (found->second != content)
            changes[path] = "changed " + path;
    }
    for (const auto &[path, content] : after)
        if (!before.count(path))
            changes[path] = "added " + path;
    std::vector<std::string> lines;
    for (const auto &[path, line] : changes)
        lines.push_back(line);
    return lines;
}

UpdateOffer FindUpdateOffer(const fs::path &deviceFolder)
{
    UpdateOffer offer;
    std::error_code error;
    for (const fs::directory_entry &top : fs::directory_iterator(deviceFolder / "root", error)) {
        if (sim::FoldCase(top.path().filename().string()) != "flashdisk")
            continue;
        for (const fs::directory_entry &folder : fs::directory_iterator(top.path(), error)) {
            if (sim::FoldCase(folder.path().filename().string()) != "k275d-update")
                continue;
            for (const fs::directory_entry &file : fs::directory_iterator(folder.path(), error)) {
                std::string name = sim::FoldCase(file.path().filename().string());
                offer.nk |= name.starts_with("r5nk_") && name.ends_with(".bin");
                offer.eboot |= name.starts_with("r5boot_") && name.ends_with(".nb0");
            }
        }
    }
    return offer;
}

std::vector<uint8_t> FlashImage(const fs::path &deviceFolder)
{
    fs::path nandFile = deviceFolder / "nand.bin";
    return fs::exists(nandFile) ? ReadBytes(nandFile) : FactoryFlash(deviceFolder);
}

std::set<uint32_t> BlocksTheUpdateOwns(const UpdateOffer &offer,
                                       const std::vector<uint32_t> &cleanBootWrote)
{
    std::set<uint32_t> owned{sim::FlashDriver::kTocBlock};
    if (offer.eboot)
        for (uint32_t block = 0; block < sim::FlashDriver::kTocBlock; ++block)
            owned.insert(block);
    uint32_t firstNk = sim::FlashDriver::kTocBlock + 1;
    uint32_t lastNk = 0;
    for (uint32_t block : cleanBootWrote)
        if (block >= firstNk)
            lastNk = std::max(lastNk, block);
    if (offer.nk && lastNk >= firstNk)
        for (uint32_t block = firstNk; block <= lastNk + 1; ++block)
            owned.insert(block);
    return owned;
}

std::optional<uint32_t> SavedUpdateMode(const fs::path &deviceFolder)
{
    std::ifstream in(deviceFolder / "state.json");
    nlohmann::json state = nlohmann::json::parse(in, nullptr, false);
    if (state.is_discarded() || !state.contains("power") ||
        !state["power"].contains("update_mode") || !state["power"]["update_mode"].is_number())
        return std::nullopt;
    return state["power"]["update_mode"].get<uint32_t>();
}

}  // namespace qs_tools
