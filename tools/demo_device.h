// The device that quorshell boots when it is given none.
#pragma once

#include <filesystem>

namespace qs_tools {

// Creates a fresh device in folder when the folder is missing or empty; true when it did.
bool CreateDemoDeviceWhenMissing(const std::filesystem::path &folder);

}  // namespace qs_tools
