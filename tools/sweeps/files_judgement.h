// What a boot must never lose of a device's files, judged after a power cut: the installed
// application folder, the system-information file, and the update package while the device does
// not hold it yet.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tools/reports/flash_verdict.h"

namespace qs_tools {

// Files below a folder: the path under it in folded case to the path as on disk and the bytes.
struct FileTree {
    struct File {
        std::string path;  // "sub\a.dll"
        std::string bytes;
    };
    std::map<std::string, File> files;
    bool operator==(const FileTree &other) const;
};

enum class AppsMatch { Previous, New, Neither };
const char *AppsMatchName(AppsMatch match);  // "previous", "new", "neither"

// Something a device lost: what ("\NAND\apps", "the package's NK image") and how.
struct FileLoss {
    std::string what;
    std::string how;
    bool operator==(const FileLoss &other) const = default;
};

struct FilesJudgement {
    AppsMatch apps = AppsMatch::Previous;  // \NAND\apps against the installations before and after
    bool systemInfoWhole = true;
    std::vector<FileLoss> lost;
};

class FilesJudge {
public:
    // Reads the device folder before its boot: \NAND\apps, the system-information files, the
    // update folder's images and its APP_DATA.
    explicit FilesJudge(const std::filesystem::path &device);
    bool OffersAppData() const { return !appData_.files.empty(); }
    // What the boot without a cut leaves of the system-information files.
    void TakeUncut(const std::filesystem::path &device);
    // The device folder as a boot left it, with the judgement of its flash: the package's images
    // may go once the flash holds them whole, its APP_DATA once it is installed whole.
    FilesJudgement Judge(const std::filesystem::path &device, const FlashJudgement &flash) const;

private:
    FileTree previousApps_, newApps_;
    bool offersApps_ = false;
    FileTree images_, appData_;          // the update folder's files beside APP_DATA, and APP_DATA
    std::vector<FileTree> systemInfos_;  // before the boot, and without a cut
};

}  // namespace qs_tools
