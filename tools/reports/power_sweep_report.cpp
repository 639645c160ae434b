#include "tools/reports/power_sweep_report.h"

#include <cstdio>
#include <map>

#include "tools/runner/boot_summary.h"

namespace qs_tools {

namespace {

using Json = nlohmann::ordered_json;

constexpr Verdict kVerdicts[] = {Verdict::Old, Verdict::New, Verdict::Unbootable};

struct Tally {
    std::map<Verdict, size_t> atCut, second;
    size_t secondStopped = 0;
    std::vector<const CutResult *> notRecovered;
};

Tally Count(const PowerSweep &sweep)
{
    Tally tally;
    for (const CutResult &cut : sweep.cuts) {
        ++tally.atCut[cut.atCut.verdict];
        if (cut.second.judgement)
            ++tally.second[cut.second.judgement->verdict];
        else
            ++tally.secondStopped;
        if (!cut.second.Recovered())
            tally.notRecovered.push_back(&cut);
    }
    return tally;
}

std::string VerdictText(Verdict verdict)
{
    return verdict == Verdict::Unbootable ? "unbootable"
                                          : std::string(VerdictName(verdict)) + " image bootable";
}

std::string Counts(const std::map<Verdict, size_t> &counts)
{
    std::string text;
    for (Verdict verdict : kVerdicts) {
        auto found = counts.find(verdict);
        text += (text.empty() ? "" : ", ") + std::string(VerdictName(verdict)) + " " +
                std::to_string(found == counts.end() ? 0 : found->second);
    }
    return text;
}

std::string OperationText(const sim::FlashOperation &operation)
{
    std::string text = sim::OperationName(operation.kind);
    if (operation.sector)
        return text + " of sector " + std::to_string(*operation.sector);
    return text + " of block " + std::to_string(operation.block);
}

std::string AtText(const std::vector<uint64_t> &at)
{
    std::string text;
    for (uint64_t index : at)
        text += (text.empty() ? "" : ", ") + std::to_string(index);
    return text;
}

std::string SampleText(const PowerSweep &sweep)
{
    std::string outcomes;
    for (sim::PowerCutOutcome outcome : sweep.outcomes)
        outcomes += (outcomes.empty() ? "" : ", ") + std::string(sim::PowerCutOutcomeName(outcome));
    std::string operations = !sweep.at.empty() ? "at operations " + AtText(sweep.at)
                             : sweep.every <= 1
                                 ? "at every operation"
                                 : "at operations 1, " + std::to_string(1 + sweep.every) + ", " +
                                       std::to_string(1 + 2 * sweep.every) + ", ... and the last";
    return std::to_string(sweep.cuts.size()) + " cuts " + operations + "; outcomes " + outcomes;
}

void Line(std::string &text, const char *label, const std::string &value)
{
    char head[32];
    std::snprintf(head, sizeof head, "%-22s", label);
    text += head + value + "\n";
}

std::string Row(const CutResult &cut)
{
    const FlashJudgement &at = cut.atCut;
    std::string after =
        cut.second.judgement ? VerdictName(cut.second.judgement->verdict) : std::string("stopped");
    char row[160];
    std::snprintf(row, sizeof row,
                  "%6llu  %-7s  %5u  %6s  %-9s  %-10s  %-7s  %-8s  %-7s  %-10s  %s\n",
                  static_cast<unsigned long long>(cut.index),
                  sim::OperationName(cut.operation.kind), cut.operation.block,
                  cut.operation.sector ? std::to_string(*cut.operation.sector).c_str() : "-",
                  sim::PowerCutOutcomeName(cut.outcome), at.stepLoaderChecksumOk ? "ok" : "bad",
                  ImageMatchName(at.bootLoader), at.tocAccepted ? "accepted" : "refused",
                  ImageMatchName(at.nk), VerdictName(at.verdict), after.c_str());
    return row;
}

// One line per window, each after the label given.
std::string WindowsText(const PowerSweep &sweep, std::optional<sim::PowerCutOutcome> outcome)
{
    std::string label =
        std::string(outcome ? sim::PowerCutOutcomeName(*outcome) : "any outcome") + ": ";
    std::string text;
    for (const UnbootableWindow &window : UnbootableWindows(sweep, outcome)) {
        char head[64];
        std::snprintf(head, sizeof head, "%-22s%-14s", "", text.empty() ? label.c_str() : "");
        text += head;
        text += "operations " + std::to_string(window.first) + "-" + std::to_string(window.last) +
                " (" + OperationText(sweep.operations[window.first - 1]) + " to " +
                OperationText(sweep.operations[window.last - 1]) + "), flash time " +
                SecondsText(window.startUs) + " to " + SecondsText(window.endUs) + " (" +
                SecondsText(window.endUs - window.startUs) + ")\n";
    }
    return text;
}

Json WindowsJson(const PowerSweep &sweep, std::optional<sim::PowerCutOutcome> outcome)
{
    Json windows = Json::array();
    for (const UnbootableWindow &window : UnbootableWindows(sweep, outcome))
        windows.push_back({{"first", window.first},
                           {"last", window.last},
                           {"start_us", window.startUs},
                           {"end_us", window.endUs}});
    return windows;
}

std::string NotRecoveredText(const Tally &tally)
{
    if (tally.notRecovered.empty())
        return "none: every second boot boots the old or the new image";
    std::string text;
    for (const CutResult *cut : tally.notRecovered)
        text += (text.empty() ? "" : ", ") + std::to_string(cut->index) + " " +
                sim::PowerCutOutcomeName(cut->outcome);
    return text;
}

Json JudgementJson(const FlashJudgement &judgement)
{
    return {{"steploader_checksum_ok", judgement.stepLoaderChecksumOk},
            {"boot_loader", ImageMatchName(judgement.bootLoader)},
            {"toc_accepted", judgement.tocAccepted},
            {"nk", ImageMatchName(judgement.nk)},
            {"verdict", VerdictName(judgement.verdict)}};
}

Json CountsJson(const std::map<Verdict, size_t> &counts)
{
    Json json = Json::object();
    for (Verdict verdict : kVerdicts) {
        auto found = counts.find(verdict);
        json[VerdictName(verdict)] = found == counts.end() ? 0 : found->second;
    }
    return json;
}

Json CutJson(const CutResult &cut)
{
    Json second = {
        {"judgement", cut.second.judgement ? JudgementJson(*cut.second.judgement) : Json(nullptr)},
        {"stopped", cut.second.judgement ? Json(nullptr) : Json(cut.second.stopped)},
        {"recovered", cut.second.Recovered()}};
    return {{"operation", cut.index},
            {"op", sim::OperationName(cut.operation.kind)},
            {"block", cut.operation.block},
            {"sector", cut.operation.sector ? Json(*cut.operation.sector) : Json(nullptr)},
            {"start_us", cut.operation.startUs},
            {"outcome", sim::PowerCutOutcomeName(cut.outcome)},
            {"at_cut", JudgementJson(cut.atCut)},
            {"second_boot", second}};
}

}  // namespace

std::string PowerSweepText(const PowerSweep &sweep)
{
    std::string text = "power sweep of " + sweep.device.string() + " with the " +
                       ShellVariantName(sweep.shell) + " shell\n";
    const sim::FlashUsage &usage = sweep.usage;
    Line(text, "update boot",
         std::to_string(sweep.operations.size()) + " erases and programs (erase " +
             std::to_string(usage.erases) + ", program " + std::to_string(usage.programs) +
             "), flash time " + (usage.timed ? SecondsText(usage.timeUs) : "not timed"));
    Line(text, "new images",
         sweep.newNk + (sweep.newBootLoader ? ", " + *sweep.newBootLoader : ""));
    Line(text, "before the update", VerdictText(sweep.before.verdict));
    Line(text, "without a cut", VerdictText(sweep.uncut.verdict));
    Line(text, "cuts", SampleText(sweep));
    text +=
        "\n     k  op       block  sector  outcome    StepLoader  EBoot    TOC       NK       "
        "verdict     after the second boot\n";
    for (const CutResult &cut : sweep.cuts)
        text += Row(cut);
    Tally tally = Count(sweep);
    text += "\n";
    Line(text, "at the cut", Counts(tally.atCut));
    Line(text, "after the second boot",
         Counts(tally.second) +
             (tally.secondStopped ? ", stopped " + std::to_string(tally.secondStopped) : ""));
    std::string windows = WindowsText(sweep, std::nullopt);
    for (sim::PowerCutOutcome outcome : sweep.outcomes)
        windows += WindowsText(sweep, outcome);
    if (windows.empty())
        Line(text, "unbootable windows", "none");
    else
        text += "unbootable windows\n" + windows;
    Line(text, "not recovered", NotRecoveredText(tally));
    return text;
}

Json PowerSweepJson(const PowerSweep &sweep)
{
    Json outcomes = Json::array();
    for (sim::PowerCutOutcome outcome : sweep.outcomes)
        outcomes.push_back(sim::PowerCutOutcomeName(outcome));
    const sim::FlashUsage &usage = sweep.usage;
    Json update = {
        {"operations", sweep.operations.size()},
        {"erases", usage.erases},
        {"programs", usage.programs},
        {"reads", usage.reads},
        {"timed", usage.timed},
        {"flash_time_us", usage.timeUs},
        {"nk_image", sweep.newNk},
        {"boot_loader_image", sweep.newBootLoader ? Json(*sweep.newBootLoader) : Json(nullptr)}};
    Json cuts = Json::array();
    for (const CutResult &cut : sweep.cuts)
        cuts.push_back(CutJson(cut));
    Tally tally = Count(sweep);
    Json notRecovered = Json::array();
    for (const CutResult *cut : tally.notRecovered)
        notRecovered.push_back(
            {{"operation", cut->index}, {"outcome", sim::PowerCutOutcomeName(cut->outcome)}});
    Json byOutcome = Json::object();
    for (sim::PowerCutOutcome outcome : sweep.outcomes)
        byOutcome[sim::PowerCutOutcomeName(outcome)] = WindowsJson(sweep, outcome);
    Json second = CountsJson(tally.second);
    second["stopped"] = tally.secondStopped;
    return {{"device", sweep.device.string()},
            {"shell", ShellVariantName(sweep.shell)},
            {"every", sweep.every},
            {"at", sweep.at},
            {"outcomes", outcomes},
            {"update", update},
            {"before", JudgementJson(sweep.before)},
            {"uncut", JudgementJson(sweep.uncut)},
            {"cuts", cuts},
            {"summary",
             {{"cuts", sweep.cuts.size()},
              {"at_cut", CountsJson(tally.atCut)},
              {"second_boot", second},
              {"not_recovered", notRecovered},
              {"unbootable_windows", WindowsJson(sweep, std::nullopt)},
              {"unbootable_windows_by_outcome", byOutcome}}}};
}

}  // namespace qs_tools
