// The least work an update boot of an image can cost on this machine: read the .bin once, in the
// 128 KiB pieces the shell reads, into a fresh buffer as large as the shell's RAM image buffer,
// and touch as many fresh bytes as the boot programs into the flash (its sectors with their
// records). Prints the milliseconds, the median of RUNS.
// Usage: boot_floor FILE PROGRAMMED_SECTORS [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "osupdate/OSUPDATE.h"
#include "sim/flash_array.h"

namespace {

constexpr size_t kPiece = 128 * 1024;

double OnceMs(const char *file, size_t flashBytes)
{
    const auto start = std::chrono::steady_clock::now();
    // Fresh memory each run, as the boot's process has: new pages, faulted in as they are touched.
    std::unique_ptr<char[]> buffer(new char[RAM_IMAGE_BUFFER_SIZE]);
    std::ifstream in(file, std::ios::binary);
    size_t at = 0;
    while (in && at + kPiece <= RAM_IMAGE_BUFFER_SIZE) {
        in.read(buffer.get() + at, kPiece);
        at += static_cast<size_t>(in.gcount());
    }
    std::unique_ptr<char[]> flash(new char[flashBytes]);
    std::memset(flash.get(), 0xFF, flashBytes);
    // Keeps the work from being optimised away.
    volatile char seen = buffer[at / 2] ^ flash[flashBytes / 2];
    (void)seen;
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: boot_floor FILE PROGRAMMED_SECTORS [RUNS]\n");
        return 2;
    }
    const size_t flashBytes = std::strtoull(argv[2], nullptr, 10) * sim::kSectorRecordSize + 1;
    const int runs = argc == 4 ? std::max(1, std::atoi(argv[3])) : 7;
    if (!std::ifstream(argv[1])) {
        std::fprintf(stderr, "boot_floor: %s cannot be read\n", argv[1]);
        return 1;
    }
    std::vector<double> times;
    for (int run = 0; run < runs; ++run)
        times.push_back(OnceMs(argv[1], flashBytes));
    std::sort(times.begin(), times.end());
    std::fprintf(stdout, "%.1f\n", times[times.size() / 2]);
    return 0;
}
