// An update package laid in a device's update folder, where the shell looks for it at its next
// boot: operating-system images, application data, or both.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "devkit/app_data.h"

namespace devkit {

// The update folder below a device folder.
std::filesystem::path UpdateFolder(const std::filesystem::path &deviceFolder);

struct PackageFiles {
    std::optional<std::filesystem::path> nk;         // the .BIN image
    std::optional<std::filesystem::path> eboot;      // the .nb0 image, only with a .BIN image
    std::string key;                                 // what follows R5nk_ and R5boot_
    std::optional<std::filesystem::path> appData{};  // a host folder placed as APP_DATA
};

struct PlacedAppData {
    std::string folder;  // relative to the device folder
    TreeSize size;
    std::vector<std::string> appFolders;  // those of kAppFolderNames it holds
    bool replaced = false;                // an APP_DATA was there before
};

struct PlacedPackage {
    std::vector<std::string> files;  // the images, relative to the device folder, in order placed
    std::optional<uint32_t> crc;     // the side file's value when an .nb0 was placed
    std::optional<PlacedAppData> appData;
};

// The key the shell compares: up to six characters behind the first underscore of a name.
std::string UpdateKey(const std::string &name);

// The file of the update folder that the shell takes for PREFIX*EXTENSION, letter case ignored:
// the one with the greatest key, the first in name order among equal keys; none when none is
// there.
std::optional<std::filesystem::path> ChosenUpdateFile(const std::filesystem::path &deviceFolder,
                                                      const std::string &prefix,
                                                      const std::string &extension);

// What is wrong with a key; none when it makes names the shell finds: letters, digits, '-', '_'
// and '.', at least one.
std::optional<std::string> PackageKeyProblem(const std::string &key);

// Copies R5nk_KEY.bin, and R5boot_KEY.nb0 with its side file R5boot_KEY.nb0.crc, and the
// application data's tree as APP_DATA (replacing one there) into the update folder (made when
// missing), under the device folder's lock. At least the .BIN image or the application data is
// given. Every file and the tree are staged first and renamed into place only when all are, so a
// refusal or an error leaves the update folder as it was. The images are placed as given, so
// that broken ones can be offered to the shell on purpose; the application data is checked with
// ReadAppDataTree. Throws sim::DeviceError with one line.
PlacedPackage PlacePackage(const std::filesystem::path &deviceFolder, const PackageFiles &files);

}  // namespace devkit
