#include "tools/reports/power_sweep_transport.h"

#include "sim/error.h"

namespace qs_tools {

using WireJson = nlohmann::json;

namespace {

sim::PowerCutOutcome OutcomeOf(const WireJson &name)
{
    std::optional<sim::PowerCutOutcome> outcome =
        sim::ParsePowerCutOutcome(name.get<std::string>());
    if (!outcome)
        throw sim::DeviceError("no power-cut outcome " + name.dump());
    return *outcome;
}

WireJson OperationJson(const sim::FlashOperation &operation)
{
    return {{"kind", sim::OperationName(operation.kind)},
            {"block", operation.block},
            {"sector", operation.sector ? WireJson(*operation.sector) : WireJson(nullptr)},
            {"start_us", operation.startUs},
            {"duration_us", operation.durationUs}};
}

sim::FlashOperation OperationFromJson(const WireJson &json)
{
    sim::FlashOperation operation;
    operation.kind = json.at("kind") == "erase" ? sim::FlashOperation::Kind::Erase
                                                : sim::FlashOperation::Kind::Program;
    operation.block = json.at("block");
    if (!json.at("sector").is_null())
        operation.sector = json.at("sector").get<uint32_t>();
    operation.startUs = json.at("start_us");
    operation.durationUs = json.at("duration_us");
    return operation;
}

WireJson ChangeJson(const ce_host::FileChangeRecord &change)
{
    return {{"call", change.call},
            {"change", change.change},
            {"target", change.target},
            {"offset", change.offset},
            {"bytes", change.bytes},
            {"flash_operations_before", change.flashOperationsBefore},
            {"fallible_call", change.fallibleCall}};
}

ce_host::FileChangeRecord ChangeFromJson(const WireJson &json)
{
    return {json.at("call"),         json.at("change"), json.at("target"),
            json.at("offset"),       json.at("bytes"),  json.at("flash_operations_before"),
            json.at("fallible_call")};
}

}  // namespace

WireJson CutFindingsJson(const CutResult &cut)
{
    WireJson result = {{"at_cut", cut.atCut}, {"files_at_cut", cut.filesAtCut}};
    if (cut.second)
        result["second"] = {{"judgement", cut.second->judgement ? WireJson(*cut.second->judgement)
                                                                : WireJson(nullptr)},
                            {"stopped", cut.second->stopped},
                            {"files", cut.second->files}};
    return result;
}

CutResult CutFromFindings(const PowerSweep &sweep, uint64_t index, sim::PowerCutOutcome outcome,
                          const WireJson &findings)
{
    CutResult cut{index,
                  sweep.points.at(index - 1),
                  outcome,
                  findings.at("at_cut").get<FlashJudgement>(),
                  findings.at("files_at_cut").get<FilesJudgement>(),
                  std::nullopt,
                  {}};
    if (findings.contains("second")) {
        const WireJson &second = findings["second"];
        cut.second = SecondBoot{std::nullopt, second.at("stopped").get<std::string>(),
                                second.at("files").get<FilesJudgement>()};
        if (!second.at("judgement").is_null())
            cut.second->judgement = second["judgement"].get<FlashJudgement>();
    }
    return cut;
}

WireJson PowerSweepTransport(const PowerSweep &sweep)
{
    WireJson outcomes = WireJson::array(), operations = WireJson::array(),
             changes = WireJson::array(), cuts = WireJson::array();
    for (sim::PowerCutOutcome outcome : sweep.outcomes)
        outcomes.push_back(sim::PowerCutOutcomeName(outcome));
    for (const sim::FlashOperation &operation : sweep.operations)
        operations.push_back(OperationJson(operation));
    for (const ce_host::FileChangeRecord &change : sweep.fileChanges)
        changes.push_back(ChangeJson(change));
    for (const CutResult &cut : sweep.cuts) {
        WireJson item = CutFindingsJson(cut);
        item["index"] = cut.index;
        item["outcome"] = sim::PowerCutOutcomeName(cut.outcome);
        item["lost"] = cut.lost;
        cuts.push_back(item);
    }
    const sim::FlashUsage &usage = sweep.usage;
    return {{"device", sweep.device.string()},
            {"shell", ShellVariantName(sweep.shell)},
            {"every", sweep.every},
            {"at", sweep.at},
            {"outcomes", outcomes},
            {"kinds", int(sweep.kinds)},
            {"seed", sweep.seed},
            {"operations", operations},
            {"file_changes", changes},
            {"usage",
             {{"erases", usage.erases},
              {"programs", usage.programs},
              {"reads", usage.reads},
              {"time_us", usage.timeUs},
              {"timed", usage.timed}}},
            {"nk_image", sweep.newNk},
            {"boot_loader_image",
             sweep.newBootLoader ? WireJson(*sweep.newBootLoader) : WireJson(nullptr)},
            {"before", sweep.before},
            {"uncut", sweep.uncut},
            {"files_uncut", sweep.filesUncut},
            {"shard", sweep.shard},
            {"shards", sweep.shards},
            {"cuts_of_all", sweep.cutsOfAll},
            {"cuts", cuts}};
}

PowerSweep PowerSweepFromTransport(const WireJson &json)
{
    try {
        PowerSweep sweep;
        sweep.device = json.at("device").get<std::string>();
        std::optional<ShellVariant> shell = ParseShellVariant(json.at("shell"));
        if (!shell)
            throw sim::DeviceError("no shell " + json.at("shell").dump());
        sweep.shell = *shell;
        sweep.every = json.at("every");
        sweep.at = json.at("at").get<std::vector<uint64_t>>();
        for (const WireJson &outcome : json.at("outcomes"))
            sweep.outcomes.push_back(OutcomeOf(outcome));
        sweep.kinds = CutKinds(json.at("kinds").get<int>());
        sweep.seed = json.at("seed");
        for (const WireJson &operation : json.at("operations"))
            sweep.operations.push_back(OperationFromJson(operation));
        for (const WireJson &change : json.at("file_changes"))
            sweep.fileChanges.push_back(ChangeFromJson(change));
        sweep.points = OrderCutPoints(sweep.operations, sweep.fileChanges);
        const WireJson &usage = json.at("usage");
        sweep.usage = {usage.at("erases"), usage.at("programs"), usage.at("reads"),
                       usage.at("time_us"), usage.at("timed")};
        sweep.newNk = json.at("nk_image");
        if (!json.at("boot_loader_image").is_null())
            sweep.newBootLoader = json.at("boot_loader_image").get<std::string>();
        sweep.before = json.at("before");
        sweep.uncut = json.at("uncut");
        sweep.filesUncut = json.at("files_uncut");
        sweep.shard = json.at("shard");
        sweep.shards = json.at("shards");
        sweep.cutsOfAll = json.at("cuts_of_all");
        for (const WireJson &item : json.at("cuts")) {
            CutResult cut =
                CutFromFindings(sweep, item.at("index"), OutcomeOf(item.at("outcome")), item);
            cut.lost = item.at("lost").get<std::vector<FileLoss>>();
            sweep.cuts.push_back(cut);
        }
        return sweep;
    } catch (const WireJson::exception &e) {
        throw sim::DeviceError(std::string("not a power-cut sweep's record: ") + e.what());
    } catch (const std::out_of_range &e) {
        throw sim::DeviceError(std::string("a cut at a point the update boot lacks: ") + e.what());
    }
}

}  // namespace qs_tools
