// The fault sweep's report as text and as JSON, and read back from its JSON (to merge shards).
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "tools/sweeps/fault_sweep.h"

namespace qs_tools {

// The table, a row per fault point, and the totals, as quordev sweep faults prints them.
std::string FaultSweepText(const FaultSweepReport &report);
// The same as one JSON object (fields in docs/sweeps.md).
nlohmann::ordered_json FaultSweepJson(const FaultSweepReport &report);
nlohmann::ordered_json FaultRowJson(const FaultRow &row);

// What FaultSweepJson wrote, its totals counted again from the rows. Throws sim::DeviceError,
// naming the field, for a document that is not one.
FaultSweepReport FaultSweepFromJson(const nlohmann::json &json);
FaultRow FaultRowFromJson(const nlohmann::json &json);

}  // namespace qs_tools
