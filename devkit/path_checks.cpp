#include "devkit/path_checks.h"

#include "devkit/staged_file.h"
#include "sim/error.h"

namespace devkit {

namespace fs = std::filesystem;

void RequireInputFile(const fs::path &file)
{
    std::error_code error;
    if (fs::is_directory(file, error))
        throw sim::DeviceError(file.string() + ": is a folder, not a file");
    if (!fs::exists(file, error))
        throw sim::DeviceError(file.string() + ": no such file");
    if (!fs::is_regular_file(file, error))
        throw sim::DeviceError(file.string() + ": is not a plain file");
}

void RequireDeviceFolder(const fs::path &folder)
{
    std::error_code error;
    if (!fs::is_directory(folder, error))
        throw sim::DeviceError(folder.string() + ": no such device folder");
    if (!fs::exists(folder / "device.json", error))
        throw sim::DeviceError(folder.string() + ": holds no device (no device.json)");
}

void CheckOutputFile(const fs::path &file, std::initializer_list<fs::path> inputs)
{
    std::error_code error;
    if (fs::is_directory(file, error))
        throw sim::DeviceError(file.string() + ": is a folder, not a file");
    for (const fs::path &input : inputs)
        if (fs::equivalent(file, input, error))
            throw sim::DeviceError(file.string() + ": is the same file as the input " +
                                   input.string() + "; write the output to another file");
    StagedFile probe(file);  // the folder takes a new file; the probe removes itself
}

}  // namespace devkit
