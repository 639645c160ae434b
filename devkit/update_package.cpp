#include "devkit/update_package.h"

#include <map>
#include <memory>

#include "devkit/image_crc.h"
#include "devkit/path_checks.h"
#include "devkit/staged_copy.h"
#include "devkit/staged_folder.h"
#include "devkit/update_signing.h"
#include "sim/device.h"
#include "sim/device_lock.h"
#include "sim/error.h"

namespace devkit {

namespace fs = std::filesystem;

namespace {

static_assert(kCopyChunk % kCrcChunkSize == 0, "a copy chunk is whole CRC chunks");

fs::path UpdateFolderInDevice()
{
    return fs::path("root") / "flashdisk" / "K275D-Update";
}

// An image's signature side file goes with it, under the image's new name.
void StageSignature(const fs::path &source, const fs::path &image, PlacedPackage &placed,
                    std::vector<std::unique_ptr<StagedFile>> &staged)
{
    std::error_code error;
    if (!fs::is_regular_file(SignaturePath(source), error))
        return;
    staged.push_back(StageCopy(SignaturePath(source), SignaturePath(image)));
    placed.files.push_back((UpdateFolderInDevice() / SignaturePath(image).filename()).string());
}

// Stages R5nk_KEY.bin and, with a boot loader, R5boot_KEY.nb0 and its side file, whose value
// folds over the chunks as they are copied.
void StageImages(const fs::path &folder, const PackageFiles &files, PlacedPackage &placed,
                 std::vector<std::unique_ptr<StagedFile>> &staged)
{
    const std::string nkName = "R5nk_" + files.key + ".bin";
    staged.push_back(StageCopy(*files.nk, folder / nkName));
    placed.files.push_back((UpdateFolderInDevice() / nkName).string());
    StageSignature(*files.nk, folder / nkName, placed, staged);
    if (!files.eboot)
        return;
    const std::string ebootName = "R5boot_" + files.key + ".nb0";
    uint32_t crc = 0;
    staged.push_back(
        StageCopy(*files.eboot, folder / ebootName, [&crc](std::span<const uint8_t> chunk) {
            for (size_t offset = 0; offset < chunk.size(); offset += kCrcChunkSize)
                crc = FoldCrcChunk(
                    crc, chunk.subspan(offset, std::min(kCrcChunkSize, chunk.size() - offset)));
        }));
    auto side = std::make_unique<StagedFile>(CrcSideFile(folder / ebootName));
    side->Write(CrcSideFileBytes(crc));
    staged.push_back(std::move(side));
    placed.files.push_back((UpdateFolderInDevice() / ebootName).string());
    placed.files.push_back(CrcSideFile(UpdateFolderInDevice() / ebootName).string());
    placed.crc = crc;
    StageSignature(*files.eboot, folder / ebootName, placed, staged);
}

// Stages the tree beside the APP_DATA that the device would find, whatever its letter case.
std::unique_ptr<StagedFolder> StageAppData(const fs::path &folder, const AppDataTree &tree,
                                           PlacedPackage &placed)
{
    const std::optional<fs::path> existing = FindDeviceEntry(folder, kAppDataName);
    std::error_code error;
    if (existing && !fs::is_directory(fs::symlink_status(*existing, error)))
        throw sim::DeviceError(existing->string() + ": is not a plain folder; it is not replaced");
    const fs::path destination = existing.value_or(folder / kAppDataName);
    auto staged = std::make_unique<StagedFolder>(destination);
    placed.appData =
        PlacedAppData{(UpdateFolderInDevice() / destination.filename()).string(),
                      CopyAppDataTree(tree, staged->Path()), tree.appFolders, existing.has_value()};
    return staged;
}

}  // namespace

fs::path UpdateFolder(const fs::path &deviceFolder)
{
    return deviceFolder / UpdateFolderInDevice();
}

std::optional<std::string> PackageKeyProblem(const std::string &key)
{
    if (key.empty())
        return "the key is empty";
    for (char c : key)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.')
            return "the key \"" + key + "\" holds '" + std::string(1, c) +
                   "'; use letters, digits, '-', '_' and '.'";
    return std::nullopt;
}

std::string UpdateKey(const std::string &name)
{
    size_t underscore = name.find('_');
    return underscore == std::string::npos ? "" : name.substr(underscore + 1, 6);
}

std::optional<fs::path> ChosenUpdateFile(const fs::path &deviceFolder, const std::string &prefix,
                                         const std::string &extension)
{
    std::map<std::string, fs::path> byName;  // the shell's searches list names in folded order
    std::error_code error;
    for (const fs::directory_entry &entry :
         fs::directory_iterator(UpdateFolder(deviceFolder), error)) {
        const std::string name = sim::FoldCase(entry.path().filename().string());
        if (entry.is_regular_file(error) && name.starts_with(sim::FoldCase(prefix)) &&
            name.ends_with(sim::FoldCase(extension)))
            byName.emplace(name, entry.path());
    }
    std::optional<fs::path> chosen;
    for (const auto &[name, path] : byName)
        if (!chosen || UpdateKey(chosen->filename().string()) < UpdateKey(path.filename().string()))
            chosen = path;
    return chosen;
}

PlacedPackage PlacePackage(const fs::path &deviceFolder, const PackageFiles &files)
{
    if (!files.nk && !files.appData)
        throw sim::DeviceError("a package holds an NK image, application data or both");
    if (files.eboot && !files.nk)
        throw sim::DeviceError("a boot-loader image goes only with an NK image");
    if (files.nk) {
        if (std::optional<std::string> problem = PackageKeyProblem(files.key))
            throw sim::DeviceError(*problem);
        RequireInputFile(*files.nk);
        if (files.eboot)
            RequireInputFile(*files.eboot);
    }
    std::optional<AppDataTree> tree;
    if (files.appData)
        tree = ReadAppDataTree(*files.appData);
    RequireDeviceFolder(deviceFolder);
    std::error_code error;
    sim::DeviceLock lock(deviceFolder);
    const fs::path folder = UpdateFolder(deviceFolder);
    const bool folderWasThere = fs::is_directory(folder, error);
    fs::create_directories(folder, error);
    if (error)
        throw sim::DeviceError(folder.string() + ": cannot be made: " + error.message());

    try {
        PlacedPackage placed;
        std::vector<std::unique_ptr<StagedFile>> images;
        if (files.nk)
            StageImages(folder, files, placed, images);
        std::unique_ptr<StagedFolder> appData;
        if (tree)
            appData = StageAppData(folder, *tree, placed);
        if (appData)
            appData->Commit();
        for (const auto &file : images)
            file->Commit();
        return placed;
    } catch (...) {
        // The staged files and folder are gone by now; an update folder made for them goes too.
        if (!folderWasThere)
            fs::remove(folder, error);
        throw;
    }
}

}  // namespace devkit
