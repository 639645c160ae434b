// A factory-fresh device folder: its description, the flash disk, the programs and the cues.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "devkit/toc_record.h"
#include "devkit/update_signing.h"
#include "sim/config.h"
#include "sim/flash_array.h"

namespace devkit {

constexpr uint32_t kMinBlocks = sim::kMinFlashBlocks;
constexpr uint32_t kMaxBlocks = sim::kMaxFlashBlocks;

// flash.timing of a new device, from the AC and program/erase characteristics that datasheets of
// 1 Gbit, 3.3 V SLC NAND parts with 2 KiB pages and 64-page blocks give: tR (cell to register,
// given as a maximum only) 25 us, tPROG 200 us typical, tBERS 1.5 ms typical. The page's transfer
// over the bus is not in them.
constexpr sim::FlashTiming kTypicalFlashTiming{
    .pageReadUs = 25, .pageProgramUs = 200, .blockEraseUs = 1500};

struct DeviceOptions {
    uint8_t bootKey = 0;                     // power.boot_key: 16 starts the function-test program
    bool force = false;                      // replace a device already in the folder
    uint32_t blocks = 512;                   // flash.blocks
    std::vector<uint32_t> bad{};             // flash.bad: factory-bad blocks, marked in nand.bin
    std::optional<SerialDigits> serial{};    // none: power.serial, zero-padded to ten digits
    std::optional<MacAddress> mac{};         // none: kDefaultMac
    std::optional<uint64_t> binfsSectors{};  // store.partitions[0].sectors; none: 21952
    std::optional<PublicKey> updateKey{};    // \windows\update.key, read-only: signed updates
};

// Ten zero digits leave all sixteen serial bytes of the TOC zero: the serial is not present.
constexpr SerialDigits kNoSerial{};

// The factory serial as init takes it: ten decimal digits, or "none" for kNoSerial; nothing for
// anything else.
std::optional<SerialDigits> ParseFactorySerial(const std::string &text);
// "0020240315", or "none" for kNoSerial.
std::string FactorySerialText(const SerialDigits &serial);
// A partition's sector count in decimal digits, 0 to 18446744073709551615; nothing for anything
// else (a sign, a blank, hexadecimal, a larger number).
std::optional<uint64_t> ParseSectorCount(const std::string &text);

// Locally administered, so that it can never be some real adapter's address.
constexpr MacAddress kDefaultMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

// What is wrong with a block count or a list of bad blocks; none when they make a flash.
std::optional<std::string> BlockCountProblem(uint32_t blocks);
std::optional<std::string> BadBlocksProblem(const std::vector<uint32_t> &bad, uint32_t blocks);

struct FactoryCue {
    const char *fileName;  // in the device's windows folder
    uint32_t frequencyHz;
    uint32_t durationMs;
};
// The cues of a fresh device, each of its own pitch and length so that they tell apart.
std::span<const FactoryCue> FactoryCues();

inline constexpr const char *kMainApplication = "\\NAND\\APPS\\LumTask.exe";
inline constexpr const char *kFunctionTestProgram = "\\windows\\K290DFunctionTest.exe";

struct CreatedDevice {
    bool replaced = false;             // a device was there before
    std::vector<std::string> entries;  // what was laid down, relative to the folder
    SerialDigits serial{};             // in the factory TOC
    MacAddress mac{};
    bool tocWritten = false;  // false when block 5 is factory-bad
};

// Lays down a fresh device in folder, which must be missing or empty, or hold a device that
// force allows to replace: device.json, root/, and nand.bin erased but for the factory-bad marks
// and the factory TOC in sector 320 (none when block 5 is bad). The folder is built beside the
// destination and moved into place whole. Throws sim::DeviceError with a one-line reason.
CreatedDevice CreateDevice(const std::filesystem::path &folder, const DeviceOptions &options);

// The factory TOC's serial when none is given: power.serial as ten digits, zero-padded.
SerialDigits DefaultSerial(int64_t powerSerial);

}  // namespace devkit
