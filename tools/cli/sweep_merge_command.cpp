// quordev sweep merge: the shards of a fault sweep, run on several hosts, joined into the report
// the whole sweep would have printed.

#include <algorithm>
#include <fstream>

#include "sim/error.h"
#include "tools/cli/sweep_command.h"
#include "tools/reports/fault_sweep_report.h"

namespace qs_tools {

namespace {

FaultSweepReport ReadShard(const std::string &file)
{
    std::ifstream in(file);
    if (!in)
        throw sim::DeviceError(file + ": cannot be read");
    nlohmann::json json = nlohmann::json::parse(in, nullptr, false);
    if (json.is_discarded())
        throw sim::DeviceError(file + ": not JSON");
    if (json.is_object() && json.contains("cuts"))
        throw sim::DeviceError(file + ": a power-cut sweep; merge joins shards of a fault sweep");
    try {
        FaultSweepReport shard = FaultSweepFromJson(json);
        if (shard.shards < 2)
            throw sim::DeviceError("a whole sweep, not a shard (no \"shard\" field)");
        return shard;
    } catch (const sim::DeviceError &error) {
        throw sim::DeviceError(file + ": " + error.what());
    }
}

// What every shard of one sweep has in common: the device's boot without a fault and the choice
// of points.
bool SameSweep(const FaultSweepReport &a, const FaultSweepReport &b)
{
    return a.shell == b.shell && a.torn == b.torn && a.lasting == b.lasting && a.pairs == b.pairs &&
           a.seed == b.seed && a.calls == b.calls && a.bootsBefore == b.bootsBefore &&
           a.shards == b.shards && a.selected == b.selected &&
           FaultRowJson(a.counting) == FaultRowJson(b.counting);
}

// The shards' rows in the order the whole sweep gives them: row i is the (i / N)-th of shard
// i % N + 1.
FaultSweepReport Merge(std::vector<FaultSweepReport> shards)
{
    const uint64_t count = shards.front().shards;
    if (shards.size() != count)
        throw sim::DeviceError("the sweep has " + std::to_string(count) + " shards, " +
                               std::to_string(shards.size()) + " given");
    std::sort(shards.begin(), shards.end(),
              [](const auto &a, const auto &b) { return a.shard < b.shard; });
    for (uint64_t k = 1; k <= count; ++k) {
        const FaultSweepReport &shard = shards[k - 1];
        if (shard.shard != k)
            throw sim::DeviceError("shard " + std::to_string(k) + " of " + std::to_string(count) +
                                   " is missing (shard " + std::to_string(shard.shard) +
                                   " given twice)");
        if (!SameSweep(shard, shards.front()))
            throw sim::DeviceError("shard " + std::to_string(k) +
                                   " is of another sweep than shard 1 (its device's boot, "
                                   "options or choice of points differ)");
        if (shard.rows.size() != (shard.selected + count - k) / count)
            throw sim::DeviceError("shard " + std::to_string(k) + " holds " +
                                   std::to_string(shard.rows.size()) + " rows, not " +
                                   std::to_string((shard.selected + count - k) / count));
    }
    FaultSweepReport whole = shards.front();
    whole.rows.clear();
    for (uint64_t i = 0; i < whole.selected; ++i)
        whole.rows.push_back(shards[i % count].rows[i / count]);
    whole.shard = whole.shards = 1;
    TallyFaultRows(whole);
    return whole;
}

}  // namespace

// quordev sweep merge FILE... [--json]
Command AddSweepMergeCommand(CLI::App &sweep)
{
    struct Arguments {
        std::vector<std::string> files;
        bool json = false;
    };
    auto args = std::make_shared<Arguments>();
    CLI::App *merge = sweep.add_subcommand(
        "merge",
        "join the --json reports of the shards of one fault sweep (quordev sweep faults --shard "
        "K/N, each run on any host) into the table, totals and exit status that the whole sweep "
        "gives; every shard 1 to N must be there once, of the same device and options");
    merge->add_option("FILE", args->files, "the shards' JSON reports, in any order")
        ->required()
        ->check(CLI::ExistingFile);
    merge->add_flag("--json", args->json, "print one JSON object (fields in docs/sweeps.md)");
    return [merge, args] {
        if (!merge->parsed())
            return -1;
        std::vector<FaultSweepReport> shards;
        for (const std::string &file : args->files)
            shards.push_back(ReadShard(file));
        return PrintFaultSweep(Merge(std::move(shards)), args->json);
    };
}

}  // namespace qs_tools
