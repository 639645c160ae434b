// The power cut at every erase and program of an update boot in turn: what the boot loader would
// boot from the flash each cut leaves, and whether the next boot repairs it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/flash_driver.h"
#include "tools/reports/flash_verdict.h"
#include "tools/runner/boot_runner.h"

namespace qs_tools {

// The boot after a cut, from the flash and the update folder as the cut left them.
struct SecondBoot {
    std::optional<FlashJudgement> judgement;  // none when the simulator stopped it
    std::string stopped;                      // why it stopped
    // The new image boots afterwards, or the old one still does.
    bool Recovered() const { return judgement && judgement->verdict != Verdict::Unbootable; }
};

struct CutResult {
    uint64_t index = 0;  // the operation, from 1
    sim::FlashOperation operation;
    sim::PowerCutOutcome outcome = sim::PowerCutOutcome::NotDone;
    FlashJudgement atCut;
    SecondBoot second;
};

struct PowerSweepOptions {
    uint64_t every = 1;          // cut at operations 1, 1 + every, 1 + 2 * every, ... and the last
    std::vector<uint64_t> at{};  // or at these operations only, when given
    std::vector<sim::PowerCutOutcome> outcomes{
        sim::PowerCutOutcome::NotDone, sim::PowerCutOutcome::Completed, sim::PowerCutOutcome::Torn};
    // After each cut and its second boot, in order, with the count done and the count planned.
    std::function<void(const CutResult &, size_t done, size_t planned)> progress{};
    // Once the update boot is counted: the cuts planned and the update boot's operations.
    std::function<void(size_t cuts, size_t operations)> planned{};
    // Worker processes that boot side by side, each on its own copy.
    unsigned jobs = 1;
    // The shell that boots, in every boot of the sweep.
    ShellVariant shell = ShellVariant::Standard;
};

struct PowerSweep {
    std::filesystem::path device;
    ShellVariant shell = ShellVariant::Standard;
    uint64_t every = 1;
    std::vector<uint64_t> at;
    std::vector<sim::PowerCutOutcome> outcomes;
    std::vector<sim::FlashOperation> operations;  // the update boot's erases and programs
    sim::FlashUsage usage;                        // the update boot's flash work and time
    std::string newNk;                            // the device paths of the images it wrote
    std::optional<std::string> newBootLoader;
    FlashJudgement before;  // the flash as the device holds it
    FlashJudgement uncut;   // after the update boot, without a cut
    std::vector<CutResult> cuts;
};

// Boots a scratch copy of the device once to count its erases and programs, then, for each
// sampled operation and outcome, a fresh copy with the power cut there and a second boot after
// it. The device folder is locked and left unchanged. Throws sim::DeviceError when the folder
// cannot be booted, its boot updates no operating-system image, or an operation asked for is
// beyond the update boot's.
PowerSweep RunPowerSweep(const std::filesystem::path &device, const PowerSweepOptions &options);

// 1, 1 + every, 1 + 2 * every, ... and count itself; none when count is 0.
std::vector<uint64_t> SampledOperations(uint64_t count, uint64_t every);

// Neighbouring sampled operations where a cut leaves nothing bootable: with any of the outcomes
// swept, or with the one given.
struct UnbootableWindow {
    uint64_t first = 0;  // operations, from 1
    uint64_t last = 0;
    uint64_t startUs = 0;  // flash time at which the first begins
    uint64_t endUs = 0;    // and the last ends
};
std::vector<UnbootableWindow> UnbootableWindows(
    const PowerSweep &sweep, std::optional<sim::PowerCutOutcome> outcome = std::nullopt);

}  // namespace qs_tools
