// The paths a command is given, checked before it does any work, each refusal one line that
// names the path as the user wrote it.
#pragma once

#include <filesystem>
#include <initializer_list>

namespace devkit {

// A file to read: "X: no such file", "X: is a folder, not a file", or "X: is not a plain file".
// Throws sim::DeviceError.
void RequireInputFile(const std::filesystem::path &file);

// A folder that holds a device: "X: no such device folder", or "X: holds no device (no
// device.json)". Throws sim::DeviceError.
void RequireDeviceFolder(const std::filesystem::path &folder);

// A file to write at the end of a long run: its folder exists and takes a new file, no folder is
// in its place, and it is none of the inputs, under any spelling of their paths. Leaves nothing
// behind. Throws sim::DeviceError.
void CheckOutputFile(const std::filesystem::path &file,
                     std::initializer_list<std::filesystem::path> inputs = {});

}  // namespace devkit
