// quordev sweep faults: every fallible call of a boot failing in turn.

#include <iostream>

#include "tools/cli/command_line.h"
#include "tools/cli/fault_sweep_main.h"
#include "tools/cli/shell_option.h"
#include "tools/cli/sweep_command.h"
#include "tools/reports/fault_sweep_report.h"
#include "tools/sweeps/fault_sweep.h"

namespace qs_tools {

int PrintFaultSweep(const FaultSweepReport &report, bool json)
{
    if (json)
        std::cout << FaultSweepJson(report).dump(2) << "\n";
    else
        std::cout << FaultSweepText(report);
    if (report.breaches)
        return kExitBreaches;
    return report.leftDead ? kExitUnbootable : 0;
}

// quordev sweep faults DIR [--every K | --sample K | --at LIST | --pairs N [--seed S]] [--jobs N]
// [--shard K/N] [--json]
Command AddFaultSweepCommand(CLI::App &sweep)
{
    struct Arguments {
        std::string folder;
        FaultSweepOptions options;
        bool json = false;
    };
    auto args = std::make_shared<Arguments>();
    CLI::App *faults = sweep.add_subcommand(
        "faults",
        "boot the device once counting its fallible calls (files, folders, control codes, the "
        "store, the heap, program starts, cues), then once for each of them failing as the device "
        "fails it, each on a fresh copy of DIR; after every boot check that the shell returned, "
        "held nothing, left no flash flag and the update mode off, and changed nothing outside "
        "the files and flash blocks the boot owns, and tell what the boot loader would boot "
        "afterwards and, where the flash still boots, after the next boot, which has no fault; "
        "a flash that boots nothing is dead and gets no next boot; exit 3 on any breach, else 4 "
        "when a fault leaves a bootable device dead");
    faults->add_option("DIR", args->folder, "the device folder (locked, never changed)")
        ->required();
    CLI::Option *every =
        faults
            ->add_option("--every", args->options.every,
                         "sweep every K-th fault point (1, 1+K, ...) and every DeviceIoControl "
                         "one, but of a run of identical ones (a block's sector transfers) only "
                         "the first and the last (default 1: all)")
            ->type_name("K")
            ->check(InRange<uint64_t>(1, kMaxSweepStep));
    CLI::Option *sample =
        faults
            ->add_option("--sample", args->options.sample,
                         "sweep K fault points spread evenly over the boot's calls: K boots")
            ->type_name("K")
            ->check(InRange<uint64_t>(1, kMaxSweepStep));
    CLI::Option *at =
        faults
            ->add_option("--at", args->options.at,
                         "sweep only these fault points, comma-separated (e.g. 37,412)")
            ->delimiter(',')
            ->type_name("LIST");
    CLI::Option *pairs =
        faults
            ->add_option("--pairs", args->options.pairs,
                         "sweep N pairs of distinct fault points instead, both failing in one "
                         "boot, drawn by a seeded generator: N boots")
            ->type_name("N")
            ->check(InRange<uint64_t>(1, kMaxSweepStep));
    CLI::Option *seed = faults
                            ->add_option("--seed", args->options.seed,
                                         "chooses the pairs (default 1); the same seed chooses "
                                         "the same pairs on every host")
                            ->type_name("S");
    Excludes(sample, {every});
    Excludes(at, {every, sample});
    Excludes(pairs, {every, sample, at});
    Needs(seed, pairs, "it chooses the pairs");
    AddJobsOption(*faults, args->options.jobs);
    AddShardOption(*faults, args->options.shard, args->options.shards);
    faults->add_flag("--lasting", args->options.lasting,
                     "each fault lasts: once the call has failed, every later call at its place "
                     "fails too (an erase, read or write of the same block; the same call on the "
                     "same path), in its boot and in the next, as a worn block or a bad file does");
    faults
        ->add_option_function<std::string>(
            "--leaves",
            [args](const std::string &leaves) { args->options.torn = leaves == "torn"; },
            "what a failed erase or program leaves: torn (the block partly erased, the page "
            "partly programmed, as NAND leaves them) or untouched (default torn)")
        ->check(Parses([](const std::string &v) { return v == "torn" || v == "untouched"; },
                       "torn or untouched"))
        ->type_name("torn|untouched");
    AddShellOption(*faults, args->options.shell);
    faults->add_flag(
        "--from-scratch", args->options.fromScratch,
        "boot every row from the start of the boot instead of forking it from one "
        "boot at its fault point: slower, the same rows (a check of the forked sweep)");
    faults->add_flag("--json", args->json, "print one JSON object (fields in docs/sweeps.md)");
    return [faults, args] {
        if (!faults->parsed())
            return -1;
        auto progress = std::make_shared<ProgressLine>("sweep faults");
        FaultSweepOptions options = args->options;
        // A row costs two boots: the one the fault falls in, and the next one (a row whose
        // flash starts nothing has none, so this errs long).
        options.planned = [progress, &options](uint64_t points, uint64_t calls) {
            progress->Announce(std::to_string(points) + (options.pairs ? " pairs" : "") + " of " +
                                   std::to_string(calls) + " fault points",
                               2 * points, options.jobs);
        };
        FaultSweepReport report = SweepFaults(
            args->folder, options, [progress](uint64_t done, uint64_t total, const FaultRow &row) {
                progress->Show(done, total,
                               row.second.n ? "points " + std::to_string(row.n) + " and " +
                                                  std::to_string(row.second.n) + ", " + row.call
                                            : "point " + std::to_string(row.n) + ", " + row.call);
            });
        return PrintFaultSweep(report, args->json);
    };
}

int FaultSweepOnlyMain(int argc, char **argv)
{
    CLI::App app{"The fault sweep over a shell with one defect planted.", "quordev"};
    app.require_subcommand(1);
    CLI::App *sweep = app.add_subcommand("sweep", "boot a device folder again and again");
    sweep->require_subcommand(1);
    Command faults = AddFaultSweepCommand(*sweep);
    if (std::optional<int> status = ParseCommandLine(app, argc, argv))
        return *status;
    return RunReportingErrors(app.get_name(), faults);
}

}  // namespace qs_tools
