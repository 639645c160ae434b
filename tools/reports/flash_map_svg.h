// quordev inspect --svg: the flash as a picture, one cell per block, for a person to look at.
#pragma once

#include <filesystem>
#include <string>

#include "devkit/device_view.h"

namespace qs_tools {

// An SVG of the flash: each block a cell, coloured by its region (StepLoader, EBoot, TOC, NK)
// and state (written, erased, bad), reserved blocks outlined with dashes, the blocks that the
// boot loader would load outlined in black; each cell's tooltip says all of it. Readable from
// 7 to 4096 blocks.
std::string FlashMapSvg(const std::string &title, const devkit::FlashView &flash);

// Writes the picture to file through a temporary file and a rename. Throws sim::DeviceError
// when the device's flash was never written or the file cannot be written.
void WriteFlashMap(const std::filesystem::path &file, const std::string &title,
                   const devkit::DeviceView &view);

}  // namespace qs_tools
