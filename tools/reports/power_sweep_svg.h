// quordev sweep power --svg: the update as a timeline of its flash operations, with what a power
// cut at each of them leaves.
#pragma once

#include <filesystem>
#include <string>

#include "tools/sweeps/power_sweep.h"

namespace qs_tools {

// The x axis is flash time (the operation index when the device has no flash.timing). One row
// per region (boot loader blocks 0-4, TOC block 5, NK from block 6) shows its programs as runs in
// the region's colour and its erases as black marks; one row per outcome shows the verdict at
// the cut, and another the verdict after the second boot; the unbootable windows are shaded red
// across the rows. Every mark's tooltip names its operations.
std::string PowerSweepSvg(const PowerSweep &sweep);

// Writes it through a temporary file and a rename. Throws sim::DeviceError.
void WritePowerSweepSvg(const std::filesystem::path &file, const PowerSweep &sweep);

}  // namespace qs_tools
