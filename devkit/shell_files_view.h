// The files the shell keeps about the device itself: the system-information files in \NAND, whose
// names carry the serial number and whose bytes are the MAC address, and the BINFS check log.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "devkit/toc_record.h"
#include "devkit/update_signing.h"

namespace devkit {

// The shell looks for "\NAND\M7LITE_*.sys"; letter case does not matter on the device.
inline constexpr std::string_view kSystemInfoPrefix = "M7LITE_";
inline constexpr std::string_view kSystemInfoSuffix = ".sys";
inline constexpr std::string_view kBinfsLogDevicePath = "\\flashdisk\\BINFS_CHECK.log";

struct SystemInfoFileView {
    std::string devicePath;  // with the name's case on disk
    std::string serial;      // what the name holds between the first "_" and ".sys"
    bool serialIsTenDigits = false;
    std::optional<uint64_t> size;        // none for a folder or another kind of entry
    std::optional<MacAddress> mac;       // the content, when it is exactly six bytes
    std::optional<std::string> problem;  // why there is no MAC address: "9 bytes, not 6"
};

struct BinfsLogView {
    std::string devicePath;
    uint64_t size = 0;
    // The text split at each "\r\n", as UTF-8; control characters and unpaired surrogates as
    // \uXXXX. A last piece without "\r\n" (the tail of an older, longer log) is a line too.
    std::vector<std::string> lines;
    std::optional<std::string> problem;  // an odd size, a folder, an unreadable file
};

struct ShellFilesView {
    // Every entry of \NAND that the shell's search matches, by name without regard to case: the
    // order of the shell's search under files.find_order "name", whose first entry it takes.
    std::vector<SystemInfoFileView> systemInfo;
    std::optional<BinfsLogView> binfsLog;  // none when there is no log
    std::optional<DeviceKey> updateKey;    // none when the running image holds none
};

// Reads them from a device folder's root/ as the device finds them: letter case ignored, no
// link followed. Changes nothing.
ShellFilesView ViewShellFiles(const std::filesystem::path &deviceFolder);

// UTF-16LE text without a byte-order mark, split into lines as BinfsLogView holds them. An odd
// last byte is left out.
std::vector<std::string> Utf16LeLines(std::string_view bytes);

}  // namespace devkit
