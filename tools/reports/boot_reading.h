// What the boot loader makes of a device folder's flash, for the flash map's title: the image it
// starts or why none, from the flash and the update waiting in the update folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "devkit/device_view.h"
#include "tools/reports/flash_verdict.h"

namespace qs_tools {

struct BootReading {
    FlashJudgement judgement;
    std::string verdict;               // "boots ..." or "is unbootable: ...", after the device
    std::vector<std::string> notes;    // lines under it: the update waiting, a caution
    std::vector<uint32_t> factoryBad;  // flash.bad of the device's description
};

// The flash judged against the images it holds itself (the boot loader as it reads, the NK image
// that ID[3] records) and against the update waiting: the first tells whether the boot loader
// gets as far as an image, the second names it when it is the waiting one (an update cut short
// leaves its package in place). Throws sim::DeviceError as devkit::ViewDevice does.
BootReading ReadBoot(const std::filesystem::path &device, const devkit::FlashView &flash);

// The erased blocks among first to last, in order.
std::vector<uint32_t> ErasedBlocks(const devkit::FlashView &flash, uint32_t first, uint32_t last);

}  // namespace qs_tools
