// quordev sweep faults: every fallible call of a boot failing in turn.

#include <cstdio>
#include <iostream>

#include <nlohmann/json.hpp>

#include "tools/cli/command_line.h"
#include "tools/cli/shell_option.h"
#include "tools/sweeps/fault_sweep.h"
#include "tools/cli/sweep_command.h"

namespace qs_tools {

namespace {

// "        second fault: 972 DeviceIoControl, NK write  [DSK1: ..., left torn]", and where the
// boot went instead when it did not reach it.
std::string SecondLine(const SecondFault &second)
{
    const std::string left = second.leaves.empty() ? "" : ", left " + second.leaves;
    std::string line = "        second fault: " + std::to_string(second.n) + " " + second.call +
                       ", " + second.stage;
    if (!second.target.empty())
        line += "  [" + second.target + (second.reached ? left : "") + "]";
    if (second.reached)
        return line + "\n";
    if (second.failedInstead.empty())
        return line + ": not reached, the first fault made the boot shorter\n";
    return line + ": not reached, the first fault changed the boot's way, and its call " +
           std::to_string(second.n) + " failed instead  [" + second.failedInstead + left + "]\n";
}

std::string RowLine(const FaultRow &row)
{
    char head[112];
    std::snprintf(head, sizeof head, "%6s  %-6s  %-10s  %-10s  %-18s  %-21s  ",
                  row.n ? std::to_string(row.n).c_str() : "-",
                  row.breaches.empty() ? "ok" : "BREACH", row.boots.c_str(), row.bootsNext.c_str(),
                  row.n ? row.call.c_str() : "(none)", row.stage.c_str());
    std::string line = head + row.did;
    if (!row.target.empty())
        line += "  [" + row.target + (row.leaves.empty() ? "" : ", left " + row.leaves) + "]";
    line += "\n";
    if (row.second.n)
        line += SecondLine(row.second);
    for (const std::string &breach : row.breaches)
        line += "        breach: " + breach + "\n";
    for (const std::string &note : row.notes)
        line += "        note: " + note + "\n";
    return line;
}

// " (1 in NK write, 3 in TOC write)": the rows marked, counted by stage in the boot's order.
std::string ByStage(const std::vector<FaultRow> &rows, bool FaultRow::*marked)
{
    std::vector<std::pair<std::string, size_t>> byStage;
    for (const FaultRow &row : rows) {
        if (!(row.*marked))
            continue;
        if (byStage.empty() || byStage.back().first != row.stage)
            byStage.push_back({row.stage, 0});
        ++byStage.back().second;
    }
    std::string text;
    for (size_t i = 0; i < byStage.size(); ++i)
        text += (i ? ", " : " (") + std::to_string(byStage[i].second) + " in " + byStage[i].first;
    return text + (byStage.empty() ? "" : ")");
}

void PrintText(const FaultSweepReport &report)
{
    std::cout << "fault sweep of " << report.device << " with the "
              << ShellVariantName(report.shell) << " shell, "
              << (report.pairs ? "two fault points failing in each boot (" +
                                     std::to_string(report.rows.size()) +
                                     " pairs drawn with seed " + std::to_string(report.seed) + "), "
                               : "")
              << "each fault " << (report.lasting ? "lasting" : "once")
              << ", a failed erase or program leaving "
              << (report.torn ? "the flash torn" : "the flash untouched") << ": " << report.calls
              << " fallible calls in the boot without a fault; the device boots "
              << report.bootsBefore << " before it\n";
    std::printf("%6s  %-6s  %-10s  %-10s  %-18s  %-21s  %s\n", "n", "result", "then boots",
                "next boot", "call", "stage", "what the shell did  [what the call acted on]");
    std::cout << RowLine(report.counting);
    std::vector<std::string> breached;
    for (const FaultRow &row : report.rows) {
        std::cout << RowLine(row);
        if (!row.breaches.empty())
            breached.push_back(std::to_string(row.n));
    }
    std::cout << report.rows.size() << (report.pairs ? " pairs" : "") << " of " << report.calls
              << " fault points swept: " << report.breaches
              << (report.breaches == 1 ? " breach" : " breaches");
    if (!report.counting.breaches.empty())
        breached.insert(breached.begin(), "the boot without a fault");
    for (size_t i = 0; i < breached.size(); ++i)
        std::cout << (i ? ", " : " (") << breached[i] << (i + 1 == breached.size() ? ")" : "");
    std::cout << "\n";
    std::cout << report.leftDead << " left the device dead, its flash starting nothing"
              << ByStage(report.rows, &FaultRow::leftDead) << "; the shell asked for a restart"
              << " into a dead flash in " << report.restartsIntoDead
              << ByStage(report.rows, &FaultRow::restartIntoDead) << "; " << report.mendedByNextBoot
              << " mended by the next boot" << ByStage(report.rows, &FaultRow::mendedByNextBoot)
              << "\n";
    if (report.pairs)
        std::cout << report.secondsNotReached
                  << " pairs whose second point the boot never reached, the first fault having "
                     "changed its way; in "
                  << report.secondsFailedInstead
                  << " of them the call at its number failed instead\n";
}

nlohmann::ordered_json RowJson(const FaultRow &row)
{
    nlohmann::ordered_json json;
    if (row.n) {
        json["n"] = row.n;
        json["call"] = row.call;
        json["target"] = row.target;
    }
    if (!row.leaves.empty())
        json["leaves"] = row.leaves;
    json["stage"] = row.stage;
    json["did"] = row.did;
    json["boots"] = row.boots;
    json["boots_next"] = row.bootsNext;
    json["left_dead"] = row.leftDead;
    json["restart_into_dead"] = row.restartIntoDead;
    json["mended_by_next_boot"] = row.mendedByNextBoot;
    if (row.n)
        json["next_flash_us"] = row.nextFlashUs;
    if (const SecondFault &second = row.second; second.n) {
        nlohmann::ordered_json &later = json["second"];
        later["n"] = second.n;
        later["call"] = second.call;
        later["target"] = second.target;
        later["stage"] = second.stage;
        later["reached"] = second.reached;
        later["failed_instead"] = nullptr;
        if (!second.failedInstead.empty())
            later["failed_instead"] = second.failedInstead;
        if (!second.leaves.empty())
            later["leaves"] = second.leaves;
    }
    json["ok"] = row.breaches.empty();
    json["breaches"] = row.breaches;
    json["notes"] = row.notes;
    return json;
}

nlohmann::ordered_json ReportJson(const FaultSweepReport &report)
{
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    for (const FaultRow &row : report.rows)
        rows.push_back(RowJson(row));
    nlohmann::ordered_json json = {{"device", report.device},
                                   {"shell", ShellVariantName(report.shell)},
                                   {"faults", report.lasting ? "lasting" : "once"},
                                   {"leaves", report.torn ? "torn" : "untouched"}};
    if (report.pairs) {
        json["pairs"] = report.rows.size();
        json["seed"] = report.seed;
    }
    json.update(nlohmann::ordered_json{{"calls", report.calls},
                                       {"swept", report.rows.size()},
                                       {"boots_before", report.bootsBefore},
                                       {"counting_boot", RowJson(report.counting)},
                                       {"rows", rows},
                                       {"breaches", report.breaches},
                                       {"left_dead", report.leftDead},
                                       {"restarts_into_dead", report.restartsIntoDead},
                                       {"mended_by_next_boot", report.mendedByNextBoot}});
    if (report.pairs) {
        json["second_not_reached"] = report.secondsNotReached;
        json["second_failed_instead"] = report.secondsFailedInstead;
    }
    return json;
}

}  // namespace

// quordev sweep faults DIR [--every K | --sample K | --at LIST | --pairs N [--seed S]] [--jobs N]
// [--json]
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
    faults->add_flag("--json", args->json, "print one JSON object (fields in docs/sweeps.md)");
    return [faults, args] {
        if (!faults->parsed())
            return -1;
        auto progress = std::make_shared<ProgressLine>("sweep faults");
        FaultSweepOptions options = args->options;
        options.planned = [progress, &options](uint64_t points, uint64_t calls) {
            progress->Announce(std::to_string(points) + (options.pairs ? " pairs" : "") + " of " +
                                   std::to_string(calls) + " fault points",
                               points, options.jobs);
        };
        FaultSweepReport report = SweepFaults(
            args->folder, options, [progress](uint64_t done, uint64_t total, const FaultRow &row) {
                progress->Show(done, total,
                               row.second.n ? "points " + std::to_string(row.n) + " and " +
                                                  std::to_string(row.second.n) + ", " + row.call
                                            : "point " + std::to_string(row.n) + ", " + row.call);
            });
        if (args->json)
            std::cout << ReportJson(report).dump(2) << "\n";
        else
            PrintText(report);
        if (report.breaches)
            return kExitBreaches;
        return report.leftDead ? kExitUnbootable : 0;
    };
}

}  // namespace qs_tools
