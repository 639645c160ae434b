#include "tools/demo_device.h"

#include "devkit/device_maker.h"

namespace qs_tools {

namespace fs = std::filesystem;

bool CreateDemoDeviceWhenMissing(const fs::path &folder)
{
    std::error_code error;
    if (fs::exists(folder, error) &&
        !(fs::is_directory(folder, error) && fs::is_empty(folder, error)))
        return false;
    devkit::CreateDevice(folder, {});
    return true;
}

}  // namespace qs_tools
