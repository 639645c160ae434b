// A .BIN operating-system image read strictly, as the shell's loader places it in RAM: the
// records' bytes at their offsets from 0x80020000, the bytes no record covers filled with 0xFF
// as the loader fills them, and which bytes a record covers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <istream>
#include <vector>

namespace devkit {

constexpr uint32_t kRamImageBase = 0x80020000;
constexpr uint32_t kRamImageBufferSize = 0x2AE0000;
constexpr uint8_t kUncoveredFill = 0xFF;

struct BinRecord {
    uint32_t address = 0;
    uint32_t length = 0;
    uint32_t checksum = 0;
};

struct LoadedBinImage {
    uint32_t start = 0;              // ImageStart of the header
    uint32_t length = 0;             // ImageLen of the header
    uint32_t launch = 0;             // RecLen of the terminating record
    std::vector<BinRecord> records;  // data records, in file order
    std::vector<uint8_t> bytes;      // length bytes; offset 0 stands for kRamImageBase
    uint64_t covered = 0;            // bytes some record placed, each counted once
    // Where the file's terminating record ends: the signature trailer, if any, follows.
    uint64_t RecordsEnd() const;
};

// Reads the header, every record with its checksum, and the terminating record; bytes behind it
// (the signature trailer) are not read. Refuses, with one line that names the record, a wrong
// signature, a file cut short, a checksum that does not match, an image longer than the RAM
// buffer and a record outside the image's ImageLen bytes. Throws sim::DeviceError.
LoadedBinImage ReadBinImage(std::istream &in);
LoadedBinImage ReadBinImageFile(const std::filesystem::path &file);

}  // namespace devkit
