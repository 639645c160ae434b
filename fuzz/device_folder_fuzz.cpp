// The device folder's loader over any text: the input is device.json, and after a NUL byte, if
// there is one, state.json. Refusing a folder with a DeviceError is the loader's answer to bad
// text; a crash, undefined behaviour or any other exception is a finding. A folder it opens must
// open again after a save, as the next boot opens what this one saved.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/fuzz_device.h"
#include "sim/device.h"
#include "sim/error.h"

namespace {

namespace fs = std::filesystem;

fs::path MakeFolder()
{
    std::string pattern = (fs::temp_directory_path() / "qs-fuzz-folder-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        qs_fuzz::Finding("no temporary folder");
    return pattern;
}

struct Folder {
    fs::path path = MakeFolder();
    ~Folder()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Folder folder;

    std::string text = qs_fuzz::Bytes(data, size);
    size_t split = text.find('\0');
    std::ofstream(folder.path / "device.json", std::ios::binary) << text.substr(0, split);
    fs::remove(folder.path / "state.json");
    if (split != std::string::npos)
        std::ofstream(folder.path / "state.json", std::ios::binary) << text.substr(split + 1);

    try {
        sim::Device::Open(folder.path)->Save();
    } catch (const sim::DeviceError &) {
        return 0;
    }
    try {
        sim::Device::Open(folder.path);
    } catch (const sim::DeviceError &error) {
        qs_fuzz::Finding(std::string("a saved folder is refused: ") + error.what());
    }
    return 0;
}
