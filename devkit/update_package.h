// An operating-system update package laid in a device's update folder, where the shell looks for
// it at its next boot.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace devkit {

// The update folder below a device folder.
std::filesystem::path UpdateFolder(const std::filesystem::path &deviceFolder);

struct PackageFiles {
    std::filesystem::path nk;                    // the .BIN image
    std::optional<std::filesystem::path> eboot;  // the .nb0 image
    std::string key;                             // what follows R5nk_ and R5boot_
};

struct PlacedPackage {
    std::vector<std::string> files;  // relative to the device folder, in the order placed
    std::optional<uint32_t> crc;     // the side file's value when an .nb0 was placed
};

// What is wrong with a key; none when it makes names the shell finds: letters, digits, '-', '_'
// and '.', at least one.
std::optional<std::string> PackageKeyProblem(const std::string &key);

// Copies R5nk_KEY.bin, and R5boot_KEY.nb0 with its side file R5boot_KEY.nb0.crc, into the update
// folder (made when missing), under the device folder's lock. Every file is staged first and
// renamed into place only when all are, so a refusal leaves nothing behind. The images are
// placed as given, so that broken ones can be offered to the shell on purpose. Throws
// sim::DeviceError with one line.
PlacedPackage PlacePackage(const std::filesystem::path &deviceFolder, const PackageFiles &files);

}  // namespace devkit
