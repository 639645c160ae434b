// quordev sweep power's output: one row per cut and a summary as text, or one JSON object.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "tools/sweeps/power_sweep.h"

namespace qs_tools {

std::string PowerSweepText(const PowerSweep &sweep);
nlohmann::ordered_json PowerSweepJson(const PowerSweep &sweep);
// No cut left the device dead, no second boot left it unbootable, and no cut lost data.
bool PowerSweepHolds(const PowerSweep &sweep);

}  // namespace qs_tools
