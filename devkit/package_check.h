// What the next boot will make of an update package, told before it is placed: the refusals the
// shell's own checks would reach at boot, which consume the package, and what it will write.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "devkit/update_package.h"

namespace devkit {

struct PackageForecast {
    // One line each, naming the file: "nk.bin: no signature trailer behind the last record".
    std::vector<std::string> refusals;
    std::vector<uint32_t> nkBlocks;  // the blocks the image will be written to, in order
    bool bootLoader = false;         // the boot loader will be written to blocks 0-4
    // The erases and programs of those writes and the TOC's, with the time the device's
    // flash.timing gives them (none when it gives none). The boot's reads come on top.
    uint64_t erases = 0;
    uint64_t programs = 0;
    std::optional<uint64_t> flashUs;
};

// Reads the .BIN with the loader's reader (its records, their checksums, the RAM buffer window)
// and its trailer against the device's company and product; the .nb0's size; blocks 1-4 for a
// boot loader; the image's fit on the good blocks from 6 on; and the key against the images
// already waiting, of which the shell takes the one with the greatest six characters behind the
// underscore; and, when nothing is refused, the flash writes of the next boot. Throws
// sim::DeviceError for a device folder it cannot read.
PackageForecast ForecastPackage(const std::filesystem::path &deviceFolder,
                                const PackageFiles &files);

}  // namespace devkit
