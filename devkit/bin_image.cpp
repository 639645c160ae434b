#include "devkit/bin_image.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <numeric>
#include <stdexcept>

#include "sim/device.h"

namespace devkit {
namespace {

void AppendWord(std::vector<uint8_t> &out, uint32_t word)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<uint8_t>(word >> shift));
}

// Whether each image byte is carried by a record.
std::vector<bool> CarriedBytes(const BinImageLayout &layout)
{
    std::vector<bool> carried(layout.image.size(), true);
    for (const auto &[offset, length] : layout.gaps) {
        if (offset > layout.image.size() || length > layout.image.size() - offset)
            throw std::invalid_argument("gap at offset " + std::to_string(offset) + " of " +
                                        std::to_string(length) + " bytes lies outside the image");
        std::fill_n(carried.begin() + offset, length, false);
    }
    return carried;
}

}  // namespace

uint32_t RecordChecksum(std::span<const uint8_t> data)
{
    return std::accumulate(data.begin(), data.end(), uint32_t{0});
}

std::array<uint8_t, kBinTrailerSize> EncodeBinTrailer(const BinTrailer &trailer)
{
    std::array<uint8_t, kBinTrailerSize> bytes{};
    for (const BinTrailerField &field : kBinTrailerFields) {
        const std::string &text = trailer.*field.value;
        if (text.size() > field.size)
            throw std::invalid_argument(std::string("trailer ") + field.name + " \"" + text +
                                        "\" is longer than " + std::to_string(field.size) +
                                        " bytes");
        std::copy(text.begin(), text.end(), bytes.begin() + long(field.offset));
    }
    return bytes;
}

BinTrailer DecodeBinTrailer(std::span<const uint8_t, kBinTrailerSize> bytes)
{
    BinTrailer trailer;
    for (const BinTrailerField &field : kBinTrailerFields) {
        auto begin = bytes.begin() + long(field.offset);
        trailer.*field.value = std::string(begin, std::find(begin, begin + long(field.size), 0));
    }
    return trailer;
}

std::optional<BinTrailer> ReadBinTrailerAtEnd(const std::filesystem::path &file)
{
    std::array<uint8_t, kBinTrailerSize> bytes{};
    std::ifstream in(file, std::ios::binary);
    if (!in.seekg(-std::streamoff(bytes.size()), std::ios::end) ||
        !in.read(reinterpret_cast<char *>(bytes.data()), bytes.size()))
        return std::nullopt;
    return DecodeBinTrailer(bytes);
}

std::string PrintableField(const std::string &field)
{
    std::string text;
    for (unsigned char c : field) {
        char shown[8];
        std::snprintf(shown, sizeof shown, c < 0x20 || c > 0x7E ? "\\x%02X" : "%c", c);
        text += shown;
    }
    return text;
}

std::string BinTrailerText(const BinTrailer &trailer, size_t fields)
{
    std::string text;
    for (size_t i = 0; i < fields; ++i) {
        const BinTrailerField &field = kBinTrailerFields[i];
        text += (i ? ", " : "") + std::string(field.name) + " \"" +
                PrintableField(trailer.*field.value) + "\"";
    }
    return text;
}

std::vector<uint8_t> EncodeBinImage(const BinImageLayout &layout)
{
    if (layout.recordSize == 0)
        throw std::invalid_argument("record size must be at least 1 byte");
    if (layout.image.size() > uint64_t{UINT32_MAX} + 1 - layout.start)
        throw std::invalid_argument("image passes the end of the 32-bit address space");
    std::vector<bool> carried = CarriedBytes(layout);

    std::vector<uint8_t> out(kBinSignature, kBinSignature + kBinSignatureSize);
    AppendWord(out, layout.start);
    AppendWord(out, static_cast<uint32_t>(layout.image.size()));
    size_t offset = 0;
    while (offset < layout.image.size()) {
        if (!carried[offset]) {
            ++offset;
            continue;
        }
        size_t end = offset;
        while (end < layout.image.size() && carried[end] && end - offset < layout.recordSize)
            ++end;
        std::span<const uint8_t> data(layout.image.data() + offset, end - offset);
        if (layout.start + offset == 0 && RecordChecksum(data) == 0)
            throw std::invalid_argument("a record at address 0 summing to 0 reads as the end");
        AppendWord(out, layout.start + static_cast<uint32_t>(offset));
        AppendWord(out, static_cast<uint32_t>(data.size()));
        AppendWord(out, RecordChecksum(data));
        out.insert(out.end(), data.begin(), data.end());
        offset = end;
    }
    AppendWord(out, 0);
    AppendWord(out, layout.launch);
    AppendWord(out, 0);
    if (layout.trailer) {
        auto trailer = EncodeBinTrailer(*layout.trailer);
        out.insert(out.end(), trailer.begin(), trailer.end());
    }
    return out;
}

void WriteBinImage(const std::filesystem::path &file, const BinImageLayout &layout)
{
    std::vector<uint8_t> bytes = EncodeBinImage(layout);
    sim::WriteFileAtomically(file, std::string(bytes.begin(), bytes.end()));
}

}  // namespace devkit
