// The power cut at every erase and program and every change of the files of an update boot in
// turn: what the boot loader would boot from the flash each cut leaves, whether the next boot
// (where there is one) repairs it, and what the device's files lost.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/file_cuts.h"
#include "sim/flash_driver.h"
#include "tools/reports/flash_verdict.h"
#include "tools/runner/boot_runner.h"
#include "tools/sweeps/files_judgement.h"

namespace qs_tools {

// A point where the power can go in the update boot: an erase or a program of the flash (a
// sector write is one program), or a change of the device's files; both kinds are numbered
// together in the order the boot makes them.
struct CutPoint {
    enum class Kind { Flash, File };
    Kind kind = Kind::Flash;
    uint64_t ordinal = 0;            // among the points of its kind, from 1
    sim::FlashOperation flash;       // a flash point's erase or program
    ce_host::FileChangeRecord file;  // a file point's change
    uint64_t startUs = 0;            // the flash time at which it begins
    uint64_t EndUs() const { return startUs + (kind == Kind::Flash ? flash.durationUs : 0); }
    // Only an erase, a program or a write of two bytes or more can be torn.
    bool Takes(sim::PowerCutOutcome outcome) const;
};
// The flash operations and the file changes, each change after the operations made before it,
// numbered in the order the boot made them.
std::vector<CutPoint> OrderCutPoints(const std::vector<sim::FlashOperation> &operations,
                                     const std::vector<ce_host::FileChangeRecord> &changes);
// "erase of block 4", "program of sector 70", "write of \NAND\apps\a.dll"
std::string CutPointText(const CutPoint &point);
// The kinds of point a sweep cuts at: both, or one of them (quordev sweep power --only).
enum class CutKinds { Both, Flash, Files };
std::optional<CutKinds> ParseCutKinds(const std::string &name);  // "flash", "files"

// The boot after a cut that left a bootable flash, from the flash and the files as the cut left
// them.
struct SecondBoot {
    std::optional<FlashJudgement> judgement;  // none when the simulator stopped it
    std::string stopped;                      // why it stopped
    FilesJudgement files;
    // The new image boots afterwards, or the old one still does.
    bool Recovered() const { return judgement && judgement->verdict != Verdict::Unbootable; }
};

struct CutResult {
    uint64_t index = 0;  // the point, from 1
    CutPoint point;
    sim::PowerCutOutcome outcome = sim::PowerCutOutcome::NotDone;
    FlashJudgement atCut;
    FilesJudgement filesAtCut;
    // None when the flash boots nothing at the cut: the boot loader starts no image, so no shell
    // runs to write the update again.
    std::optional<SecondBoot> second;
    // What the device lost of its files for good (after the second boot, or at the cut when there
    // is none), beyond what the boot without a cut loses.
    std::vector<FileLoss> lost;

    bool Dead() const { return !second; }
    // Bootable at the cut, but not the new image; the new image after the second boot.
    bool Mended() const
    {
        return atCut.verdict == Verdict::Old && second && second->judgement &&
               second->judgement->verdict == Verdict::New;
    }
    // Bootable at the cut, and nothing bootable after the second boot (or it stopped).
    bool BrokenBySecondBoot() const { return second && !second->Recovered(); }
};

struct PowerSweepOptions {
    uint64_t every = 1;          // cut at points 1, 1 + every, 1 + 2 * every, ... and the last
    std::vector<uint64_t> at{};  // or at these points only, when given
    std::vector<sim::PowerCutOutcome> outcomes{
        sim::PowerCutOutcome::NotDone, sim::PowerCutOutcome::Completed, sim::PowerCutOutcome::Torn};
    CutKinds kinds = CutKinds::Both;
    uint64_t seed = 1;  // chooses where each torn write of a file stops
    // After each cut and its second boot, in order, with the count done and the count planned.
    std::function<void(const CutResult &, size_t done, size_t planned)> progress{};
    // Once the update boot is counted: the cuts planned and the update boot's points.
    std::function<void(size_t cuts, size_t points)> planned{};
    // Worker processes that boot side by side, each on its own copy.
    unsigned jobs = 1;
    // The shell that boots, in every boot of the sweep.
    ShellVariant shell = ShellVariant::Standard;
    // Boot every cut from the start instead of forking it from one boot at its point: slower,
    // the same results; the check of the forked sweep.
    bool fromScratch = false;
    // Of the cuts planned, only every shards-th from the shard-th (from 1): the sweep spread over
    // hosts, each running one shard, merged afterwards.
    uint64_t shard = 1;
    uint64_t shards = 1;
};

struct PowerSweep {
    std::filesystem::path device;
    ShellVariant shell = ShellVariant::Standard;
    uint64_t every = 1;
    std::vector<uint64_t> at;
    std::vector<sim::PowerCutOutcome> outcomes;
    CutKinds kinds = CutKinds::Both;
    uint64_t seed = 1;
    std::vector<sim::FlashOperation> operations;         // the update boot's erases and programs
    std::vector<ce_host::FileChangeRecord> fileChanges;  // and its changes of files
    std::vector<CutPoint> points;                        // both, in the boot's order
    sim::FlashUsage usage;                               // the update boot's flash work and time
    std::string newNk;  // the device paths of the images it wrote; empty without an OS update
    std::optional<std::string> newBootLoader;
    FlashJudgement before;  // the flash as the device holds it
    FlashJudgement uncut;   // after the update boot, without a cut
    FilesJudgement filesUncut;
    std::vector<CutResult> cuts;
    // One shard of a sweep spread over hosts (1 of 1 for a whole sweep), and the cuts of all the
    // shards together.
    uint64_t shard = 1;
    uint64_t shards = 1;
    uint64_t cutsOfAll = 0;
};

// Boots a scratch copy of the device once to count its erases, programs and file changes, then,
// for each sampled point and outcome, a fresh copy with the power cut there and, when the flash
// still boots, a second boot after it. The device folder is locked and left unchanged. Throws
// sim::DeviceError when the folder cannot be booted, its boot installs neither an operating-system
// image nor application data, or a point asked for is beyond the update boot's or of a kind not
// swept.
PowerSweep RunPowerSweep(const std::filesystem::path &device, const PowerSweepOptions &options);

// 1, 1 + every, 1 + 2 * every, ... and count itself; none when count is 0.
std::vector<uint64_t> SampledOperations(uint64_t count, uint64_t every);

// Neighbouring sampled points where a cut leaves nothing bootable: with any of the outcomes
// swept, or with the one given.
struct UnbootableWindow {
    uint64_t first = 0;  // points, from 1
    uint64_t last = 0;
    uint64_t startUs = 0;  // flash time at which the first begins
    uint64_t endUs = 0;    // and the last ends
};
std::vector<UnbootableWindow> UnbootableWindows(
    const PowerSweep &sweep, std::optional<sim::PowerCutOutcome> outcome = std::nullopt);

}  // namespace qs_tools
