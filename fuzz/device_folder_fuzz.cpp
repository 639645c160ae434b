// The device folder's loader over any text: the input is device.json, and after a NUL byte, if
// there is one, state.json. Refusing a folder with a DeviceError is the loader's answer to bad
// text; a crash, undefined behaviour or any other exception is a finding. A folder it opens must
// open again after a save, as the next boot opens what this one saved.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/fuzz_device.h"
#include "sim/device.h"
#include "sim/error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A temporary folder for the whole run, removed at its end.
    static qs_test::TempDevice device;
    const std::filesystem::path &folder = device.folder();

    std::string text = qs_fuzz::Bytes(data, size);
    size_t split = text.find('\0');
    std::ofstream(folder / "device.json", std::ios::binary) << text.substr(0, split);
    std::filesystem::remove(folder / "state.json");
    if (split != std::string::npos)
        std::ofstream(folder / "state.json", std::ios::binary) << text.substr(split + 1);

    try {
        sim::Device::Open(folder)->Save();
    } catch (const sim::DeviceError &) {
        return 0;
    }
    try {
        sim::Device::Open(folder);
    } catch (const sim::DeviceError &error) {
        qs_fuzz::Finding(std::string("a saved folder is refused: ") + error.what());
    }
    return 0;
}
