#include "devkit/bin_image.h"

#include <algorithm>
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

void PlaceField(std::array<uint8_t, kBinTrailerSize> &trailer, size_t offset, size_t size,
                const std::string &text, const char *name)
{
    if (text.size() > size)
        throw std::invalid_argument(std::string("trailer ") + name + " \"" + text +
                                    "\" is longer than " + std::to_string(size) + " bytes");
    std::copy(text.begin(), text.end(), trailer.begin() + offset);
}

// Whether each image byte is carried by a record.
std::vector<bool> CarriedBytes(const BinImageSpec &spec)
{
    std::vector<bool> carried(spec.image.size(), true);
    for (const auto &[offset, length] : spec.gaps) {
        if (offset > spec.image.size() || length > spec.image.size() - offset)
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
    PlaceField(bytes, 0, 4, trailer.company, "company");
    PlaceField(bytes, 5, 10, trailer.product, "product");
    PlaceField(bytes, 16, 6, trailer.version, "version");
    PlaceField(bytes, 23, 4, trailer.language, "language");
    return bytes;
}

std::vector<uint8_t> EncodeBinImage(const BinImageSpec &spec)
{
    if (spec.recordSize == 0)
        throw std::invalid_argument("record size must be at least 1 byte");
    if (spec.image.size() > uint64_t{UINT32_MAX} + 1 - spec.start)
        throw std::invalid_argument("image passes the end of the 32-bit address space");
    std::vector<bool> carried = CarriedBytes(spec);

    std::vector<uint8_t> out(kBinSignature, kBinSignature + kBinSignatureSize);
    AppendWord(out, spec.start);
    AppendWord(out, static_cast<uint32_t>(spec.image.size()));
    size_t offset = 0;
    while (offset < spec.image.size()) {
        if (!carried[offset]) {
            ++offset;
            continue;
        }
        size_t end = offset;
        while (end < spec.image.size() && carried[end] && end - offset < spec.recordSize)
            ++end;
        std::span<const uint8_t> data(spec.image.data() + offset, end - offset);
        if (spec.start + offset == 0 && RecordChecksum(data) == 0)
            throw std::invalid_argument("a record at address 0 summing to 0 reads as the end");
        AppendWord(out, spec.start + static_cast<uint32_t>(offset));
        AppendWord(out, static_cast<uint32_t>(data.size()));
        AppendWord(out, RecordChecksum(data));
        out.insert(out.end(), data.begin(), data.end());
        offset = end;
    }
    AppendWord(out, 0);
    AppendWord(out, spec.launch);
    AppendWord(out, 0);
    if (spec.trailer) {
        auto trailer = EncodeBinTrailer(*spec.trailer);
        out.insert(out.end(), trailer.begin(), trailer.end());
    }
    return out;
}

void WriteBinImage(const std::filesystem::path &file, const BinImageSpec &spec)
{
    std::vector<uint8_t> bytes = EncodeBinImage(spec);
    sim::WriteFileAtomically(file, std::string(bytes.begin(), bytes.end()));
}

}  // namespace devkit
