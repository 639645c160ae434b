// The device that quorshell boots when it is given none.
#pragma once

#include <filesystem>

#include "devkit/app_tree.h"

namespace qs_tools {

// The size of the demo's operating-system image: a few MiB, so the update takes its time.
constexpr uint32_t kDemoImageBytes = 3 * 1024 * 1024;

// The demo's application data: a few hundred files in nested folders, a few MiB.
inline constexpr devkit::AppTreeShape kDemoAppTree{
    .files = 300, .bytes = 4ull << 20, .largestFile = 1ull << 20};

// Creates a fresh device in folder when the folder is missing or empty, with an update package
// in its update folder (an NK image of kDemoImageBytes and a boot loader, key "demo", and
// application data of kDemoAppTree's shape); true when it did.
bool CreateDemoDeviceWhenMissing(const std::filesystem::path &folder);

// Writes the demo's package into a folder: nk.bin, boot.nb0 and the application data apps/.
void WriteDemoImages(const std::filesystem::path &folder);

}  // namespace qs_tools
