// quordev sweep: boots of one device folder repeated with one thing going wrong in each.
#pragma once

#include <CLI/CLI.hpp>

#include "tools/cli/quordev_commands.h"
#include "tools/sweeps/fault_sweep.h"
#include "tools/sweeps/power_sweep.h"
#include "tools/sweeps/sweep_progress.h"

namespace qs_tools {

// A sweep that ran and found an invariant broken.
constexpr int kExitBreaches = 3;
// A sweep that ran, broke no invariant, and found a fault or a cut after which the device boots
// nothing and its next boot does not mend it.
constexpr int kExitUnbootable = 4;

// The largest --every and --sample.
constexpr uint64_t kMaxSweepStep = uint64_t(1) << 32;

// The sweep group, with its kinds of sweep below it.
Command AddSweepCommand(CLI::App &app);

// quordev sweep faults DIR: each fallible call of a boot failing in turn.
Command AddFaultSweepCommand(CLI::App &sweep);

// Prints the fault sweep's report, as JSON or as text, and returns its exit status:
// kExitBreaches, kExitUnbootable or 0.
int PrintFaultSweep(const FaultSweepReport &report, bool json);
// Draws the power-cut sweep to the SVG file when one is named, prints its report as JSON or as
// text, and returns its exit status: kExitUnbootable or 0.
int PrintPowerSweep(const PowerSweep &sweep, bool json, const std::string &svg);

// quordev sweep merge FILE...: the shards of a sweep joined into the whole one's report.
Command AddSweepMergeCommand(CLI::App &sweep);

// quordev sweep power DIR: the power cut at each erase and program of the update boot in turn.
Command AddSweepPowerCommand(CLI::App &sweep);

}  // namespace qs_tools
