#include "devkit/app_data.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <system_error>

#include "devkit/staged_copy.h"
#include "sim/device.h"
#include "sim/error.h"
#include "sim/unicode.h"

namespace devkit {

namespace fs = std::filesystem;

namespace {

// The shell builds its paths in buffers of MAX_PATH characters, the terminating zero included.
constexpr size_t kLongestDevicePath = 259;
constexpr std::string_view kSearchPattern = "\\*.*";
constexpr std::string_view kRefusedCharacters = "\\/:*?\"<>|";

// A host path as a line of text can show it: control characters, and every byte outside ASCII
// when the path is not UTF-8, as \xNN.
std::string Shown(const fs::path &path)
{
    const std::string bytes = path.string();
    const bool utf8 = sim::Utf16Units(bytes).has_value();
    std::string text;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c != 0x7F && (utf8 || c < 0x80)) {
            text += char(c);
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
        text += escaped;
    }
    return text;
}

[[noreturn]] void Refuse(const fs::path &entry, const std::string &reason)
{
    throw sim::DeviceError(Shown(entry) + ": " + reason);
}

// A character the device's file systems refuse in a name, as a user would name it.
std::optional<std::string> RefusedCharacter(unsigned char c)
{
    char text[40];
    if (c < 0x20)
        std::snprintf(text, sizeof text, "the control character 0x%02X", c);
    else if (kRefusedCharacters.find(char(c)) != kRefusedCharacters.npos)
        std::snprintf(text, sizeof text, "'%c'", c);
    else
        return std::nullopt;
    return text;
}

std::optional<std::string> NameProblem(const std::string &name)
{
    for (unsigned char c : name)
        if (std::optional<std::string> refused = RefusedCharacter(c))
            return "the name holds " + *refused + ", which the device's file systems refuse";
    if (!sim::Utf16Units(name))
        return "the name is not UTF-8 text, which the device cannot hold";
    return std::nullopt;
}

std::vector<std::string> SortedNames(const fs::path &folder)
{
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        names.push_back(it->path().filename().string());
    if (error)
        Refuse(folder, "cannot be read: " + error.message());
    std::sort(names.begin(), names.end());
    return names;
}

fs::file_type KindOf(const fs::path &entry)
{
    std::error_code error;
    return fs::symlink_status(entry, error).type();
}

bool IsAppFolderName(const std::string &name)
{
    const std::string folded = sim::FoldCase(name);
    return std::find(kAppFolderNames.begin(), kAppFolderNames.end(), folded) !=
           kAppFolderNames.end();
}

std::vector<std::string> AppFoldersIn(const fs::path &folder)
{
    std::vector<std::string> held;
    for (std::string_view name : kAppFolderNames)
        if (std::optional<fs::path> entry = FindDeviceEntry(folder, name);
            entry && KindOf(*entry) == fs::file_type::directory)
            held.emplace_back(name);
    return held;
}

// A device path and its length in the device's UTF-16 units, which may differ from its bytes.
struct DevicePath {
    std::string text;
    size_t length = 0;

    DevicePath Child(const std::string &name) const
    {
        return {text + "\\" + name, length + 1 + *sim::Utf16Units(name)};
    }
};

void CheckLength(const fs::path &entry, const std::string &what, const DevicePath &path)
{
    if (path.length > kLongestDevicePath)
        Refuse(entry, what + " " + path.text + " would be " + std::to_string(path.length) +
                          " characters; the shell's paths hold " +
                          std::to_string(kLongestDevicePath) + " at most");
}

// One level of a tree offered as application data, found at devicePath on the device.
void ReadLevel(AppDataTree &tree, const fs::path &relative, const DevicePath &devicePath)
{
    const fs::path folder = tree.root / relative;
    std::map<std::string, std::string> foldedNames;
    for (const std::string &name : SortedNames(folder)) {
        const fs::path entry = folder / name;
        if (std::optional<std::string> problem = NameProblem(name))
            Refuse(entry, *problem);
        if (auto [seen, fresh] = foldedNames.emplace(sim::FoldCase(name), name); !fresh)
            Refuse(entry, "the device takes it for \"" + seen->second +
                              "\": the names differ only in letter case");
        const DevicePath path = devicePath.Child(name);
        switch (KindOf(entry)) {
            case fs::file_type::regular: {
                if (relative.empty() && IsAppFolderName(name))
                    Refuse(entry, "is a file, but the shell takes it for its " +
                                      sim::FoldCase(name) + " folder");
                CheckLength(entry, "its device path", path);
                std::error_code error;
                const uintmax_t bytes = fs::file_size(entry, error);
                if (error)
                    Refuse(entry, "cannot be read: " + error.message());
                tree.files.push_back(relative / name);
                tree.size.files += 1;
                tree.size.bytes += bytes;
                break;
            }
            case fs::file_type::directory:
                CheckLength(
                    entry, "the shell's search of it,",
                    {path.text + std::string(kSearchPattern), path.length + kSearchPattern.size()});
                tree.folders.push_back(relative / name);
                ReadLevel(tree, relative / name, path);
                break;
            case fs::file_type::symlink:
                Refuse(entry, "is a symbolic link; the device follows none below root/");
            default:
                Refuse(entry, "is not a plain file or folder; the device holds nothing else");
        }
    }
}

// Files and bytes below a folder as the device's searches list them: links and special files
// are left out.
TreeSize CountTree(const fs::path &folder)
{
    TreeSize size;
    for (const std::string &name : SortedNames(folder)) {
        const fs::path entry = folder / name;
        const fs::file_type kind = KindOf(entry);
        if (kind == fs::file_type::directory) {
            const TreeSize below = CountTree(entry);
            size.files += below.files;
            size.bytes += below.bytes;
        } else if (kind == fs::file_type::regular) {
            std::error_code error;
            const uintmax_t bytes = fs::file_size(entry, error);
            if (error)
                Refuse(entry, "cannot be read: " + error.message());
            size.files += 1;
            size.bytes += bytes;
        }
    }
    return size;
}

// The host folder a device path names, each component found as the device finds it; none when
// one is missing or is not a plain folder.
std::optional<fs::path> FindDeviceFolder(const fs::path &deviceFolder, std::string_view devicePath)
{
    fs::path folder = deviceFolder / "root";
    if (KindOf(folder) != fs::file_type::directory)
        return std::nullopt;
    for (size_t start = 1; start < devicePath.size();) {
        const size_t end = std::min(devicePath.find('\\', start), devicePath.size());
        std::optional<fs::path> entry =
            FindDeviceEntry(folder, devicePath.substr(start, end - start));
        if (!entry || KindOf(*entry) != fs::file_type::directory)
            return std::nullopt;
        folder = *entry;
        start = end + 1;
    }
    return folder;
}

constexpr std::string_view kInstalledFolders[] = {
    "\\NAND\\apps", "\\NAND\\apps_bk", "\\NAND\\lumhelp", "\\NAND\\manual", "\\NAND\\sound"};

}  // namespace

std::string SizeText(const TreeSize &size)
{
    return std::to_string(size.files) + (size.files == 1 ? " file, " : " files, ") +
           std::to_string(size.bytes) + " bytes";
}

std::string AppFoldersText(const std::vector<std::string> &held)
{
    std::string text;
    if (held.empty()) {
        for (std::string_view name : kAppFolderNames)
            text += (text.empty() ? "none of " : ", ") + std::string(name);
        return text;
    }
    for (const std::string &name : held)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

AppDataTree ReadAppDataTree(const fs::path &folder)
{
    std::error_code error;
    const fs::file_status status = fs::status(folder, error);
    if (!fs::exists(status))
        Refuse(folder, "no such folder");
    if (!fs::is_directory(status))
        Refuse(folder, "is not a folder");
    AppDataTree tree;
    tree.root = folder;
    ReadLevel(tree, fs::path(), {std::string(kAppDataDevicePath), kAppDataDevicePath.size()});
    tree.appFolders = AppFoldersIn(folder);
    return tree;
}

TreeSize CopyAppDataTree(const AppDataTree &tree, const fs::path &into)
{
    for (const fs::path &folder : tree.folders) {
        std::error_code error;
        fs::create_directory(into / folder, error);
        if (error)
            Refuse(into / folder, "cannot be made: " + error.message());
    }
    TreeSize copied;
    for (const fs::path &file : tree.files) {
        StageCopy(tree.root / file, into / file, [&copied](std::span<const uint8_t> chunk) {
            copied.bytes += chunk.size();
        })->Commit();
        copied.files += 1;
    }
    return copied;
}

std::optional<fs::path> FindDeviceEntry(const fs::path &folder, std::string_view name)
{
    if (KindOf(folder / name) != fs::file_type::not_found)
        return folder / name;
    const std::string folded = sim::FoldCase(std::string(name));
    std::optional<std::string> found;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::string candidate = it->path().filename().string();
        if (sim::FoldCase(candidate) == folded && (!found || candidate < *found))
            found = std::move(candidate);
    }
    if (!found)
        return std::nullopt;
    return folder / *found;
}

AppFoldersView ViewAppFolders(const fs::path &deviceFolder)
{
    AppFoldersView view;
    for (std::string_view devicePath : kInstalledFolders)
        if (std::optional<fs::path> folder = FindDeviceFolder(deviceFolder, devicePath))
            view.installed.push_back({std::string(devicePath), CountTree(*folder), {}});
    if (std::optional<fs::path> folder = FindDeviceFolder(deviceFolder, kAppDataDevicePath))
        view.waiting = AppFolderView{std::string(kAppDataDevicePath), CountTree(*folder),
                                     AppFoldersIn(*folder)};
    return view;
}

}  // namespace devkit
