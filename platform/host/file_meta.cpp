// What the layer keeps about entries besides their data: attributes and creation order in the
// device's state.json (keyed by the case-folded device path), and who holds an entry open.
#include <cerrno>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/host/file_meta.h"

namespace ce_host {

namespace {

constexpr const char *kAttributes = "attributes";
constexpr const char *kCreated = "created";
constexpr const char *kNextCreated = "next_created";
constexpr const char *kRecordKinds[] = {kAttributes, kCreated};

nlohmann::json &FilesState()
{
    return AttachedDevice().StateSection("files");
}

nlohmann::json &Records(const char *kind)
{
    nlohmann::json &records = FilesState()[kind];
    if (!records.is_object())
        records = nlohmann::json::object();
    return records;
}

std::string Key(const std::string &devicePath)
{
    return sim::FoldCase(devicePath);
}

bool IsBeneath(const std::string &key, const std::string &folderKey)
{
    if (folderKey == "\\")
        return key.size() > 1;
    return key.size() > folderKey.size() && key.starts_with(folderKey) &&
           key[folderKey.size()] == '\\';
}

bool IsSameOrBeneath(const std::string &key, const std::string &folderKey)
{
    return key == folderKey || IsBeneath(key, folderKey);
}

struct Holder {
    std::string key;
    DWORD access = 0;
    DWORD share = 0;
};

// The handles open in this process, and the locks of the device folder as handles opened
// elsewhere for reading and writing without sharing.
std::vector<Holder> Holders()
{
    std::vector<Holder> holders;
    ForEachHandle<FileObject>([&](const FileObject &file) {
        holders.push_back({Key(file.devicePath), file.access, file.share});
    });
    for (const std::string &locked : AttachedDevice().Config().files.locked)
        holders.push_back({ConfiguredPathKey(locked), GENERIC_READ | GENERIC_WRITE, 0});
    return holders;
}

// A handle that asks for no data and no delete right neither refuses nor is refused by others.
bool TakesPartInSharing(DWORD access)
{
    return access & (GENERIC_READ | GENERIC_WRITE | kDeleteAccess);
}

bool ShareRefuses(DWORD share, DWORD access)
{
    return ((access & GENERIC_READ) && !(share & FILE_SHARE_READ)) ||
           ((access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) ||
           ((access & kDeleteAccess) && !(share & kShareDelete));
}

}  // namespace

std::string ConfiguredPathKey(std::string path)
{
    for (char &c : path)
        if (c == '/')
            c = '\\';
    if (path.empty() || path.front() != '\\')
        path.insert(path.begin(), '\\');
    while (path.size() > 1 && path.back() == '\\')
        path.pop_back();
    return Key(path);
}

DWORD StoredAttributes(const std::string &devicePath)
{
    const nlohmann::json &records = Records(kAttributes);
    auto found = records.find(Key(devicePath));
    return found == records.end() ? 0 : found->get<DWORD>() & kStoredAttributeMask;
}

DWORD ReportedAttributes(const std::string &devicePath, bool isDirectory)
{
    DWORD attributes = StoredAttributes(devicePath);
    if (isDirectory)
        return attributes | FILE_ATTRIBUTE_DIRECTORY;
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

void StoreAttributes(const std::string &devicePath, DWORD attributes)
{
    attributes &= kStoredAttributeMask;
    if (attributes)
        Records(kAttributes)[Key(devicePath)] = attributes;
    else
        Records(kAttributes).erase(Key(devicePath));
}

void RecordCreated(const std::string &devicePath)
{
    nlohmann::json &files = FilesState();
    uint64_t sequence = files.value(kNextCreated, uint64_t{1});
    Records(kCreated)[Key(devicePath)] = sequence;
    files[kNextCreated] = sequence + 1;
}

std::optional<uint64_t> CreationSequence(const std::string &devicePath)
{
    const nlohmann::json &records = Records(kCreated);
    auto found = records.find(Key(devicePath));
    if (found == records.end())
        return std::nullopt;
    return found->get<uint64_t>();
}

// The keys are folded paths in a sorted map, so everything beneath "\a\b" lies in one run from
// "\a\b\" up to "\a\b]", ']' being the character after '\'. A delete costs a look-up, not a pass
// over every record.
void ForgetRecords(const std::string &devicePath)
{
    std::string gone = Key(devicePath);
    for (const char *kind : kRecordKinds) {
        auto &records = Records(kind).get_ref<nlohmann::json::object_t &>();
        if (IsRootPath(gone)) {
            std::erase_if(records,
                          [&](const auto &record) { return IsSameOrBeneath(record.first, gone); });
            continue;
        }
        records.erase(gone);
        records.erase(records.lower_bound(gone + '\\'), records.lower_bound(gone + char('\\' + 1)));
    }
}

void MoveRecords(const std::string &from, const std::string &to)
{
    std::string fromKey = Key(from);
    std::string toKey = Key(to);
    for (const char *kind : kRecordKinds) {
        nlohmann::json moved = nlohmann::json::object();
        for (auto &[key, value] : Records(kind).items())
            if (IsSameOrBeneath(key, fromKey))
                moved[toKey + key.substr(fromKey.size())] = value;
            else if (!moved.contains(key))
                moved[key] = value;
        Records(kind) = std::move(moved);
    }
}

bool CheckSharing(const std::string &devicePath, DWORD access, DWORD share)
{
    if (!TakesPartInSharing(access))
        return true;
    std::string key = Key(devicePath);
    for (const Holder &holder : Holders())
        if (holder.key == key && TakesPartInSharing(holder.access) &&
            (ShareRefuses(holder.share, access) || ShareRefuses(share, holder.access)))
            return Fail(ERROR_SHARING_VIOLATION, false);
    return true;
}

bool IsHeld(const std::string &devicePath)
{
    std::string key = Key(devicePath);
    for (const Holder &holder : Holders())
        if (holder.key == key)
            return true;
    return false;
}

bool CheckNothingHeldBeneath(const std::string &folderDevicePath)
{
    std::string folder = Key(folderDevicePath);
    for (const Holder &holder : Holders())
        if (IsBeneath(holder.key, folder))
            return Fail(ERROR_ACCESS_DENIED, false);
    return true;
}

DWORD ErrorFromErrno(int error)
{
    switch (error) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS:
        case EINVAL:  // a folder moved into itself
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case EBUSY:
        case ETXTBSY:
            return ERROR_SHARING_VIOLATION;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return ERROR_DISK_FULL;
        default:
            return ERROR_GEN_FAILURE;
    }
}

}  // namespace ce_host
