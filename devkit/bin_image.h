// Builds a Windows CE .BIN record file from a raw image, with the signature trailer that the
// update check reads behind it.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace devkit {

inline constexpr char kBinSignature[] = "B000FF\n";
inline constexpr size_t kBinSignatureSize = 7;
inline constexpr size_t kBinTrailerSize = 30;

// The trailer's four ASCII fields; each is zero-padded to its size (company 4, product 10,
// version 6, language 4) and may not be longer. The defaults are the device's.
struct BinTrailer {
    std::string company = "QUOR";
    std::string product = "K275D";
    std::string version = "000001";
    std::string language = "ENG";
};

// Where each field lies in the 30 bytes; the bytes between them are zero.
struct BinTrailerField {
    const char *name;  // "company"
    size_t offset;
    size_t size;
    std::string BinTrailer::*value;
};
inline constexpr BinTrailerField kBinTrailerFields[] = {
    {"company", 0, 4, &BinTrailer::company},
    {"product", 5, 10, &BinTrailer::product},
    {"version", 16, 6, &BinTrailer::version},
    {"language", 23, 4, &BinTrailer::language},
};

struct BinImageLayout {
    uint32_t start = 0x80020000;    // address of image[0]; also the header's ImageStart
    std::vector<uint8_t> image;     // the header's ImageLen is its size
    uint32_t recordSize = 0x10000;  // the image is cut into records of at most this many bytes
    // (offset, length) runs of the image that no record carries.
    std::vector<std::pair<uint32_t, uint32_t>> gaps;
    uint32_t launch = 0x80021000;  // the terminating record's launch address
    std::optional<BinTrailer> trailer = BinTrailer{};
};

// The byte sum that a record carries as its checksum, modulo 2^32.
uint32_t RecordChecksum(std::span<const uint8_t> data);

// The 30 trailer bytes; the bytes between the fields are zero. Throws std::invalid_argument for a
// field longer than its size.
std::array<uint8_t, kBinTrailerSize> EncodeBinTrailer(const BinTrailer &trailer);
// The fields of 30 trailer bytes, each up to its first zero byte.
BinTrailer DecodeBinTrailer(std::span<const uint8_t, kBinTrailerSize> bytes);

// The fields of a file's last 30 bytes, where the shell's update check reads a trailer; none when
// the file is shorter or cannot be read.
std::optional<BinTrailer> ReadBinTrailerAtEnd(const std::filesystem::path &file);

// A field with each byte that is no printable ASCII as \xNN.
std::string PrintableField(const std::string &field);
// The first fields of a trailer as a person reads them, each quoted and printable:
// company "ACME", product "K275D", version "000001", language "ENG".
std::string BinTrailerText(const BinTrailer &trailer, size_t fields = std::size(kBinTrailerFields));

// Signature, header, the records in address order, the terminating record, then the trailer.
// Throws std::invalid_argument for a record size of 0, a gap outside the image, an image whose
// end passes 2^32, or a record at address 0 whose bytes sum to 0 (it would read as the end).
std::vector<uint8_t> EncodeBinImage(const BinImageLayout &layout);

// Writes the encoded file through a temporary beside it and a rename.
void WriteBinImage(const std::filesystem::path &file, const BinImageLayout &layout);

}  // namespace devkit
