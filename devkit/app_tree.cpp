#include "devkit/app_tree.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "devkit/staged_folder.h"
#include "sim/error.h"

namespace devkit {

namespace fs = std::filesystem;

namespace {

// A small generator of our own, so that every standard library gives the same tree.
class SplitMix {
public:
    explicit SplitMix(uint64_t seed) : state_(seed) {}
    uint64_t Next()
    {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double Unit() { return double(Next() >> 11) / double(1ull << 53); }

private:
    uint64_t state_;
};

struct FolderKind {
    const char *name;
    const char *subfolders[3];
    const char *extension;
};

constexpr FolderKind kFolders[] = {
    {"apps", {"lib", "data\\fonts", "data\\tables"}, ".dll"},
    {"lumhelp", {"en", "en\\images", "de"}, ".htm"},
    {"manual", {"chapters", "chapters\\appendix", "figures"}, ".txt"},
    {"sound", {"cues", "voices\\en", "voices\\de"}, ".wav"},
};

// Log-uniform from 1 byte to the largest file, so that small files are the many, scaled to the
// total. A spread of many files rarely reaches its top on its own, so the largest draw is made
// the largest file asked for and the others share what is left; when that file would take more
// than half the total, the others would be starved, and the spread keeps its own largest.
std::vector<uint64_t> FileSizes(const AppTreeShape &shape, SplitMix &random)
{
    std::vector<double> raw(shape.files);
    const double top = std::log(double(std::max<uint64_t>(shape.largestFile, 2)));
    for (double &size : raw)
        size = std::exp(random.Unit() * top);
    auto scaled = [&](uint64_t total) {
        double sum = 0;
        for (double size : raw)
            sum += size;
        const double scale = sum > 0 ? double(total) / sum : 0;
        std::vector<uint64_t> sizes;
        for (double size : raw)
            sizes.push_back(std::min<uint64_t>(uint64_t(size * scale), shape.largestFile));
        return sizes;
    };
    std::vector<uint64_t> sizes = scaled(shape.bytes);
    const uint64_t largest = shape.largestFile;
    auto biggest = std::max_element(sizes.begin(), sizes.end());
    if (biggest == sizes.end() || *biggest >= largest || largest > shape.bytes / 2)
        return sizes;
    const size_t at = size_t(biggest - sizes.begin());
    raw[at] = 0;
    sizes = scaled(shape.bytes - largest);
    sizes[at] = largest;
    return sizes;
}

void WriteFile(const fs::path &file, uint64_t size, const std::string &name)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    // Lines a person recognises in a dump, each with its offset so that no two blocks are alike.
    std::string chunk;
    for (uint64_t at = 0; at < size;) {
        chunk = name + " @" + std::to_string(at) + "\n";
        const uint64_t take = std::min<uint64_t>(chunk.size(), size - at);
        out.write(chunk.data(), std::streamsize(take));
        at += take;
    }
    if (!out.flush())
        throw sim::DeviceError(file.string() + ": cannot be written");
}

fs::path HostPath(const fs::path &base, const std::string &devicePath)
{
    fs::path path = base;
    size_t from = 0;
    for (size_t at; (at = devicePath.find('\\', from)) != std::string::npos; from = at + 1)
        path /= devicePath.substr(from, at - from);
    return path / devicePath.substr(from);
}

// The tree itself, in a folder that exists and is empty.
AppTreeTotals WriteTree(const fs::path &folder, const AppTreeShape &shape)
{
    std::error_code error;
    SplitMix random(0x51C0FFEEull ^ shape.files ^ shape.bytes);
    std::vector<uint64_t> sizes = FileSizes(shape, random);
    AppTreeTotals totals;
    for (uint32_t index = 0; index < shape.files; ++index) {
        const FolderKind &kind = kFolders[index % std::size(kFolders)];
        // The main application sits at the top of apps, where the shell starts it.
        const uint32_t slot = index == 0 ? 0 : uint32_t(random.Next() % 4);
        std::string relative = kind.name;
        if (slot > 0)
            relative += std::string("\\") + kind.subfolders[slot - 1];
        fs::create_directories(HostPath(folder, relative), error);
        if (error)
            throw sim::DeviceError(HostPath(folder, relative).string() +
                                   ": cannot be made: " + error.message());
        std::string name =
            index == 0 ? "LumTask.exe"
                       : std::string(kind.name) + "_" + std::to_string(index) + kind.extension;
        WriteFile(HostPath(folder, relative + "\\" + name), sizes[index], name);
        ++totals.files;
        totals.bytes += sizes[index];
    }
    for (const auto &entry : fs::recursive_directory_iterator(folder))
        totals.folders += entry.is_directory() ? 1 : 0;
    return totals;
}

}  // namespace

AppTreeTotals WriteAppTree(const fs::path &folder, const AppTreeShape &shape)
{
    std::error_code error;
    if (fs::exists(folder, error) && !fs::is_empty(folder, error))
        throw sim::DeviceError(folder.string() + ": already holds files");
    // Built beside the folder and moved into place whole: a tree cut short by a full disk or a
    // killed process is never found half made.
    StagedFolder staged(folder);
    try {
        AppTreeTotals totals = WriteTree(staged.Path(), shape);
        staged.Commit();
        return totals;
    } catch (const sim::DeviceError &e) {
        throw sim::DeviceError(staged.Named(e.what()));
    }
}

}  // namespace devkit
