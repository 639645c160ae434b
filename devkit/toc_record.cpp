#include "devkit/toc_record.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace devkit {

namespace {

// Offsets in the 2048-byte record; every word is little-endian.
constexpr size_t kSignatureAt = 0;
constexpr size_t kBootCfgAt = 4;
constexpr size_t kBootCfgIdAt = kBootCfgAt + 0;
constexpr size_t kConfigFlagsAt = kBootCfgAt + 4;
constexpr size_t kBootDelayAt = kBootCfgAt + 24;
constexpr size_t kMacAt = kBootCfgAt + 32;
constexpr size_t kSerialNumberAt = kBootCfgAt + 44;
constexpr size_t kSerialDigitsAt = kBootCfgAt + 50;  // the last ten SerialNumber bytes
// Boot-loader words that carry only their defaults.
constexpr size_t kLoaderWordsAt[] = {kBootCfgAt + 76, kBootCfgAt + 84, kBootCfgAt + 88};

constexpr size_t kImagesAt = 244;
constexpr size_t kImageSize = 400;
constexpr size_t kVersionIn = 0;
constexpr size_t kImageSignatureIn = 4;
constexpr size_t kStringIn = 8;
constexpr size_t kStringSize = 260;
constexpr size_t kImageTypeIn = 268;
constexpr size_t kSectorsIn = 272;
constexpr size_t kLoadAddressIn = 276;
constexpr size_t kJumpAddressIn = 280;
constexpr size_t kStoreOffsetIn = 396;

// SectorInfo, after the sector's data.
constexpr size_t kInfoAt = sim::kSectorDataSize;
constexpr size_t kInfoReservedAt = kInfoAt + 0;
constexpr size_t kOemFlagsAt = kInfoAt + 4;
constexpr size_t kBadBlockMarkAt = kInfoAt + 5;
constexpr size_t kInfoReservedWordAt = kInfoAt + 6;

void PutWord(SectorRecord &bytes, size_t at, uint32_t value)
{
    for (size_t i = 0; i < 4; ++i)
        bytes[at + i] = uint8_t(value >> (8 * i));
}

void PutHalf(SectorRecord &bytes, size_t at, uint16_t value)
{
    bytes[at] = uint8_t(value);
    bytes[at + 1] = uint8_t(value >> 8);
}

uint32_t Word(std::span<const uint8_t> bytes, size_t at)
{
    return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
           uint32_t(bytes[at + 3]) << 24;
}

struct FactoryImage {
    size_t index;
    uint32_t version;
    uint32_t signature;
    const char *name;
    uint32_t imageType;
    uint32_t sectors;
    uint32_t address;  // load and jump alike
    uint32_t storeOffset;
};

constexpr FactoryImage kFactoryImages[] = {
    {0, kEbootVersion, 0x544F4245 /* "EBOT" */, "eboot.bin", 1, 0x100, 0x87700000, 1},
    {3, 1, 0x48534643 /* "CFSH" */, "nk.bin", 8, 0x6000, 0x80020000, 0},
};

void PutImage(SectorRecord &bytes, const FactoryImage &image)
{
    size_t at = kImagesAt + image.index * kImageSize;
    PutWord(bytes, at + kVersionIn, image.version);
    PutWord(bytes, at + kImageSignatureIn, image.signature);
    std::memcpy(&bytes[at + kStringIn], image.name, std::strlen(image.name) + 1);
    PutWord(bytes, at + kImageTypeIn, image.imageType);
    PutWord(bytes, at + kSectorsIn, image.sectors);
    PutWord(bytes, at + kLoadAddressIn, image.address);
    PutWord(bytes, at + kJumpAddressIn, image.address);
    PutWord(bytes, at + kStoreOffsetIn, image.storeOffset);
}

TocImage DecodeImage(std::span<const uint8_t> bytes, size_t index)
{
    size_t at = kImagesAt + index * kImageSize;
    auto string = bytes.subspan(at + kStringIn, kStringSize);
    TocImage image;
    image.version = Word(bytes, at + kVersionIn);
    image.signature = Word(bytes, at + kImageSignatureIn);
    image.name.assign(string.begin(), std::find(string.begin(), string.end(), 0));
    image.imageType = Word(bytes, at + kImageTypeIn);
    image.sectors = Word(bytes, at + kSectorsIn);
    image.loadAddress = Word(bytes, at + kLoadAddressIn);
    image.jumpAddress = Word(bytes, at + kJumpAddressIn);
    image.storeOffset = Word(bytes, at + kStoreOffsetIn);
    return image;
}

std::optional<uint8_t> HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return uint8_t(c - '0');
    if (c >= 'a' && c <= 'f')
        return uint8_t(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return uint8_t(c - 'A' + 10);
    return std::nullopt;
}

}  // namespace

SectorRecord EncodeFactoryToc(const MacAddress &mac, const SerialDigits &serial)
{
    SectorRecord bytes{};
    PutWord(bytes, kSignatureAt, kTocSignature);
    PutWord(bytes, kBootCfgIdAt, 0x07020317);
    PutWord(bytes, kConfigFlagsAt, 0x2020);
    PutWord(bytes, kBootDelayAt, 5);
    for (size_t at : kLoaderWordsAt)
        PutWord(bytes, at, 1);
    std::copy(mac.begin(), mac.end(), bytes.begin() + kMacAt);
    std::copy(serial.begin(), serial.end(), bytes.begin() + kSerialDigitsAt);
    for (const FactoryImage &image : kFactoryImages)
        PutImage(bytes, image);
    // A boot-area sector (bit 0 of the OEM flags clear) in a good block.
    PutWord(bytes, kInfoReservedAt, 0xFFFFFFFF);
    bytes[kOemFlagsAt] = 0xFE;
    bytes[kBadBlockMarkAt] = 0xFF;
    PutHalf(bytes, kInfoReservedWordAt, 0xFFFF);
    return bytes;
}

TocRecord DecodeToc(std::span<const uint8_t, sim::kSectorRecordSize> sector)
{
    TocRecord toc;
    toc.signature = Word(sector, kSignatureAt);
    toc.bootCfgId = Word(sector, kBootCfgIdAt);
    toc.configFlags = Word(sector, kConfigFlagsAt);
    toc.bootDelay = Word(sector, kBootDelayAt);
    std::copy_n(sector.begin() + kMacAt, toc.mac.size(), toc.mac.begin());
    std::copy_n(sector.begin() + kSerialNumberAt, toc.serialNumber.size(),
                toc.serialNumber.begin());
    for (size_t index = 0; index < kTocImages; ++index)
        toc.images[index] = DecodeImage(sector, index);
    toc.sectorInfo.reserved = Word(sector, kInfoReservedAt);
    toc.sectorInfo.oemFlags = sector[kOemFlagsAt];
    toc.sectorInfo.badBlockMark = sector[kBadBlockMarkAt];
    toc.sectorInfo.reservedWord =
        uint16_t(sector[kInfoReservedWordAt] | sector[kInfoReservedWordAt + 1] << 8);
    toc.erased = sim::AllErased(sector);
    return toc;
}

std::optional<TocCheck> TocRefusal(const TocRecord &toc)
{
    if (toc.signature != kTocSignature)
        return TocCheck::Signature;
    if (toc.sectorInfo.oemFlags & 0x01)
        return TocCheck::BootArea;
    if (toc.images[0].version != kEbootVersion)
        return TocCheck::Version;
    return std::nullopt;
}

const char *TocCheckName(TocCheck check)
{
    switch (check) {
        case TocCheck::Signature:
            return "signature";
        case TocCheck::BootArea:
            return "boot_area";
        case TocCheck::Version:
            return "version";
    }
    return "";
}

std::string TocRefusalReason(TocCheck check, const TocRecord &toc)
{
    switch (check) {
        case TocCheck::Signature:
            return "signature " + Hex(toc.signature) + " is not " + Hex(kTocSignature) +
                   " \"NTOC\"";
        case TocCheck::BootArea: {
            char info[64];
            std::snprintf(info, sizeof info, "%08X %02X %02X %04X", toc.sectorInfo.reserved,
                          toc.sectorInfo.oemFlags, toc.sectorInfo.badBlockMark,
                          toc.sectorInfo.reservedWord);
            return std::string("SectorInfo ") + info +
                   ": bit 0 of the OEM flags is set, so the sector is not boot area";
        }
        case TocCheck::Version:
            return "ID[0] version " + Hex(toc.images[0].version) + " is not " + Hex(kEbootVersion);
    }
    return "";
}

bool SerialPresent(const TocRecord &toc)
{
    return std::count(toc.serialNumber.begin(), toc.serialNumber.end(), 0) < 16;
}

std::string SerialText(const TocRecord &toc)
{
    std::string text;
    for (size_t i = kSerialDigitsAt - kSerialNumberAt; i < toc.serialNumber.size(); ++i)
        text += char(toc.serialNumber[i] + 0x30);
    return text;
}

std::string SignatureText(uint32_t signature)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = char(signature >> (8 * i));
        text += c >= 0x20 && c < 0x7F ? c : '.';
    }
    return text;
}

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

std::string MacText(const MacAddress &mac)
{
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

std::optional<MacAddress> ParseMacAddress(const std::string &text)
{
    MacAddress mac{};
    if (text.size() != 17)
        return std::nullopt;
    for (size_t i = 0; i < mac.size(); ++i) {
        std::optional<uint8_t> high = HexDigit(text[3 * i]), low = HexDigit(text[3 * i + 1]);
        if (!high || !low || (i < 5 && text[3 * i + 2] != ':'))
            return std::nullopt;
        mac[i] = uint8_t(*high << 4 | *low);
    }
    return mac;
}

std::optional<SerialDigits> ParseSerialDigits(const std::string &text)
{
    SerialDigits digits{};
    if (text.size() != digits.size())
        return std::nullopt;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        digits[i] = uint8_t(text[i] - '0');
    }
    return digits;
}

}  // namespace devkit
