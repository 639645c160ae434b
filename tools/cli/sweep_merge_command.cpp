// quordev sweep merge: the shards of a fault sweep or a power-cut sweep, run on several hosts,
// joined into the report the whole sweep would have printed.

#include <algorithm>
#include <fstream>

#include "sim/error.h"
#include "tools/cli/sweep_command.h"
#include "devkit/path_checks.h"
#include "tools/reports/fault_sweep_report.h"
#include "tools/reports/power_sweep_report.h"
#include "tools/reports/power_sweep_transport.h"

namespace qs_tools {

namespace {

nlohmann::json ReadJson(const std::string &file)
{
    std::ifstream in(file);
    if (!in)
        throw sim::DeviceError(file + ": cannot be read");
    nlohmann::json json = nlohmann::json::parse(in, nullptr, false);
    if (json.is_discarded())
        throw sim::DeviceError(file + ": not JSON");
    return json;
}

bool IsPowerSweep(const nlohmann::json &json)
{
    return json.is_object() && json.contains("cuts");
}

FaultSweepReport ReadFaultShard(const std::string &file, const nlohmann::json &json)
{
    try {
        FaultSweepReport shard = FaultSweepFromJson(json);
        if (shard.shards < 2)
            throw sim::DeviceError("a whole sweep, not a shard (no \"shard\" field)");
        return shard;
    } catch (const sim::DeviceError &error) {
        throw sim::DeviceError(file + ": " + error.what());
    }
}

PowerSweep ReadPowerShard(const std::string &file, const nlohmann::json &json)
{
    if (!json.contains("shard"))
        throw sim::DeviceError(file + ": a whole sweep, not a shard (no \"shard\" field)");
    try {
        return PowerSweepFromTransport(json["shard"].value("sweep", nlohmann::json()));
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

// The whole sweep from its shards: every shard 1 to N once, each of the same sweep as the first
// and with its share of the rows, which are interleaved back into the whole sweep's order (row i
// is the (i / N)-th of shard i % N + 1).
template <typename Sweep, typename Row, typename Same>
Sweep Joined(std::vector<Sweep> shards, uint64_t ofAll, std::vector<Row> Sweep::*rows,
             const Same &same)
{
    const uint64_t count = shards.front().shards;
    if (shards.size() != count)
        throw sim::DeviceError("the sweep has " + std::to_string(count) + " shards, " +
                               std::to_string(shards.size()) + " given");
    std::sort(shards.begin(), shards.end(),
              [](const auto &a, const auto &b) { return a.shard < b.shard; });
    for (uint64_t k = 1; k <= count; ++k) {
        const Sweep &shard = shards[k - 1];
        const uint64_t share = (ofAll + count - k) / count;
        if (shard.shard != k)
            throw sim::DeviceError("shard " + std::to_string(k) + " of " + std::to_string(count) +
                                   " is missing (shard " + std::to_string(shard.shard) +
                                   " given twice)");
        if (!same(shard, shards.front()))
            throw sim::DeviceError("shard " + std::to_string(k) +
                                   " is of another sweep than shard 1 (its device's boot, "
                                   "options or choice of points differ)");
        if ((shard.*rows).size() != share)
            throw sim::DeviceError("shard " + std::to_string(k) + " holds " +
                                   std::to_string((shard.*rows).size()) + " rows, not " +
                                   std::to_string(share));
    }
    Sweep whole = shards.front();
    (whole.*rows).clear();
    for (uint64_t i = 0; i < ofAll; ++i)
        (whole.*rows).push_back((shards[i % count].*rows)[i / count]);
    whole.shard = whole.shards = 1;
    return whole;
}

FaultSweepReport Merge(std::vector<FaultSweepReport> shards)
{
    const uint64_t selected = shards.front().selected;
    FaultSweepReport whole =
        Joined(std::move(shards), selected, &FaultSweepReport::rows, SameSweep);
    TallyFaultRows(whole);
    return whole;
}

// A power-cut sweep's shards have the same record but for their cuts and their index; the
// device's path may differ from host to host.
bool SamePowerSweep(const PowerSweep &a, const PowerSweep &b)
{
    auto common = [](const PowerSweep &sweep) {
        nlohmann::json json = PowerSweepTransport(sweep);
        for (const char *key : {"cuts", "shard", "device"})
            json.erase(key);
        return json;
    };
    return common(a) == common(b);
}

}  // namespace

// quordev sweep merge FILE... [--json] [--svg FILE]
Command AddSweepMergeCommand(CLI::App &sweep)
{
    struct Arguments {
        std::vector<std::string> files;
        bool json = false;
        std::string svg;
    };
    auto args = std::make_shared<Arguments>();
    CLI::App *merge = sweep.add_subcommand(
        "merge",
        "join the --json reports of the shards of one fault sweep or one power-cut sweep "
        "(quordev sweep faults|power --shard K/N, each run on any host) into the table, totals, "
        "picture and exit status that the whole sweep gives; every shard 1 to N must be there "
        "once, of the same device and options");
    merge->add_option("FILE", args->files, "the shards' JSON reports, in any order")
        ->required()
        ->check(CLI::ExistingFile);
    merge->add_flag("--json", args->json, "print one JSON object (fields in docs/sweeps.md)");
    merge
        ->add_option("--svg", args->svg,
                     "a power-cut sweep's only: also draw the whole update to FILE as the "
                     "sweep's --svg does")
        ->type_name("FILE");
    return [merge, args] {
        if (!merge->parsed())
            return -1;
        std::vector<nlohmann::json> documents;
        for (const std::string &file : args->files)
            documents.push_back(ReadJson(file));
        const bool power = IsPowerSweep(documents.front());
        for (size_t i = 0; i < documents.size(); ++i)
            if (IsPowerSweep(documents[i]) != power)
                throw sim::DeviceError(
                    args->files[i] + ": a " + (power ? "fault sweep" : "power-cut sweep") + "; " +
                    args->files.front() + " is a " + (power ? "power-cut sweep" : "fault sweep"));
        if (!power) {
            if (!args->svg.empty())
                throw sim::DeviceError("--svg: a fault sweep has no picture");
            std::vector<FaultSweepReport> shards;
            for (size_t i = 0; i < documents.size(); ++i)
                shards.push_back(ReadFaultShard(args->files[i], documents[i]));
            return PrintFaultSweep(Merge(std::move(shards)), args->json);
        }
        if (!args->svg.empty())
            devkit::CheckOutputFile(args->svg);
        std::vector<PowerSweep> shards;
        for (size_t i = 0; i < documents.size(); ++i)
            shards.push_back(ReadPowerShard(args->files[i], documents[i]));
        const uint64_t cuts = shards.front().cutsOfAll;
        return PrintPowerSweep(Joined(std::move(shards), cuts, &PowerSweep::cuts, SamePowerSweep),
                               args->json, args->svg);
    };
}

}  // namespace qs_tools
