#include "devkit/bin_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <numeric>

#include "devkit/path_checks.h"
#include "devkit/toc_record.h"
#include "sim/error.h"

namespace devkit {

namespace {

constexpr std::array<char, 7> kBinMagic = {'B', '0', '0', '0', 'F', 'F', '\n'};

[[noreturn]] void Refuse(const std::string &reason)
{
    throw sim::DeviceError(reason);
}

void ReadExactly(std::istream &in, void *into, size_t count, const std::string &what)
{
    in.read(static_cast<char *>(into), std::streamsize(count));
    if (size_t(in.gcount()) != count)
        Refuse("the file ends inside " + what);
}

uint32_t ReadU32(std::istream &in, const std::string &what)
{
    std::array<uint8_t, 4> bytes{};
    ReadExactly(in, bytes.data(), bytes.size(), what);
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
}

std::string RecordName(size_t number, uint32_t address)
{
    return "record " + std::to_string(number) + " at " + Hex(address);
}

// The bytes the records place, where they overlap counted once.
uint64_t UnionLength(std::vector<std::pair<uint64_t, uint64_t>> spans)
{
    std::sort(spans.begin(), spans.end());
    uint64_t total = 0, reached = 0;
    for (auto [begin, end] : spans) {
        begin = std::max(begin, reached);
        if (end > begin) {
            total += end - begin;
            reached = end;
        }
    }
    return total;
}

}  // namespace

LoadedBinImage ReadBinImage(std::istream &in)
{
    std::array<char, 7> signature{};
    in.read(signature.data(), signature.size());
    if (size_t(in.gcount()) != signature.size() || signature != kBinMagic)
        Refuse("not a .BIN file: it does not begin with \"B000FF\\n\"");
    LoadedBinImage image;
    image.start = ReadU32(in, "the header");
    image.length = ReadU32(in, "the header");
    if (image.length == 0)
        Refuse("the header's image length is 0");
    if (image.length > kRamImageBufferSize)
        Refuse("the header's image length " + Hex(image.length) + " exceeds the RAM buffer's " +
               Hex(kRamImageBufferSize));
    image.bytes.assign(image.length, kUncoveredFill);
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    for (size_t number = 1;; ++number) {
        const std::string header = "the header of record " + std::to_string(number);
        BinRecord record;
        record.address = ReadU32(in, header);
        record.length = ReadU32(in, header);
        record.checksum = ReadU32(in, header);
        if (record.address == 0 && record.checksum == 0) {
            image.launch = record.length;
            image.covered = UnionLength(std::move(spans));
            return image;
        }
        const std::string name = RecordName(number, record.address);
        uint64_t offset = uint64_t(record.address) - kRamImageBase;
        if (record.address < kRamImageBase || offset + record.length > image.length)
            Refuse(name + " length " + Hex(record.length) + " lies outside the image " +
                   Hex(kRamImageBase) + ".." + Hex(uint32_t(kRamImageBase + image.length - 1)));
        uint8_t *into = image.bytes.data() + offset;
        ReadExactly(in, into, record.length, name);
        uint32_t sum = std::accumulate(into, into + record.length, uint32_t(0));
        if (sum != record.checksum)
            Refuse(name + " has checksum " + Hex(record.checksum) + " but its bytes sum to " +
                   Hex(sum));
        spans.push_back({offset, offset + record.length});
        image.records.push_back(record);
    }
}

uint64_t LoadedBinImage::RecordsEnd() const
{
    // The signature, the header's two words, each record's three-word head and bytes, and the
    // terminating record's head.
    uint64_t end = kBinMagic.size() + 8 + 12;
    for (const BinRecord &record : records)
        end += 12 + uint64_t(record.length);
    return end;
}

LoadedBinImage ReadBinImageFile(const std::filesystem::path &file)
{
    RequireInputFile(file);
    std::ifstream in(file, std::ios::binary);
    if (!in)
        Refuse(file.string() + ": cannot be read");
    try {
        return ReadBinImage(in);
    } catch (const sim::DeviceError &error) {
        Refuse(file.string() + ": " + error.what());
    }
}

}  // namespace devkit
