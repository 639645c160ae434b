// The fault sweep: a device folder booted once to count the fallible calls of its boot, then once
// more for each of them failing in turn (or for pairs of them failing in one boot), each on a
// fresh copy; after every boot the invariants that no fault may break are checked.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/runner/boot_runner.h"

namespace qs_tools {

struct FaultSweepOptions {
    // Every k-th fault point (1, 1+k, 1+2k, ...) and every DeviceIoControl point but those inside
    // a run of identical ones (a block's sector transfers: the first and the last are swept);
    // 1 sweeps all.
    uint64_t every = 1;
    // Only these fault points, when given.
    std::vector<uint64_t> at{};
    // Or this many points spread evenly over the boot's calls (0: not asked for), each a boot.
    uint64_t sample = 0;
    // Or this many pairs of distinct points (0: not asked for), both failing in one boot, drawn
    // by a generator that the seed starts.
    uint64_t pairs = 0;
    uint64_t seed = 1;
    // Worker processes that boot side by side, each on its own copy.
    unsigned jobs = 1;
    // The shell that boots, in every boot of the sweep.
    ShellVariant shell = ShellVariant::Standard;
    // A failed erase or program leaves the block partly erased or the page partly programmed,
    // as NAND does; else the flash as it was.
    bool torn = true;
    // The call at the fault point fails again at every later call at its place (the same block,
    // the same call on the same path), in its boot and in the next: a worn block, a bad file.
    bool lasting = false;
    // Of the points (or pairs) selected, only every shards-th from the shard-th (from 1): the
    // sweep spread over hosts, each running one shard, merged afterwards.
    uint64_t shard = 1;
    uint64_t shards = 1;
    // Boot every row from the start instead of forking it from one boot at its first point:
    // slower, the same rows; the check of the forked sweep.
    bool fromScratch = false;
    // Told, once the boot without a fault is done, how many points of how many calls are to be
    // swept.
    std::function<void(uint64_t points, uint64_t calls)> planned{};
};

// The later point of a pair, failing in the same boot as the row's own.
struct SecondFault {
    uint64_t n = 0;      // 0: the row has one fault point
    std::string call;    // the call at n in the boot without a fault
    std::string target;  // and what it acted on
    std::string stage;
    // The boot's n-th call was this one: the first fault left the boot's way as it was up to it.
    bool reached = false;
    // Unreached: the call that stood at n instead, which failed in its place ("CreateFileW \x");
    // empty when the boot made fewer than n calls.
    std::string failedInstead;
    std::string leaves;  // of a failed erase or program, the one that failed: "torn", "untouched"
};

// One boot of the sweep: the fault point, where it fell, what the shell made of it and the
// invariants it broke.
struct FaultRow {
    uint64_t n = 0;      // 0 for the boot without a fault that counts the calls
    std::string call;    // "ReadFile"; empty for the counting boot
    std::string target;  // what the call acted on in the boot without a fault
    std::string stage;   // "NK load"
    std::string did;     // "OS update failed; cues update_start, updatefail; started ..."
    std::string leaves;  // of a failed erase or program: "torn" or "untouched"; else empty
    std::string boots;   // what the boot loader would boot afterwards: "old", "new", "unbootable"
    // The same after the next start, which has no fault unless it lasts; "dead" when the flash
    // boots nothing after this boot: no boot loader starts the shell again.
    std::string bootsNext;
    bool leftDead = false;          // the device booted before the boot and no longer does
    bool restartIntoDead = false;   // the shell asked for a restart into a flash that is dead
    bool mendedByNextBoot = false;  // the next start brings what the boot without a fault did
    uint64_t nextFlashUs = 0;       // the next start's flash time: a retried update's cost
    std::vector<std::string> breaches;
    std::vector<std::string> notes;  // what is reported but breaks nothing
    SecondFault second;
};

struct FaultSweepReport {
    std::string device;
    uint64_t calls = 0;  // fallible calls of the boot without a fault
    FaultRow counting;   // that boot's own row
    std::vector<FaultRow> rows;
    size_t breaches = 0;      // rows (the counting one included) that broke an invariant
    std::string bootsBefore;  // what the boot loader boots from the device as it is
    // Rows so marked, the counting one included.
    size_t leftDead = 0;
    size_t restartsIntoDead = 0;
    size_t mendedByNextBoot = 0;
    // A sweep of pairs: its seed, and the rows whose second point was not reached, of them those
    // where another call failed at its number.
    bool pairs = false;
    uint64_t seed = 0;
    size_t secondsNotReached = 0;
    size_t secondsFailedInstead = 0;
    ShellVariant shell = ShellVariant::Standard;
    bool torn = true;
    bool lasting = false;
    // The shard it is of a sweep spread over hosts; 1 of 1 for a whole one. selected: the
    // points (or pairs) of all the shards together.
    uint64_t shard = 1;
    uint64_t shards = 1;
    uint64_t selected = 0;
};

// Counts the rows marked dead, restarted into a dead flash, mended, breached and with their
// second point unreached, the boot without a fault included, from the rows' own marks.
void TallyFaultRows(FaultSweepReport &report);

// Called after each fault point, in order: done of total, and its row.
using SweepProgress = std::function<void(uint64_t done, uint64_t total, const FaultRow &row)>;

// Sweeps the device folder, which it holds locked and never changes; the boots run in copies in
// a scratch folder that is removed at the end. Throws sim::DeviceError for a folder that cannot
// be swept (missing, in use, unusable).
FaultSweepReport SweepFaults(const std::filesystem::path &folder, const FaultSweepOptions &options,
                             const SweepProgress &progress);

// A fallible call of the boot without a fault, in order.
struct FaultPointCall {
    std::string call;
    std::string target;
};

// The fault points (from 1) that the options select.
std::vector<uint64_t> SelectFaultPoints(const std::vector<FaultPointCall> &calls,
                                        const FaultSweepOptions &options);

// The fault points of one boot: the first, and a later second one or 0.
struct FaultPoints {
    uint64_t first = 0;
    uint64_t second = 0;
    auto operator<=>(const FaultPoints &) const = default;
};

// That many distinct pairs of distinct points of a boot of that many calls, in order, the same
// for a seed on every host. Throws sim::DeviceError when there are not that many.
std::vector<FaultPoints> SelectFaultPairs(uint64_t calls, uint64_t pairs, uint64_t seed);

}  // namespace qs_tools
