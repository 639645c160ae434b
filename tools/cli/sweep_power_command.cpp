// quordev sweep power: the power cut at each erase and program and each change of the files of a
// device's update boot.
#include <iostream>

#include "devkit/path_checks.h"
#include "tools/sweeps/power_sweep.h"
#include "tools/reports/power_sweep_report.h"
#include "tools/reports/power_sweep_svg.h"
#include "tools/cli/shell_option.h"
#include "tools/cli/sweep_command.h"

namespace qs_tools {

int PrintPowerSweep(const PowerSweep &sweep, bool json, const std::string &svg)
{
    if (!svg.empty())
        WritePowerSweepSvg(svg, sweep);
    if (json)
        std::cout << PowerSweepJson(sweep).dump(2) << "\n";
    else
        std::cout << PowerSweepText(sweep);
    return PowerSweepHolds(sweep) ? 0 : kExitUnbootable;
}

// quordev sweep power DIR [--json] [--svg FILE] [--every K | --at LIST] [--outcomes LIST]
// [--only flash|files] [--seed N]
Command AddSweepPowerCommand(CLI::App &sweep)
{
    struct Arguments {
        std::string folder, svg;
        bool json = false;
        uint64_t every = 1;
        std::vector<std::string> outcomes;
        std::vector<uint64_t> at;
        std::string only;
        uint64_t seed = 1;
        unsigned jobs = 1;
        ShellVariant shell = ShellVariant::Standard;
        bool fromScratch = false;
        uint64_t shard = 1, shards = 1;
    };
    auto args = std::make_shared<Arguments>();
    CLI::App *power = sweep.add_subcommand(
        "power",
        "cut the power at each erase and program of the device's update boot (a sector write "
        "is one program) and at each change it makes to the device's files (a write, a file "
        "created or emptied, a copy's chunk, a move, a deletion, an attribute change, a folder "
        "made or removed), in the order the boot makes them, on a fresh copy each time; for "
        "each cut show what the boot loader finds and whether the old image, the new one or "
        "none would boot; a cut that leaves nothing bootable is dead and gets no second boot, "
        "any other gets one from the flash and the files as the cut left them; then whether "
        "\\NAND\\apps, the system-information file and the package are still whole; exit 4 when "
        "some cut leaves the device dead, a second boot leaves it unbootable, or a cut loses "
        "data");
    power->add_option("DIR", args->folder, "the device folder, with an update package waiting")
        ->required();
    AddShardOption(*power, args->shard, args->shards, "cuts (points and outcomes)");
    power->add_flag("--from-scratch", args->fromScratch,
                    "boot every cut from the start of the boot instead of forking it from one "
                    "boot at its point: slower, the same results (a check of the forked sweep)");
    power->add_flag("--json", args->json, "print one JSON object (fields in docs/sweeps.md)");
    power
        ->add_option("--svg", args->svg,
                     "also draw the update to FILE as an SVG timeline: what booted before it, "
                     "its flash operations, what boots after each cut (a tick per cut when "
                     "sampled) and the unbootable windows, with a legend")
        ->type_name("FILE");
    CLI::Option *every =
        power
            ->add_option("--every", args->every,
                         "cut at points 1, 1+K, 1+2K, ... and the last only, counted among the "
                         "kinds swept (default 1: all)")
            ->type_name("K")
            ->check(InRange<uint64_t>(1, kMaxSweepStep));
    CLI::Option *at = power
                          ->add_option("--at", args->at,
                                       "cut at these points only, comma-separated (e.g. to "
                                       "repeat cuts of an earlier sweep)")
                          ->delimiter(',')
                          ->type_name("LIST");
    Excludes(at, {every});
    power
        ->add_option("--outcomes", args->outcomes,
                     "what a cut leaves of its point, comma-separated: not-done, "
                     "completed, torn (default all three; only erases, programs and writes of "
                     "files tear)")
        ->delimiter(',')
        ->type_name("LIST")
        ->check(Parses(sim::ParsePowerCutOutcome, "not-done, completed or torn"));
    power
        ->add_option("--only", args->only,
                     "cut at one kind of point only: flash (erases and programs) or files "
                     "(changes of the files); default both")
        ->type_name("KIND")
        ->check(Parses(ParseCutKinds, "flash or files"));
    power
        ->add_option("--seed", args->seed,
                     "chooses where each torn write of a file stops (default 1); the same seed "
                     "tears the same way every time")
        ->type_name("N");
    AddJobsOption(*power, args->jobs);
    AddShellOption(*power, args->shell);
    return [power, args] {
        if (!power->parsed())
            return -1;
        // The picture comes at the end of a long sweep: a path that cannot take it stops it now.
        if (!args->svg.empty())
            devkit::CheckOutputFile(args->svg);
        PowerSweepOptions options;
        options.every = args->every;
        options.at = args->at;
        options.seed = args->seed;
        if (!args->only.empty())
            options.kinds = *ParseCutKinds(args->only);
        if (!args->outcomes.empty()) {
            options.outcomes.clear();
            for (const std::string &name : args->outcomes)
                options.outcomes.push_back(*sim::ParsePowerCutOutcome(name));
        }
        auto progress = std::make_shared<ProgressLine>("sweep power");
        options.jobs = args->jobs;
        options.shell = args->shell;
        options.fromScratch = args->fromScratch;
        options.shard = args->shard;
        options.shards = args->shards;
        // A cut costs two boots: up to the cut, and the next one.
        options.planned = [progress, jobs = args->jobs](size_t cuts, size_t points) {
            progress->Announce(std::to_string(cuts) + " cuts at " + std::to_string(points) +
                                   " erases, programs and file changes",
                               2 * cuts, jobs);
        };
        options.progress = [progress](const CutResult &cut, size_t done, size_t planned) {
            progress->Show(done, planned,
                           "point " + std::to_string(cut.index) + ", " +
                               sim::PowerCutOutcomeName(cut.outcome));
        };
        return PrintPowerSweep(RunPowerSweep(args->folder, options), args->json, args->svg);
    };
}

}  // namespace qs_tools
