// The device that quorshell boots when it is given none.
#pragma once

#include <filesystem>

namespace qs_tools {

// The size of the demo's operating-system image: a few MiB, so the update takes its time.
constexpr uint32_t kDemoImageBytes = 3 * 1024 * 1024;

// Creates a fresh device in folder when the folder is missing or empty, with an update package
// in its update folder (an NK image of kDemoImageBytes and a boot loader, key "demo"); true when
// it did.
bool CreateDemoDeviceWhenMissing(const std::filesystem::path &folder);

// Writes the demo's images into a folder: nk.bin and boot.nb0.
void WriteDemoImages(const std::filesystem::path &folder);

}  // namespace qs_tools
