// A device folder as the boot loader and a firmware engineer see it: the TOC and the state of
// every block. Looking changes nothing in the folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "devkit/boot_loader_view.h"
#include "devkit/toc_record.h"
#include "sim/flash_driver.h"

namespace devkit {

enum class FlashRegion { StepLoader, EBoot, Toc, Nk };
FlashRegion RegionOf(uint32_t block);
const char *RegionName(FlashRegion region);  // "steploader", "eboot", "toc", "nk"

// Neighbouring blocks of one region that share their status word and content.
struct BlockRun {
    uint32_t first = 0;
    uint32_t last = 0;
    FlashRegion region = FlashRegion::Nk;
    uint32_t status = 0;  // as IOCTL_FMD_GET_BLOCK_STATUS answers, without faults
    bool erased = false;  // every byte of the block, SectorInfo included, is 0xFF
};

struct FlashView {
    uint32_t blocks = 0;
    std::vector<uint32_t> bad;  // blocks whose status says bad
    std::vector<BlockRun> map;
    std::optional<TocRecord> toc;  // none when the flash is too small to hold block 5
    BootLoaderView bootLoader;
};

struct DeviceView {
    std::optional<FlashView> flash;  // none when nand.bin was never written
};

// The words of a block's state, in this order: "bad", "read-only", "reserved", then "erased" or
// "written".
std::vector<std::string> StateWords(const BlockRun &run);

// Runs of neighbouring block numbers, in order: "0-4, 6, 8-10".
std::string BlockRanges(const std::vector<uint32_t> &blocks);

// The words with the separator between them: "a, b, c".
std::string Joined(const std::vector<std::string> &words, const char *separator);

// Reads device.json, state.json and nand.bin. A missing folder or device.json, an unusable
// description or state, or a nand.bin of the wrong size throws sim::DeviceError.
DeviceView ViewDevice(const std::filesystem::path &folder);

// The driver of a device folder's nand.bin, read as the boot loader would; none when nand.bin
// was never written. Throws as ViewDevice does.
std::unique_ptr<sim::FlashDriver> OpenDeviceFlash(const std::filesystem::path &folder);

}  // namespace devkit
