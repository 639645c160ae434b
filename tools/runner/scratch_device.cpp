#include "tools/runner/scratch_device.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "sim/error.h"
#include "sim/flash_array.h"

namespace qs_tools {

namespace fs = std::filesystem;

namespace {

const char *const kNand = "nand.bin";

void CopyBlocks(const fs::path &from, const fs::path &to, const std::set<uint32_t> &blocks)
{
    std::ifstream in(from, std::ios::binary);
    std::fstream out(to, std::ios::binary | std::ios::in | std::ios::out);
    std::vector<char> bytes(sim::kBlockRecordSize);
    for (uint32_t block : blocks) {
        std::streamoff at = std::streamoff(block * sim::kBlockRecordSize);
        in.seekg(at);
        in.read(bytes.data(), std::streamsize(bytes.size()));
        out.seekp(at);
        out.write(bytes.data(), std::streamsize(bytes.size()));
    }
    if (!in || !out.flush())
        throw sim::DeviceError(to.string() + ": cannot be put back from " + from.string());
}

// A new folder in memory when the machine has a memory file system: a sweep boots the copy
// thousands of times, and on a disk the write-back of its flash and files dominates.
fs::path MakeScratchFolder()
{
    std::error_code error;
    for (const fs::path &parent : {fs::path("/dev/shm"), fs::temp_directory_path(error)}) {
        std::string pattern = (parent / "quordev-scratch-XXXXXX").string();
        if (fs::is_directory(parent, error) && mkdtemp(pattern.data()))
            return pattern;
    }
    throw sim::DeviceError("cannot make a scratch folder in /dev/shm or the temporary folder");
}

// The extended attributes of one entry copied onto another (the platform keeps creation times so).
void CopyAttributes(const fs::path &from, const fs::path &to)
{
    char names[4096];
    ssize_t size = ::llistxattr(from.c_str(), names, sizeof names);
    for (ssize_t at = 0; at < size; at += ssize_t(std::strlen(names + at)) + 1) {
        char value[256];
        ssize_t length = ::lgetxattr(from.c_str(), names + at, value, sizeof value);
        if (length >= 0)
            ::lsetxattr(to.c_str(), names + at, value, size_t(length), 0);
    }
}

// Folders made anew, files linked, links made again; a folder's times are set once it is full.
void LinkTree(const fs::path &from, const fs::path &to)
{
    struct stat status {};
    if (::lstat(from.c_str(), &status) != 0)
        throw fs::filesystem_error("cannot be read", from,
                                   std::error_code(errno, std::generic_category()));
    if (S_ISDIR(status.st_mode)) {
        fs::create_directory(to);
        for (const fs::directory_entry &entry : fs::directory_iterator(from))
            LinkTree(entry.path(), to / entry.path().filename());
        CopyAttributes(from, to);
        const timespec times[2] = {status.st_atim, status.st_mtim};
        ::utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW);
    } else if (S_ISLNK(status.st_mode)) {
        fs::copy_symlink(from, to);
    } else {
        fs::create_hard_link(from, to);
    }
}

}  // namespace

fs::path ScratchDevice::LinkedCopy() const
{
    fs::path copy = MakeScratchFolder();
    try {
        for (const fs::directory_entry &entry : fs::directory_iterator(path_))
            if (entry.path().filename() != "debug.log" &&
                entry.path().filename() != "journal.jsonl")
                LinkTree(entry.path(), copy / entry.path().filename());
    } catch (const fs::filesystem_error &e) {
        std::error_code ignored;
        fs::remove_all(copy, ignored);
        throw sim::DeviceError(path_.string() + ": cannot be linked: " + e.code().message());
    }
    return copy;
}

ScratchDevice::ScratchDevice(const fs::path &original)
    : original_(original), path_(MakeScratchFolder())
{
    try {
        CopyFiles();
        if (fs::exists(original_ / kNand))
            fs::copy_file(original_ / kNand, path_ / kNand);
    } catch (const fs::filesystem_error &e) {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
        throw sim::DeviceError(original_.string() + ": cannot be copied: " + e.code().message());
    }
}

ScratchDevice::~ScratchDevice()
{
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void ScratchDevice::CopyFiles(bool withRoot) const
{
    for (const char *file : {"device.json", "state.json"})
        if (fs::exists(original_ / file))
            fs::copy_file(original_ / file, path_ / file, fs::copy_options::overwrite_existing);
    if (withRoot && fs::exists(original_ / "root"))
        fs::copy(original_ / "root", path_ / "root",
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

void ScratchDevice::Restore(const std::set<uint32_t> &changedBlocks, bool rootChanged)
{
    try {
        for (const char *made : {"root", "state.json", "debug.log", "journal.jsonl"})
            if (rootChanged || made != std::string("root"))
                fs::remove_all(path_ / made);
        CopyFiles(rootChanged);
        if (!fs::exists(original_ / kNand))
            fs::remove(path_ / kNand);
        else
            CopyBlocks(original_ / kNand, path_ / kNand, changedBlocks);
    } catch (const fs::filesystem_error &e) {
        throw sim::DeviceError(path_.string() + ": cannot be put back: " + e.code().message());
    }
}

}  // namespace qs_tools
