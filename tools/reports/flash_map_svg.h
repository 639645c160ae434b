// quordev inspect --svg: the flash as a picture, one cell per block, for a person to look at.
#pragma once

#include <filesystem>
#include <string>

#include "devkit/device_view.h"
#include "tools/reports/boot_reading.h"

namespace qs_tools {

// An SVG of the flash under the verdict as its title: each block a cell, filled by region
// (StepLoader, EBoot, TOC, NK) in colours whose lightness steps apart so that they stay distinct
// in grey, pale when erased, crossed when bad (white on dark when factory-bad, red on pale when
// grown-bad), dashed when reserved, and dotted when the boot loader loads it on its way to the
// image; each cell's tooltip says what the block holds. A legend names every mark. Readable
// from 7 to 4096 blocks.
std::string FlashMapSvg(const std::string &device, const devkit::FlashView &flash,
                        const BootReading &reading);

// Writes the picture of the device folder's flash to file through a temporary file and a
// rename. Throws sim::DeviceError when the device's flash was never written or the file cannot be
// written.
void WriteFlashMap(const std::filesystem::path &file, const std::filesystem::path &device,
                   const devkit::DeviceView &view);

}  // namespace qs_tools
