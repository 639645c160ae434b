// The boot table of contents as the boot loader reads it from sector 320, byte by byte. It is
// written here on its own, apart from the shell's record, so that each can be checked against the
// other.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "sim/flash_array.h"

namespace devkit {

constexpr uint32_t kTocBlock = 5;
constexpr uint32_t kTocSector = kTocBlock * sim::kSectorsPerBlock;
constexpr uint32_t kTocSignature = 0x434F544E;  // "NTOC"
constexpr uint32_t kEbootVersion = 0x20005;
constexpr size_t kTocImages = 4;

using MacAddress = std::array<uint8_t, 6>;
// The serial's ten characters as digit values, as BootCfg holds them.
using SerialDigits = std::array<uint8_t, 10>;
using SectorRecord = std::array<uint8_t, sim::kSectorRecordSize>;

struct TocSectorInfo {
    uint32_t reserved = 0;
    uint8_t oemFlags = 0;
    uint8_t badBlockMark = 0;
    uint16_t reservedWord = 0;
};

struct TocImage {
    uint32_t version = 0;
    uint32_t signature = 0;
    std::string name;  // the String field's bytes up to its NUL (all 260 when it has none)
    uint32_t imageType = 0;
    uint32_t sectors = 0;
    uint32_t loadAddress = 0;
    uint32_t jumpAddress = 0;
    uint32_t storeOffset = 0;
};

struct TocRecord {
    uint32_t signature = 0;
    uint32_t bootCfgId = 0;
    uint32_t configFlags = 0;
    uint32_t bootDelay = 0;
    MacAddress mac{};
    std::array<uint8_t, 16> serialNumber{};
    std::array<TocImage, kTocImages> images;
    TocSectorInfo sectorInfo;
    bool erased = false;  // every byte of the sector, SectorInfo included, is 0xFF
};

// The record a factory lays down: the shell's defaults with the device's MAC address and serial,
// and the SectorInfo that marks a boot-area sector.
SectorRecord EncodeFactoryToc(const MacAddress &mac, const SerialDigits &serial);
TocRecord DecodeToc(std::span<const uint8_t, sim::kSectorRecordSize> sector);

// TOC_Read's checks, in the order it makes them.
enum class TocCheck { Signature, BootArea, Version };
// The first check the record fails; none when TOC_Read accepts it.
std::optional<TocCheck> TocRefusal(const TocRecord &toc);
const char *TocCheckName(TocCheck check);  // "signature", "boot_area", "version"
// One line with the values found, e.g. "ID[0] version 0x1 is not 0x20005".
std::string TocRefusalReason(TocCheck check, const TocRecord &toc);

// Present when fewer than 16 of the 16 SerialNumber bytes are zero.
bool SerialPresent(const TocRecord &toc);
// The ten characters the system-information file's name carries: each byte value + 0x30.
std::string SerialText(const TocRecord &toc);

// A signature's four bytes in memory order, "." for any that is not printable.
std::string SignatureText(uint32_t signature);
std::string Hex(uint32_t value);             // "0x434F544E"
std::string MacText(const MacAddress &mac);  // "00:11:22:33:44:55"
// Six hex bytes separated by colons, either case; none for anything else.
std::optional<MacAddress> ParseMacAddress(const std::string &text);
// Exactly ten decimal digits; none for anything else.
std::optional<SerialDigits> ParseSerialDigits(const std::string &text);

}  // namespace devkit
