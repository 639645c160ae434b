// Application data: a host folder placed as the update folder's APP_DATA, from which the shell
// installs the application folders of \NAND at its next boot, and the folders installed there.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace devkit {

inline constexpr std::string_view kAppDataName = "APP_DATA";
inline constexpr std::string_view kAppDataDevicePath = "\\flashdisk\\K275D-Update\\APP_DATA";

// The folders of APP_DATA that the shell replaces in \NAND (and, for apps, verifies), in its
// order. It copies anything else in APP_DATA too, but replaces and verifies nothing of it.
inline constexpr std::array<std::string_view, 4> kAppFolderNames = {"apps", "lumhelp", "manual",
                                                                    "sound"};

struct TreeSize {
    uint64_t files = 0;  // at every level
    uint64_t bytes = 0;
};

// "3 files, 70028 bytes", "1 file, 0 bytes".
std::string SizeText(const TreeSize &size);
// Which of kAppFolderNames a folder holds: "apps, sound", or "none of apps, lumhelp, manual,
// sound".
std::string AppFoldersText(const std::vector<std::string> &held);

// A host folder that the device can hold and the shell can walk as APP_DATA.
struct AppDataTree {
    std::filesystem::path root;
    std::vector<std::filesystem::path> folders;  // relative to root, each after its parent
    std::vector<std::filesystem::path> files;    // relative to root
    TreeSize size;
    std::vector<std::string> appFolders;  // those of kAppFolderNames it holds, in that order
};

// Reads a host folder as application data. Refuses, with one line naming the host path at
// fault: a folder that is missing or is not a folder; a symbolic link, fifo, socket or device
// node inside it (the device follows none below root/); a name that is not UTF-8 or holds
// \ / : * ? " < > | or a control character; two names in a folder that differ only in letter
// case (the device takes them for one); a file at the top named like one of kAppFolderNames;
// and a device path below kAppDataDevicePath that reaches MAX_PATH (260) characters: a file's
// own, or a folder's search pattern FOLDER\*.*, the longest path the shell builds for it.
// Throws sim::DeviceError.
AppDataTree ReadAppDataTree(const std::filesystem::path &folder);

// Copies the tree into an existing empty folder; answers what it copied. Throws
// sim::DeviceError.
TreeSize CopyAppDataTree(const AppDataTree &tree, const std::filesystem::path &into);

// The entry of a host folder that the device finds by name: letter case ignored, an exact match
// first, else the least of the names that match. Links and special files count as entries.
std::optional<std::filesystem::path> FindDeviceEntry(const std::filesystem::path &folder,
                                                     std::string_view name);

struct AppFolderView {
    std::string devicePath;
    TreeSize size;
    std::vector<std::string> appFolders;  // for APP_DATA: those of kAppFolderNames it holds
};

struct AppFoldersView {
    // Of \NAND\apps, \NAND\apps_bk, \NAND\lumhelp, \NAND\manual and \NAND\sound, those present,
    // in that order.
    std::vector<AppFolderView> installed;
    std::optional<AppFolderView> waiting;  // APP_DATA in the update folder
};

// The application folders under a device folder's root/, counted as the device's searches see
// them: without links and special files. Changes nothing. Throws sim::DeviceError when a folder
// cannot be read.
AppFoldersView ViewAppFolders(const std::filesystem::path &deviceFolder);

}  // namespace devkit
