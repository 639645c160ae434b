#include "tests/support/files.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qs_test {

namespace fs = std::filesystem;

const std::string kFolder = "<folder>";
const std::string kFifo = "<fifo>";
namespace {
const std::string kLinkOpen = "<link ";
}  // namespace

TempFolder::TempFolder()
{
    std::string pattern = (fs::temp_directory_path() / "qs-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error(pattern + ": cannot be made");
    path_ = pattern;
}

TempFolder::~TempFolder()
{
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string FileText(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

std::vector<std::string> SplitWords(const std::string &line)
{
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof(text), "%llx", static_cast<unsigned long long>(value));
    return text;
}

std::u16string U16(const std::string &ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = uint8_t((i * 131 + (i >> 11) * 7 + seed) % 251 + 1);
    return bytes;
}

std::string Link(const std::string &target)
{
    return kLinkOpen + target + ">";
}

std::string Sparse(uint64_t size)
{
    return "<" + std::to_string(size) + " bytes>";
}

void LayTree(const fs::path &root, const Tree &tree)
{
    fs::create_directories(root);
    for (const auto &[relative, content] : tree) {
        const fs::path path = root / fs::path(relative).relative_path();
        fs::create_directories(content == kFolder ? path : path.parent_path());
        const bool sparse = content.starts_with("<") && content.ends_with(" bytes>");
        if (content == kFolder)
            continue;
        if (content == kFifo) {
            if (mkfifo(path.c_str(), 0644) != 0)
                throw std::runtime_error(path.string() + ": no pipe made");
        } else if (content.starts_with(kLinkOpen) && content.ends_with(">")) {
            fs::create_symlink(
                content.substr(kLinkOpen.size(), content.size() - kLinkOpen.size() - 1), path);
        } else {
            std::ofstream(path, std::ios::binary) << (sparse ? "" : content);
            if (sparse)
                fs::resize_file(path, std::stoull(content.substr(1)));
        }
    }
}

std::map<std::string, std::string> Snapshot(const fs::path &folder, bool sizes)
{
    std::map<std::string, std::string> entries;
    if (fs::is_directory(folder))
        for (const auto &entry : fs::recursive_directory_iterator(folder))
            entries[entry.path().lexically_relative(folder).string()] =
                entry.is_symlink()     ? "-> " + fs::read_symlink(entry).string()
                : entry.is_directory() ? "<folder>"
                : sizes                ? "=" + std::to_string(entry.file_size()) + " bytes"
                                       : "=" + FileText(entry.path());
    return entries;
}

}  // namespace qs_test
