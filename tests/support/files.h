// Files and folders for the tests: temporary folders, whole files, trees laid out and read back,
// words, UTF-16 paths and byte patterns that tell their offsets apart.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace qs_test {

// A fresh folder under the system's temporary folder, removed with all it holds.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;
    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The file's bytes; empty when it cannot be read.
std::string FileText(const std::filesystem::path &file);

// "1a2b" as the shell's %x prints it.
std::string Hex(uint64_t value);

// The words of a line, split at white space.
std::vector<std::string> SplitWords(const std::string &line);

// An ASCII path or text as the wide string the platform's calls take.
std::u16string U16(const std::string &ascii);

// Nonzero bytes that differ from sector to sector, so that a misplaced sector shows.
std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed);

// A tree to lay out: relative path ('/' between names) -> what it is. A file holds its
// bytes; the other kinds are spelt by these.
using Tree = std::map<std::string, std::string>;
extern const std::string kFolder;             // a folder
extern const std::string kFifo;               // a named pipe
std::string Link(const std::string &target);  // a symbolic link to target
std::string Sparse(uint64_t size);            // a file of that size laid without disk blocks

// Lays the tree out below root, its folders made as needed.
void LayTree(const std::filesystem::path &root, const Tree &tree);

// Relative path -> "=" and the bytes (or their count), "<folder>" or "-> target", for every entry
// below folder; empty when it is missing.
std::map<std::string, std::string> Snapshot(const std::filesystem::path &folder,
                                            bool sizes = false);

}  // namespace qs_test
