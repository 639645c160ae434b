#include "tools/runner/demo_device.h"

#include <fstream>

#include "devkit/bin_image.h"
#include "devkit/device_maker.h"
#include "devkit/nb0_image.h"
#include "devkit/update_package.h"
#include "sim/error.h"

namespace qs_tools {

namespace fs = std::filesystem;

namespace {

// A temporary folder beside the device, gone whatever happens.
class ScratchFolder {
public:
    explicit ScratchFolder(const fs::path &beside)
        : path_(fs::absolute(beside).parent_path() / ("." + beside.filename().string() + ".images"))
    {
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~ScratchFolder()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder &) = delete;
    ScratchFolder &operator=(const ScratchFolder &) = delete;
    const fs::path &Path() const { return path_; }

private:
    fs::path path_;
};

}  // namespace

void WriteDemoImages(const fs::path &folder)
{
    devkit::BinImageLayout nk;
    // Text a person recognises in a hex dump, with each 64 KiB record's number in it.
    nk.image.reserve(kDemoImageBytes);
    for (uint32_t record = 0; nk.image.size() < kDemoImageBytes; ++record) {
        std::string text =
            "QuorShell demo operating-system image, record " + std::to_string(record) + "\n";
        for (size_t at = 0; at < 0x10000 && nk.image.size() < kDemoImageBytes; ++at)
            nk.image.push_back(uint8_t(text[at % text.size()]));
    }
    nk.launch = nk.start + 0x1000;
    devkit::WriteBinImage(folder / "nk.bin", nk);
    std::vector<uint8_t> nb0 = devkit::MakeNb0(std::nullopt, std::nullopt);
    std::ofstream out(folder / "boot.nb0", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(nb0.data()), std::streamsize(nb0.size()));
    if (!out.flush())
        throw sim::DeviceError((folder / "boot.nb0").string() + ": cannot be written");
    devkit::WriteAppTree(folder / "apps", kDemoAppTree);
}

bool CreateDemoDeviceWhenMissing(const fs::path &folder)
{
    std::error_code error;
    if (fs::exists(folder, error) &&
        !(fs::is_directory(folder, error) && fs::is_empty(folder, error)))
        return false;
    devkit::CreateDevice(folder, {});
    ScratchFolder images(folder);
    WriteDemoImages(images.Path());
    devkit::PlacePackage(folder, {images.Path() / "nk.bin", images.Path() / "boot.nb0", "demo",
                                  images.Path() / "apps"});
    return true;
}

}  // namespace qs_tools
