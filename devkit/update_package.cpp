#include "devkit/update_package.h"

#include <fstream>
#include <memory>

#include "devkit/image_crc.h"
#include "devkit/staged_file.h"
#include "sim/device_lock.h"
#include "sim/error.h"

namespace devkit {

namespace fs = std::filesystem;

namespace {

constexpr size_t kCopyChunk = 1 << 20;

void CheckSource(const fs::path &file)
{
    std::error_code error;
    if (!fs::is_regular_file(file, error))
        throw sim::DeviceError(file.string() + ": no such file");
}

// Streams source into a staged copy at destination; the chunks also fold into the CRC value.
std::unique_ptr<StagedFile> StageCopy(const fs::path &source, const fs::path &destination,
                                      uint32_t &crc)
{
    std::ifstream in(source, std::ios::binary);
    if (!in)
        throw sim::DeviceError(source.string() + ": cannot be read");
    auto staged = std::make_unique<StagedFile>(destination);
    std::vector<uint8_t> chunk(kCopyChunk);
    static_assert(kCopyChunk % kCrcChunkSize == 0, "a copy chunk is whole CRC chunks");
    crc = 0;
    while (in) {
        in.read(reinterpret_cast<char *>(chunk.data()), std::streamsize(chunk.size()));
        if (in.bad())
            throw sim::DeviceError(source.string() + ": cannot be read");
        std::span<const uint8_t> got = std::span(chunk).first(size_t(in.gcount()));
        staged->Write(got);
        for (size_t offset = 0; offset < got.size(); offset += kCrcChunkSize)
            crc = FoldCrcChunk(crc,
                               got.subspan(offset, std::min(kCrcChunkSize, got.size() - offset)));
    }
    return staged;
}

}  // namespace

fs::path UpdateFolder(const fs::path &deviceFolder)
{
    return deviceFolder / "root" / "flashdisk" / "K275D-Update";
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

PlacedPackage PlacePackage(const fs::path &deviceFolder, const PackageFiles &files)
{
    if (std::optional<std::string> problem = PackageKeyProblem(files.key))
        throw sim::DeviceError(*problem);
    CheckSource(files.nk);
    if (files.eboot)
        CheckSource(*files.eboot);
    std::error_code error;
    if (!fs::is_regular_file(deviceFolder / "device.json", error))
        throw sim::DeviceError(deviceFolder.string() + ": holds no device (no device.json)");
    sim::DeviceLock lock(deviceFolder);
    const fs::path folder = UpdateFolder(deviceFolder);
    fs::create_directories(folder, error);
    if (error)
        throw sim::DeviceError(folder.string() + ": cannot be made: " + error.message());

    PlacedPackage placed;
    std::vector<std::unique_ptr<StagedFile>> staged;
    const fs::path relative = fs::path("root") / "flashdisk" / "K275D-Update";
    uint32_t crc = 0;
    const std::string nkName = "R5nk_" + files.key + ".bin";
    staged.push_back(StageCopy(files.nk, folder / nkName, crc));
    placed.files.push_back((relative / nkName).string());
    if (files.eboot) {
        const std::string ebootName = "R5boot_" + files.key + ".nb0";
        staged.push_back(StageCopy(*files.eboot, folder / ebootName, crc));
        auto side = std::make_unique<StagedFile>(CrcSideFile(folder / ebootName));
        side->Write(CrcSideFileBytes(crc));
        staged.push_back(std::move(side));
        placed.files.push_back((relative / ebootName).string());
        placed.files.push_back(CrcSideFile(relative / ebootName).string());
        placed.crc = crc;
    }
    for (const auto &file : staged)
        file->Commit();
    return placed;
}

}  // namespace devkit
