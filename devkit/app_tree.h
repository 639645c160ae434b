// Made-up application data for demos and benchmarks: a deterministic tree in the four folders
// the shell installs, with file sizes spread from a few bytes to megabytes the way real
// application data is (many small files, a few large ones).
#pragma once

#include <cstdint>
#include <filesystem>

namespace devkit {

struct AppTreeShape {
    uint32_t files = 300;
    uint64_t bytes = 4ull << 20;  // about; the spread is scaled to it
    uint64_t largestFile = 1ull << 20;
};

struct AppTreeTotals {
    uint32_t files = 0;
    uint32_t folders = 0;
    uint64_t bytes = 0;
};

// Writes the tree into folder (made when missing; it must not hold a tree already): apps with
// the main application LumTask.exe, lumhelp, manual and sound, each with nested folders. The
// same shape always gives the same names and bytes. Throws sim::DeviceError with one line.
AppTreeTotals WriteAppTree(const std::filesystem::path &folder, const AppTreeShape &shape);

}  // namespace devkit
