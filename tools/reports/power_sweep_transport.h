// A power-cut sweep whole as JSON and back: what a sweep worker hands over of each cut, and what a
// shard of a sweep spread over hosts carries for quordev sweep merge to rebuild the whole sweep.
#pragma once

#include <nlohmann/json.hpp>

#include "tools/sweeps/power_sweep.h"

namespace qs_tools {

NLOHMANN_JSON_SERIALIZE_ENUM(ImageMatch, {{ImageMatch::Old, "old"},
                                          {ImageMatch::New, "new"},
                                          {ImageMatch::Neither, "neither"}})
NLOHMANN_JSON_SERIALIZE_ENUM(Verdict, {{Verdict::Old, "old"},
                                       {Verdict::New, "new"},
                                       {Verdict::Unbootable, "unbootable"}})
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(FlashJudgement, stepLoaderChecksumOk, bootLoader, tocAccepted,
                                   nk, verdict)
NLOHMANN_JSON_SERIALIZE_ENUM(AppsMatch, {{AppsMatch::Previous, "previous"},
                                         {AppsMatch::New, "new"},
                                         {AppsMatch::Neither, "neither"}})
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(FileLoss, what, how)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(FilesJudgement, apps, systemInfoWhole, lost)

// What a cut found: the judgements at the cut and after the second boot (its losses and its
// point are the sweep's to add).
nlohmann::json CutFindingsJson(const CutResult &cut);
// Those findings into a cut at the point and with the outcome given.
CutResult CutFromFindings(const PowerSweep &sweep, uint64_t index, sim::PowerCutOutcome outcome,
                          const nlohmann::json &findings);

// Everything the sweep holds, its cuts included; FromJson throws sim::DeviceError with one line
// for a document that is not one.
nlohmann::json PowerSweepTransport(const PowerSweep &sweep);
PowerSweep PowerSweepFromTransport(const nlohmann::json &json);

}  // namespace qs_tools
