// Searches: a snapshot of the matching entries, taken by FindFirstFileW and handed out one by one.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <system_error>

#include "platform/host/call_faults.h"
#include "platform/host/file_meta.h"

using namespace ce_host;

namespace fs = std::filesystem;

namespace {

const sim::FilesConfig &FilesConfig()
{
    return AttachedDevice().Config().files;
}

char16_t FoldChar(char16_t c)
{
    return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c;
}

bool WildcardMatch(std::u16string_view pattern, std::u16string_view name)
{
    size_t p = 0, n = 0;
    std::optional<size_t> starAt;  // the last star seen, to retry it over one more character
    size_t starName = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == u'*') {
            starAt = p++;
            starName = n;
        } else if (p < pattern.size() &&
                   (pattern[p] == u'?' || FoldChar(pattern[p]) == FoldChar(name[n]))) {
            ++p;
            ++n;
        } else if (starAt) {
            p = *starAt + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*')
        ++p;
    return p == pattern.size();
}

// As on the platform, a pattern ending in ".*" also matches the name without that extension,
// so "*.*" matches every name, and "readme.*" matches "readme".
bool MatchesName(std::u16string_view pattern, std::u16string_view name)
{
    return WildcardMatch(pattern, name) ||
           (pattern.ends_with(u".*") && WildcardMatch(pattern.substr(0, pattern.size() - 2), name));
}

struct Entry {
    std::string name;
    std::string devicePath;
    fs::path hostPath;
    uint64_t created = 0;  // 0 for entries laid on disk directly
};

// Times: the last write is the host file's (the layer keeps it on the virtual clock); the
// creation time is the one kept when the layer made the entry, else the last write, since the
// host's own birth time is on the host's clock. A folder the layer made reports its creation as
// its last write too: the host moves a folder's time whenever an entry in it changes.
void FillTimes(const Entry &entry, const struct stat &status, WIN32_FIND_DATAW &data)
{
    uint64_t written = TicksOf(status.st_mtim);
    std::optional<uint64_t> created = CreationTime(entry.hostPath);
    if (created && S_ISDIR(status.st_mode))
        written = *created;
    data.ftCreationTime = ToFileTime(created.value_or(written));
    data.ftLastWriteTime = ToFileTime(written);
    data.ftLastAccessTime = data.ftLastWriteTime;  // the device keeps no access time
}

// Nothing for an entry that is gone, or that is not a plain file or folder: every other call
// refuses such an entry, so a search does not offer it either (and never reports what a link
// points at).
std::optional<WIN32_FIND_DATAW> FindData(const Entry &entry)
{
    struct stat status {};
    if (::fstatat(AT_FDCWD, entry.hostPath.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !(S_ISREG(status.st_mode) || S_ISDIR(status.st_mode)))
        return std::nullopt;
    WIN32_FIND_DATAW data{};
    bool isDirectory = S_ISDIR(status.st_mode);
    data.dwFileAttributes = ReportedAttributes(entry.devicePath, isDirectory);
    FillTimes(entry, status, data);
    if (!isDirectory) {
        data.nFileSizeHigh = static_cast<DWORD>(uint64_t(status.st_size) >> 32);
        data.nFileSizeLow = static_cast<DWORD>(status.st_size);
    }
    std::u16string name = FromUtf8(entry.name);
    std::copy_n(name.begin(), std::min<size_t>(name.size(), MAX_PATH - 1), data.cFileName);
    return data;
}

bool NameLess(const Entry &a, const Entry &b)
{
    std::string foldedA = sim::FoldCase(a.name), foldedB = sim::FoldCase(b.name);
    return foldedA != foldedB ? foldedA < foldedB : a.name < b.name;
}

void Order(std::vector<Entry> &entries)
{
    std::sort(entries.begin(), entries.end(), NameLess);
    if (FilesConfig().findOrder == sim::FindOrder::Reverse) {
        std::reverse(entries.begin(), entries.end());
    } else if (FilesConfig().findOrder == sim::FindOrder::Created) {
        // Entries laid on disk directly have no sequence and come first, by name.
        std::stable_sort(entries.begin(), entries.end(),
                         [](const Entry &a, const Entry &b) { return a.created < b.created; });
    }
}

std::vector<Entry> MatchingEntries(const fs::path &folder, const std::string &folderPath,
                                   std::u16string_view pattern)
{
    std::vector<Entry> entries;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::string name = it->path().filename().string();
        // A late volume is not in the root's listing until it mounts.
        bool hidden = IsRootPath(folderPath) && !IsMounted(name);
        if (hidden || !MatchesName(pattern, FromUtf8(name)))
            continue;
        std::string devicePath = JoinDevicePath(folderPath, name);
        entries.push_back({name, devicePath, it->path(), CreationSequence(devicePath).value_or(0)});
    }
    Order(entries);
    // "." and ".." lead every search of a folder below the root, so callers learn to skip them.
    if (!IsRootPath(folderPath) && FilesConfig().dotEntries) {
        std::string parent = DeviceParent(folderPath);
        Entry dots[] = {{".", folderPath, folder}, {"..", parent, folder.parent_path()}};
        for (int i = 1; i >= 0; --i)
            if (MatchesName(pattern, FromUtf8(dots[i].name)))
                entries.insert(entries.begin(), dots[i]);
    }
    return entries;
}

std::vector<Entry> Search(const ResolvedPath &path)
{
    std::string last = path.hostPath.filename().string();
    if (!path.exists && last.find_first_of("*?") != last.npos)
        return MatchingEntries(path.hostPath.parent_path(), DeviceParent(path.devicePath),
                               FromUtf8(last));
    if (!path.exists || IsRootPath(path.devicePath))
        return {};
    return {{last, path.devicePath, path.hostPath}};
}

}  // namespace

HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData)
{
    FallibleCall fallible("FindFirstFileW", ToUtf8(View(lpFileName)));
    if (fallible.Fails())
        return INVALID_HANDLE_VALUE;
    if (!lpFindFileData)
        return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    // Only the folder calls take a trailing backslash; a search through one names nothing.
    std::u16string_view text = View(lpFileName);
    if (!text.empty() && IsPathSeparator(text.back()))
        return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    ResolvedPath path;
    if (!ResolvePath(lpFileName, path, true))
        return INVALID_HANDLE_VALUE;
    SearchObject search;
    search.pattern = ToUtf8(text);
    for (const Entry &entry : Search(path))
        if (std::optional<WIN32_FIND_DATAW> data = FindData(entry))
            search.entries.push_back(*data);
    if (search.entries.empty())
        return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    *lpFindFileData = search.entries.front();
    search.next = 1;
    return AddHandle(std::move(search));
}

BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData)
{
    SearchObject *search = FindHandleAs<SearchObject>(hFindFile);
    // A folder that cannot be read fails every search of it.
    FallibleCall fallible("FindNextFileW", "",
                          search ? PathPlace("FindNextFileW", search->pattern) : std::string());
    if (fallible.Fails())
        return FALSE;
    if (!search)
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!lpFindFileData)
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (search->next >= search->entries.size())
        return Fail(ERROR_NO_MORE_FILES, FALSE);
    *lpFindFileData = search->entries[search->next++];
    return TRUE;
}

BOOL FindClose(HANDLE hFindFile)
{
    HandleObject taken;
    if (!FindHandleAs<SearchObject>(hFindFile) || !TakeHandle(hFindFile, taken))
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    return TRUE;
}
