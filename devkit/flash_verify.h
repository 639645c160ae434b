// Checks that a device's flash holds given images where the boot loader reads them and that the
// TOC records the NK image as the shell's writer does.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "devkit/bin_reader.h"
#include "devkit/boot_loader_view.h"

namespace devkit {

struct FlashDifference {
    std::string part;  // "StepLoader", "EBoot" or "NK"
    FlashPlace place;
    uint8_t flash = 0;
    uint8_t image = 0;
};

struct VerifyReport {
    std::vector<std::string> passed;  // one line per check that held, in flash order
    // The first check that failed, e.g. "NK block 7 sector 12 byte 0x1F3 differs: flash 0x00,
    // image 0x5A"; the checks after it are not made.
    std::optional<std::string> failure;
    std::optional<FlashDifference> difference;  // when the failure is a byte
    uint64_t nkBytesCompared = 0;
    // Of those, the bytes that no record covers, compared with the loader's fill.
    uint64_t nkBytesFilled = 0;
    bool Ok() const { return !failure; }
};

// In flash order: the StepLoader (sectors 0-7 of block 0, with the checksum word) and the four
// EBoot blocks when an .nb0 is given, then the TOC, ID[3]'s fields, and every byte of the NK
// image. Throws sim::DeviceError when the .nb0 is not exactly 0x84000 bytes.
VerifyReport VerifyFlash(sim::FlashDriver &driver, const LoadedBinImage &nk,
                         std::optional<std::span<const uint8_t>> nb0);

// The same on a device folder's nand.bin. Throws sim::DeviceError with one line when the folder,
// its flash or an image file is unusable.
VerifyReport VerifyDevice(const std::filesystem::path &folder, const std::filesystem::path &nkBin,
                          const std::optional<std::filesystem::path> &nb0);

}  // namespace devkit
