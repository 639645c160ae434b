#include "tools/runner/scratch_device.h"

#include <stdlib.h>

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

}  // namespace

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
