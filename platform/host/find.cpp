// Searches: a snapshot of the matching entries, taken by FindFirstFileW and handed out one by one.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <system_error>

#include "platform/host/file_meta.h"

using namespace ce_host;

namespace fs = std::filesystem;

namespace {

// FindFirstFileW calls that named each late root folder of files.appear_after, by folded name.
std::map<std::string, uint32_t> g_searchAttempts;

const sim::FilesConfig &FilesConfig()
{
    return AttachedDevice().Config().files;
}

std::optional<uint32_t> AppearsAtAttempt(const std::string &foldedRootName)
{
    for (const auto &[name, attempt] : FilesConfig().appearAfter)
        if (sim::FoldCase(name) == foldedRootName)
            return attempt;
    return std::nullopt;
}

bool HasAppeared(const std::string &rootName)
{
    std::string folded = sim::FoldCase(rootName);
    std::optional<uint32_t> attempt = AppearsAtAttempt(folded);
    auto counted = g_searchAttempts.find(folded);
    return !attempt || (counted != g_searchAttempts.end() && counted->second >= *attempt);
}

// Counts a search that starts at a late root folder. Until its attempt comes, the folder is not
// there: the search fails as for a missing folder, or a missing entry when it names the folder.
bool CountAttempt(std::u16string_view path)
{
    size_t start = 0;
    while (start < path.size() && IsPathSeparator(path[start]))
        ++start;
    size_t end = start;
    while (end < path.size() && !IsPathSeparator(path[end]))
        ++end;
    std::string rootName = ToUtf8(path.substr(start, end - start));
    if (!AppearsAtAttempt(sim::FoldCase(rootName)))
        return true;
    ++g_searchAttempts[sim::FoldCase(rootName)];
    if (HasAppeared(rootName))
        return true;
    bool beneath =
        std::any_of(path.begin() + end, path.end(), [](char16_t c) { return !IsPathSeparator(c); });
    return Fail(beneath ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND, false);
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

FILETIME ToFileTime(const struct statx_timestamp &time)
{
    constexpr uint64_t kTicksFrom1601To1970 = 116444736000000000ull;
    uint64_t ticks =
        kTicksFrom1601To1970 + uint64_t(time.tv_sec) * 10'000'000u + time.tv_nsec / 100;
    return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

struct Entry {
    std::string name;
    std::string devicePath;
    fs::path hostPath;
    uint64_t created = 0;  // 0 for entries laid on disk directly
};

std::optional<WIN32_FIND_DATAW> FindData(const Entry &entry)
{
    struct statx status {};
    if (::statx(AT_FDCWD, entry.hostPath.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &status))
        return std::nullopt;
    WIN32_FIND_DATAW data{};
    bool isDirectory = S_ISDIR(status.stx_mode);
    data.dwFileAttributes = ReportedAttributes(entry.devicePath, isDirectory);
    bool hasBirth = status.stx_mask & STATX_BTIME;
    data.ftCreationTime = ToFileTime(hasBirth ? status.stx_btime : status.stx_mtime);
    data.ftLastAccessTime = ToFileTime(status.stx_atime);
    data.ftLastWriteTime = ToFileTime(status.stx_mtime);
    if (!isDirectory) {
        data.nFileSizeHigh = static_cast<DWORD>(status.stx_size >> 32);
        data.nFileSizeLow = static_cast<DWORD>(status.stx_size);
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
        // A copy in progress writes to a host name with a ':', which no device name can hold.
        bool hidden = name.find(':') != name.npos || (IsRootPath(folderPath) && !HasAppeared(name));
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

namespace ce_host {

void ResetFileState()
{
    g_searchAttempts.clear();
}

}  // namespace ce_host

HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData)
{
    if (!lpFindFileData)
        return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    ResolvedPath path;
    if (!CountAttempt(View(lpFileName)) || !ResolvePath(lpFileName, path, true))
        return INVALID_HANDLE_VALUE;
    SearchObject search;
    for (const Entry &entry : Search(path))
        if (std::optional<WIN32_FIND_DATAW> data = FindData(entry))
            search.entries.push_back(*data);
    if (search.entries.empty())
        return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    *lpFindFileData = search.entries.front();
    search.next = 1;
    SetError(ERROR_SUCCESS);
    return AddHandle(std::move(search));
}

BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData)
{
    SearchObject *search = FindHandleAs<SearchObject>(hFindFile);
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
