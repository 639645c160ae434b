// A factory-fresh device folder: its description, the flash disk, the programs and the cues.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace devkit {

struct DeviceOptions {
    uint8_t bootKey = 0;  // power.boot_key: 16 starts the function-test program
    bool force = false;   // replace a device already in the folder
};

struct FactoryCue {
    const char *fileName;  // in the device's windows folder
    uint32_t frequencyHz;
    uint32_t durationMs;
};
// The cues of a fresh device, each of its own pitch and length so that they tell apart.
std::span<const FactoryCue> FactoryCues();

inline constexpr const char *kMainApplication = "\\NAND\\APPS\\LumTask.exe";
inline constexpr const char *kFunctionTestProgram = "\\windows\\K290DFunctionTest.exe";

struct CreatedDevice {
    bool replaced = false;             // a device was there before
    std::vector<std::string> entries;  // what was laid down, relative to the folder
};

// Lays down a fresh device in folder, which must be missing or empty, or hold a device that
// force allows to replace. The folder is built beside the destination and moved into place
// whole. Throws sim::DeviceError with a one-line reason.
CreatedDevice CreateDevice(const std::filesystem::path &folder, const DeviceOptions &options);

}  // namespace devkit
