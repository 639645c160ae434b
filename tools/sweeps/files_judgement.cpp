#include "tools/sweeps/files_judgement.h"

#include <algorithm>

#include "sim/device.h"

namespace qs_tools {

namespace fs = std::filesystem;

namespace {

// The entry of a folder whose name matches without regard to case, as the device finds it.
fs::path Child(const fs::path &folder, const std::string &name)
{
    std::error_code error;
    for (const fs::directory_entry &entry : fs::directory_iterator(folder, error))
        if (sim::FoldCase(entry.path().filename().string()) == sim::FoldCase(name))
            return entry.path();
    return folder / name;
}

fs::path Below(fs::path path, std::initializer_list<const char *> names)
{
    for (const char *name : names)
        path = Child(path, name);
    return path;
}

std::string DevicePath(const fs::path &relative)
{
    std::string path = relative.generic_string();
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

// Every plain file below the folder, or only those directly in it.
FileTree ReadTree(const fs::path &folder, bool recursive = true)
{
    FileTree tree;
    std::error_code error;
    auto add = [&](const fs::directory_entry &entry) {
        if (!entry.is_regular_file(error) || entry.is_symlink(error))
            return;
        std::string path = DevicePath(entry.path().lexically_relative(folder));
        tree.files[sim::FoldCase(path)] = {path, sim::ReadWholeFile(entry.path())};
    };
    if (!fs::is_directory(folder, error))
        return tree;
    if (recursive)
        for (const fs::directory_entry &entry : fs::recursive_directory_iterator(folder, error))
            add(entry);
    else
        for (const fs::directory_entry &entry : fs::directory_iterator(folder, error))
            add(entry);
    return tree;
}

bool IsSystemInfo(const std::string &name)
{
    const std::string folded = sim::FoldCase(name);
    return folded.starts_with("m7lite_") && folded.ends_with(".sys");
}

FileTree ReadSystemInfos(const fs::path &device)
{
    FileTree all = ReadTree(Below(device, {"root", "NAND"}), false), infos;
    for (const auto &[key, file] : all.files)
        if (IsSystemInfo(file.path))
            infos.files.emplace(key, file);
    return infos;
}

fs::path UpdateFolderOf(const fs::path &device)
{
    return Below(device, {"root", "flashdisk", "K275D-Update"});
}

std::string Names(const std::vector<std::string> &names)
{
    std::string text;
    for (size_t i = 0; i < names.size() && i < 3; ++i)
        text += (i ? ", " : "") + names[i];
    if (names.size() > 3)
        text += " and " + std::to_string(names.size() - 3) + " more";
    return text;
}

// "2 of 3 missing (a, b); 1 changed (c); 1 extra (d)", against the tree expected.
std::string Difference(const FileTree &expected, const FileTree &found, bool extras)
{
    std::vector<std::string> missing, changed, extra;
    for (const auto &[key, file] : expected.files) {
        auto there = found.files.find(key);
        if (there == found.files.end())
            missing.push_back(file.path);
        else if (there->second.bytes != file.bytes)
            changed.push_back(file.path);
    }
    for (const auto &[key, file] : found.files)
        if (extras && !expected.files.contains(key))
            extra.push_back(file.path);
    std::string text;
    const std::string of = " of " + std::to_string(expected.files.size());
    for (const auto &[names, label] :
         {std::pair{&missing, " missing ("}, {&changed, " changed ("}, {&extra, " extra ("}})
        if (!names->empty())
            text += (text.empty() ? "" : "; ") + std::to_string(names->size()) +
                    (names == &extra ? "" : of) + label + Names(*names) + ")";
    return text;
}

bool HoldsAll(const FileTree &expected, const FileTree &found)
{
    return Difference(expected, found, false).empty();
}

}  // namespace

bool FileTree::operator==(const FileTree &other) const
{
    return files.size() == other.files.size() &&
           std::equal(files.begin(), files.end(), other.files.begin(),
                      [](const auto &a, const auto &b) {
                          return a.first == b.first && a.second.bytes == b.second.bytes;
                      });
}

const char *AppsMatchName(AppsMatch match)
{
    switch (match) {
        case AppsMatch::Previous:
            return "previous";
        case AppsMatch::New:
            return "new";
        case AppsMatch::Neither:
            break;
    }
    return "neither";
}

FilesJudge::FilesJudge(const fs::path &device)
{
    previousApps_ = ReadTree(Below(device, {"root", "NAND", "apps"}));
    const fs::path update = UpdateFolderOf(device);
    std::error_code error;
    offersApps_ = fs::is_directory(Below(update, {"APP_DATA", "apps"}), error);
    newApps_ = ReadTree(Below(update, {"APP_DATA", "apps"}));
    images_ = ReadTree(update, false);
    appData_ = ReadTree(Child(update, "APP_DATA"));
    systemInfos_.push_back(ReadSystemInfos(device));
}

void FilesJudge::TakeUncut(const fs::path &device)
{
    systemInfos_.push_back(ReadSystemInfos(device));
}

FilesJudgement FilesJudge::Judge(const fs::path &device, const FlashJudgement &flash) const
{
    FilesJudgement judgement;
    const FileTree apps = ReadTree(Below(device, {"root", "NAND", "apps"}));
    judgement.apps = offersApps_ && apps == newApps_ ? AppsMatch::New
                     : apps == previousApps_         ? AppsMatch::Previous
                                                     : AppsMatch::Neither;
    if (judgement.apps == AppsMatch::Neither)
        judgement.lost.push_back(
            {"\\NAND\\apps", "neither installation: against the " +
                                 std::string(offersApps_ ? "package's" : "previous") + " one, " +
                                 Difference(offersApps_ ? newApps_ : previousApps_, apps, true)});

    const FileTree infos = ReadSystemInfos(device);
    judgement.systemInfoWhole =
        std::find(systemInfos_.begin(), systemInfos_.end(), infos) != systemInfos_.end();
    if (!judgement.systemInfoWhole)
        judgement.lost.push_back({"the system-information file",
                                  "neither as before the boot nor as the boot without a cut "
                                  "leaves it; against the latter, " +
                                      Difference(systemInfos_.back(), infos, true)});

    // Without a boot loader in the package the old one counts as the new one.
    const bool flashHoldsImages =
        flash.nk == ImageMatch::New && flash.bootLoader == ImageMatch::New;
    const fs::path update = UpdateFolderOf(device);
    if (!flashHoldsImages && !HoldsAll(images_, ReadTree(update, false)))
        judgement.lost.push_back(
            {"the package's images", "while the flash does not hold them: " +
                                         Difference(images_, ReadTree(update, false), false)});
    const FileTree appData = ReadTree(Child(update, "APP_DATA"));
    const std::string notInstalled =
        Difference(appData_, ReadTree(Below(device, {"root", "NAND"})), false);
    if (!notInstalled.empty() && !HoldsAll(appData_, appData))
        judgement.lost.push_back(
            {"the package's APP_DATA", "not installed whole under \\NAND (" + notInstalled +
                                           ") and not whole in the update folder (" +
                                           Difference(appData_, appData, false) + ")"});
    return judgement;
}

}  // namespace qs_tools
