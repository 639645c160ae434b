// Device paths to host paths under the device folder's root/.
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <system_error>
#include <vector>

#include "platform/host/file_meta.h"

namespace ce_host {

namespace fs = std::filesystem;

namespace {

bool IsWildcard(char16_t c)
{
    return c == u'*' || c == u'?';
}

constexpr std::u16string_view kRefusedCharacters = u":*?\"<>|";

bool IsValidName(std::u16string_view name, bool wildcardsAllowed)
{
    // The device's paths have no relative components; refusing them also keeps paths in root/.
    if (name == u"." || name == u"..")
        return false;
    for (char16_t c : name) {
        bool refused = c < 0x20 || kRefusedCharacters.find(c) != kRefusedCharacters.npos;
        if (refused && !(wildcardsAllowed && IsWildcard(c)))
            return false;
    }
    return true;
}

std::vector<std::u16string_view> SplitComponents(std::u16string_view path)
{
    std::vector<std::u16string_view> names;
    size_t start = 0;
    for (size_t at = 0; at <= path.size(); ++at) {
        if (at < path.size() && !IsPathSeparator(path[at]))
            continue;
        if (at > start)
            names.push_back(path.substr(start, at - start));
        start = at + 1;
    }
    return names;
}

enum class EntryKind { Missing, File, Folder, Other };

// What an entry is, without following a symbolic link: a link, a fifo, a socket or a device node
// is "Other", which nothing below root/ may be.
EntryKind KindOf(const fs::path &hostPath)
{
    std::error_code error;
    switch (fs::symlink_status(hostPath, error).type()) {
        case fs::file_type::regular:
            return EntryKind::File;
        case fs::file_type::directory:
            return EntryKind::Folder;
        case fs::file_type::not_found:
        case fs::file_type::none:
            return EntryKind::Missing;
        default:
            return EntryKind::Other;
    }
}

struct FoundEntry {
    std::string name;  // as on disk
    EntryKind kind;
};

// The smallest name in `folder` that equals `name` without regard to case.
std::optional<std::string> FindOtherCase(const fs::path &folder, const std::string &name)
{
    std::string folded = sim::FoldCase(name);
    std::optional<std::string> found;
    DIR *listing = ::opendir(folder.c_str());
    if (!listing)
        return found;
    while (const dirent *entry = ::readdir(listing)) {
        std::string_view candidate = entry->d_name;
        if (candidate == "." || candidate == ".." || candidate.size() != folded.size())
            continue;
        if (sim::FoldCase(std::string(candidate)) == folded && (!found || candidate < *found))
            found = std::string(candidate);
    }
    ::closedir(listing);
    return found;
}

// The entry of `folder` named `name` without regard to case; an exact match wins, and among
// names that differ only in case the smallest, so that the choice is stable.
std::optional<FoundEntry> FindEntry(const fs::path &folder, const std::string &name)
{
    if (EntryKind exact = KindOf(folder / name); exact != EntryKind::Missing)
        return FoundEntry{name, exact};
    std::optional<std::string> found = FindOtherCase(folder, name);
    if (!found)
        return std::nullopt;
    return FoundEntry{*found, KindOf(folder / *found)};
}

// True when `path` is a folder reached through plain folders alone, no symbolic link anywhere on
// the way: one look-up by the host. A device folder whose own host path runs through a link gives
// false, and the walk below takes over.
bool IsPlainFolderPath(const fs::path &path)
{
    open_how how{};
    how.flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof(how));
    if (fd < 0)
        return false;
    ::close(int(fd));
    return true;
}

// Takes the folders before the last component in one step when they are all there under exactly
// the names given, as plain folders, and the volume is mounted; that is what the walk below
// would find for them one by one. Returns how many components it took: none when anything on the
// way is otherwise, for the walk to find out what and to refuse it as it does.
size_t TakeExactFolders(const std::vector<std::u16string_view> &names, ResolvedPath &resolved)
{
    if (names.size() < 2)
        return 0;
    ResolvedPath taken = resolved;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        std::string folder = ToUtf8(names[i]);
        if (i == 0 && !IsMounted(folder))
            return 0;
        taken.devicePath = JoinDevicePath(taken.devicePath, folder);
        taken.hostPath /= folder;
    }
    if (!IsPlainFolderPath(taken.hostPath))
        return 0;
    resolved = std::move(taken);
    return names.size() - 1;
}

// The folders this boot has resolved, by their device path in folded case: each was a plain
// folder, reached through plain folders, on a mounted volume. Only the boot changes the tree while
// it runs, and a mounted volume stays mounted, so an entry holds until the boot removes or moves
// a folder (ForgetResolvedFolders); a new boot starts with none.
std::map<std::string, ResolvedPath> g_resolvedFolders;

std::string FoldedFolderKey(const std::vector<std::u16string_view> &names, size_t count)
{
    std::string key;
    for (size_t i = 0; i < count; ++i)
        key.append("\\").append(sim::FoldCase(ToUtf8(names[i])));
    return key;
}

bool RefuseOther(const ResolvedPath &path)
{
    std::error_code error;
    bool link = fs::is_symlink(fs::symlink_status(path.hostPath, error));
    AttachedDevice().Events().Violation(
        "files", path.devicePath + (link ? " is a symbolic link" : " is not a file or folder") +
                     "; the device's folder is never left through it");
    return Fail(ERROR_ACCESS_DENIED, false);
}

}  // namespace

bool IsMounted(const std::string &rootEntry)
{
    sim::Device &device = AttachedDevice();
    std::string folded = sim::FoldCase(rootEntry);
    for (const auto &[name, ms] : device.Config().files.mountAfterMs)
        if (sim::FoldCase(name) == folded)
            return device.Clock().ElapsedMs() >= ms;
    return true;
}

bool ResolvePath(LPCWSTR path, ResolvedPath &out, bool allowWildcards)
{
    std::u16string_view text = View(path);
    if (text.empty())
        return Fail(ERROR_PATH_NOT_FOUND, false);
    // The limit is on the full path; a path from the root gains its leading backslash.
    size_t fullLength = text.size() + (IsPathSeparator(text.front()) ? 0 : 1);
    if (fullLength >= MAX_PATH)
        return Fail(ERROR_FILENAME_EXCED_RANGE, false);

    std::vector<std::u16string_view> names = SplitComponents(text);
    for (size_t i = 0; i < names.size(); ++i)
        if (!IsValidName(names[i], allowWildcards && i + 1 == names.size()))
            return Fail(ERROR_INVALID_NAME, false);

    ResolvedPath resolved{"\\", AttachedDevice().Root(), true, true};
    const size_t folders = names.empty() ? 0 : names.size() - 1;
    const std::string folderKey = FoldedFolderKey(names, folders);
    size_t first = 0;
    if (auto known = g_resolvedFolders.find(folderKey);
        folders && known != g_resolvedFolders.end()) {
        resolved = known->second;
        first = folders;
    } else {
        first = TakeExactFolders(names, resolved);
    }
    for (size_t i = first; i < names.size(); ++i) {
        if (i == folders && folders && resolved.exists && resolved.isDirectory)
            g_resolvedFolders.emplace(folderKey, resolved);
        if (!resolved.exists || !resolved.isDirectory)
            return Fail(ERROR_PATH_NOT_FOUND, false);
        std::string given = ToUtf8(names[i]);
        bool pattern = names[i].find_first_of(u"*?") != names[i].npos;
        std::optional<FoundEntry> onDisk =
            pattern ? std::nullopt : FindEntry(resolved.hostPath, given);
        bool last = i + 1 == names.size();
        if (onDisk && IsRootPath(resolved.devicePath) && !IsMounted(onDisk->name))
            return Fail(last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND, false);
        std::string entry = onDisk ? onDisk->name : given;
        resolved.devicePath = JoinDevicePath(resolved.devicePath, entry);
        resolved.hostPath /= entry;
        EntryKind kind = onDisk ? onDisk->kind : EntryKind::Missing;
        if (kind == EntryKind::Other)
            return RefuseOther(resolved);
        resolved.exists = kind != EntryKind::Missing;
        resolved.isDirectory = kind == EntryKind::Folder;
    }
    // A trailing backslash names a folder; after a file it is a malformed name.
    if (IsPathSeparator(text.back()) && resolved.exists && !resolved.isDirectory)
        return Fail(ERROR_INVALID_NAME, false);
    out = std::move(resolved);
    return true;
}

void ForgetResolvedFolders()
{
    g_resolvedFolders.clear();
}

bool ResolveExisting(LPCWSTR path, ResolvedPath &out)
{
    if (!ResolvePath(path, out))
        return false;
    return out.exists ? true : Fail(ERROR_FILE_NOT_FOUND, false);
}

bool IsPathSeparator(char16_t c)
{
    return c == u'\\' || c == u'/';
}

std::string JoinDevicePath(const std::string &folder, std::string_view name)
{
    std::string joined = IsRootPath(folder) ? folder : folder + "\\";
    return joined.append(name);
}

std::string DeviceParent(const std::string &devicePath)
{
    size_t last = devicePath.find_last_of('\\');
    return last == 0 || last == devicePath.npos ? "\\" : devicePath.substr(0, last);
}

bool IsRootPath(const std::string &devicePath)
{
    return devicePath == "\\";
}

}  // namespace ce_host
