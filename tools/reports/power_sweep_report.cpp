#include "tools/reports/power_sweep_report.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "tools/reports/power_sweep_transport.h"
#include "tools/runner/boot_summary.h"

namespace qs_tools {

namespace {

using Json = nlohmann::ordered_json;

constexpr Verdict kVerdicts[] = {Verdict::Old, Verdict::New, Verdict::Unbootable};

struct Tally {
    std::map<Verdict, size_t> atCut, second;
    size_t secondStopped = 0, dead = 0, mended = 0;
    std::vector<const CutResult *> broken, losing;
};

Tally Count(const PowerSweep &sweep)
{
    Tally tally;
    for (const CutResult &cut : sweep.cuts) {
        ++tally.atCut[cut.atCut.verdict];
        tally.dead += cut.Dead();
        tally.mended += cut.Mended();
        if (cut.second && cut.second->judgement)
            ++tally.second[cut.second->judgement->verdict];
        else if (cut.second)
            ++tally.secondStopped;
        if (cut.BrokenBySecondBoot())
            tally.broken.push_back(&cut);
        if (!cut.lost.empty())
            tally.losing.push_back(&cut);
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

std::string CutCount(size_t cuts)
{
    return std::to_string(cuts) + (cuts == 1 ? " cut" : " cuts");
}

std::string AtText(const std::vector<uint64_t> &at)
{
    std::string text;
    for (uint64_t index : at)
        text += (text.empty() ? "" : ", ") + std::to_string(index);
    return text;
}

const char *KindsName(CutKinds kinds)
{
    return kinds == CutKinds::Flash ? "flash" : kinds == CutKinds::Files ? "files" : "both";
}

std::string SampleText(const PowerSweep &sweep)
{
    std::string outcomes;
    for (sim::PowerCutOutcome outcome : sweep.outcomes)
        outcomes += (outcomes.empty() ? "" : ", ") + std::string(sim::PowerCutOutcomeName(outcome));
    const std::string kinds = sweep.kinds == CutKinds::Flash   ? " erase and program"
                              : sweep.kinds == CutKinds::Files ? " file change"
                                                               : "";
    std::string points = !sweep.at.empty() ? "at points " + AtText(sweep.at)
                         : sweep.every <= 1
                             ? "at every" + kinds + " point"
                             : "at one" + kinds + " point in " + std::to_string(sweep.every) +
                                   " (the first, every " + std::to_string(sweep.every) +
                                   "th after it, and the last)";
    const std::string shard = sweep.shards < 2
                                  ? ""
                                  : "; shard " + std::to_string(sweep.shard) + " of " +
                                        std::to_string(sweep.shards) + ", of " +
                                        std::to_string(sweep.cutsOfAll) + " cuts in all";
    return CutCount(sweep.cuts.size()) + " " + points + "; outcomes " + outcomes +
           " (a torn write of a file lands a prefix that seed " + std::to_string(sweep.seed) +
           " chooses)" + shard;
}

void Line(std::string &text, const char *label, const std::string &value)
{
    char head[32];
    std::snprintf(head, sizeof head, "%-22s", label);
    text += head + value + "\n";
}

const FilesJudgement &LastFiles(const CutResult &cut)
{
    return cut.second ? cut.second->files : cut.filesAtCut;
}

std::string OpName(const CutPoint &point)
{
    return point.kind == CutPoint::Kind::Flash ? sim::OperationName(point.flash.kind)
                                               : point.file.change;
}

uint64_t Landed(const CutResult &cut, const PowerSweep &sweep)
{
    const ce_host::FileChangeRecord &file = cut.point.file;
    return cut.outcome == sim::PowerCutOutcome::Torn
               ? ce_host::TornLength(file.bytes, cut.point.ordinal, sweep.seed)
           : cut.outcome == sim::PowerCutOutcome::Completed ? file.bytes
                                                            : 0;
}

// What a file point acted on: "[CopyFileExW \NAND\apps\a.dll: bytes 0-17407, 912 landed]".
std::string FileTarget(const CutResult &cut, const PowerSweep &sweep)
{
    const ce_host::FileChangeRecord &file = cut.point.file;
    std::string text = "  [" + file.call + " " + file.target;
    if (file.change == "write") {
        text += ": bytes " + std::to_string(file.offset) + "-" +
                std::to_string(file.offset + file.bytes - 1);
        if (cut.outcome == sim::PowerCutOutcome::Torn)
            text += ", " + std::to_string(Landed(cut, sweep)) + " landed";
    }
    return text + "]";
}

std::string Row(const CutResult &cut, const PowerSweep &sweep)
{
    const FlashJudgement &at = cut.atCut;
    const bool flash = cut.point.kind == CutPoint::Kind::Flash;
    std::string after = cut.Dead()              ? "dead"
                        : cut.second->judgement ? VerdictName(cut.second->judgement->verdict)
                                                : "stopped";
    char row[200];
    std::snprintf(
        row, sizeof row,
        "%6llu  %-13s  %5s  %6s  %-9s  %-10s  %-7s  %-8s  %-7s  %-10s  %-11s  %-8s  %s",
        static_cast<unsigned long long>(cut.index), OpName(cut.point).c_str(),
        flash ? std::to_string(cut.point.flash.block).c_str() : "-",
        flash && cut.point.flash.sector ? std::to_string(*cut.point.flash.sector).c_str() : "-",
        sim::PowerCutOutcomeName(cut.outcome), at.stepLoaderChecksumOk ? "ok" : "bad",
        ImageMatchName(at.bootLoader), at.tocAccepted ? "accepted" : "refused",
        ImageMatchName(at.nk), VerdictName(at.verdict), after.c_str(),
        AppsMatchName(LastFiles(cut).apps), cut.lost.empty() ? "kept" : "LOST");
    std::string text = row + (flash ? "" : FileTarget(cut, sweep)) + "\n";
    for (const FileLoss &loss : cut.lost)
        text += "            lost: " + loss.what + ": " + loss.how + "\n";
    return text;
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
        text += "points " + std::to_string(window.first) + "-" + std::to_string(window.last) +
                " (" + CutPointText(sweep.points[window.first - 1]) + " to " +
                CutPointText(sweep.points[window.last - 1]) + "), flash time " +
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

std::string CutsText(const std::vector<const CutResult *> &cuts, const char *none)
{
    if (cuts.empty())
        return none;
    std::string text = std::to_string(cuts.size()) + ": ";
    for (size_t i = 0; i < cuts.size(); ++i)
        text += (i ? ", " : "") + std::to_string(cuts[i]->index) + " " +
                sim::PowerCutOutcomeName(cuts[i]->outcome);
    return text;
}

std::string LossesText(const std::vector<FileLoss> &lost)
{
    std::string text;
    for (const FileLoss &loss : lost)
        text += (text.empty() ? "" : "; ") + loss.what + " (" + loss.how + ")";
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

Json LossesJson(const std::vector<FileLoss> &lost)
{
    Json json = Json::array();
    for (const FileLoss &loss : lost)
        json.push_back({{"what", loss.what}, {"how", loss.how}});
    return json;
}

Json FilesJson(const FilesJudgement &files)
{
    return {{"apps", AppsMatchName(files.apps)},
            {"system_info_whole", files.systemInfoWhole},
            {"lost", LossesJson(files.lost)}};
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

Json PointJson(const CutResult &cut, const PowerSweep &sweep)
{
    const CutPoint &point = cut.point;
    Json json = {{"point", cut.index},
                 {"kind", point.kind == CutPoint::Kind::Flash ? "flash" : "files"},
                 {"op", OpName(point)}};
    if (point.kind == CutPoint::Kind::Flash) {
        json["block"] = point.flash.block;
        json["sector"] = point.flash.sector ? Json(*point.flash.sector) : Json(nullptr);
    } else {
        json["call"] = point.file.call;
        json["target"] = point.file.target;
        if (point.file.change == "write") {
            json["offset"] = point.file.offset;
            json["bytes"] = point.file.bytes;
            json["landed"] = Landed(cut, sweep);
        }
    }
    json["start_us"] = point.startUs;
    return json;
}

Json CutJson(const CutResult &cut, const PowerSweep &sweep)
{
    Json json = PointJson(cut, sweep);
    json["outcome"] = sim::PowerCutOutcomeName(cut.outcome);
    json["at_cut"] = JudgementJson(cut.atCut);
    json["at_cut"]["files"] = FilesJson(cut.filesAtCut);
    json["dead"] = cut.Dead();
    json["second_boot"] =
        cut.Dead()
            ? Json(nullptr)
            : Json{{"judgement",
                    cut.second->judgement ? JudgementJson(*cut.second->judgement) : Json(nullptr)},
                   {"stopped", cut.second->judgement ? Json(nullptr) : Json(cut.second->stopped)},
                   {"files", FilesJson(cut.second->files)},
                   {"recovered", cut.second->Recovered()}};
    json["mended"] = cut.Mended();
    json["lost"] = LossesJson(cut.lost);
    return json;
}

Json CutListJson(const std::vector<const CutResult *> &cuts, bool withLosses)
{
    Json list = Json::array();
    for (const CutResult *cut : cuts) {
        Json item = {{"point", cut->index}, {"outcome", sim::PowerCutOutcomeName(cut->outcome)}};
        if (withLosses)
            item["lost"] = LossesJson(cut->lost);
        list.push_back(item);
    }
    return list;
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
             "), flash time " + (usage.timed ? SecondsText(usage.timeUs) : "not timed") + "; " +
             std::to_string(sweep.fileChanges.size()) + " file changes");
    Line(text, "new images",
         sweep.newNk.empty()
             ? std::string("none: the package holds no operating-system image")
             : sweep.newNk + (sweep.newBootLoader ? ", " + *sweep.newBootLoader : ""));
    Line(text, "before the update", VerdictText(sweep.before.verdict));
    Line(text, "without a cut",
         VerdictText(sweep.uncut.verdict) + ", \\NAND\\apps " +
             AppsMatchName(sweep.filesUncut.apps) +
             (sweep.filesUncut.lost.empty() ? "" : "; loses " + LossesText(sweep.filesUncut.lost)));
    Line(text, "cuts", SampleText(sweep));
    text +=
        "\n     k  op             block  sector  outcome    StepLoader  EBoot    TOC       NK "
        "      verdict     second boot  apps      files\n";
    for (const CutResult &cut : sweep.cuts)
        text += Row(cut, sweep);
    Tally tally = Count(sweep);
    text += "\n";
    Line(text, "at the cut", Counts(tally.atCut));
    Line(text, "after the second boot",
         Counts(tally.second) +
             (tally.secondStopped ? ", stopped " + std::to_string(tally.secondStopped) : "") +
             "; none after " +
             (tally.dead == 1 ? "the dead cut"
                              : "the " + std::to_string(tally.dead) + " dead cuts"));
    Line(text, "dead",
         CutCount(tally.dead) +
             ": the flash boots nothing at the cut, so no shell runs again "
             "to mend it");
    Line(text, "mended",
         CutCount(tally.mended) +
             ": bootable but not the new image at the cut, the new image after the second boot");
    Line(text, "broken by 2nd boot",
         CutsText(tally.broken, "none: every second boot leaves the old or the new image"));
    Line(text, "lose data", CutsText(tally.losing, "none"));
    std::string windows = WindowsText(sweep, std::nullopt);
    for (sim::PowerCutOutcome outcome : sweep.outcomes)
        windows += WindowsText(sweep, outcome);
    if (windows.empty())
        Line(text, "unbootable windows", "none");
    else
        text += "unbootable windows\n" + windows;
    return text;
}

Json PowerSweepJson(const PowerSweep &sweep)
{
    Json outcomes = Json::array();
    for (sim::PowerCutOutcome outcome : sweep.outcomes)
        outcomes.push_back(sim::PowerCutOutcomeName(outcome));
    const sim::FlashUsage &usage = sweep.usage;
    Json update = {
        {"points", sweep.points.size()},
        {"operations", sweep.operations.size()},
        {"erases", usage.erases},
        {"programs", usage.programs},
        {"reads", usage.reads},
        {"file_changes", sweep.fileChanges.size()},
        {"timed", usage.timed},
        {"flash_time_us", usage.timeUs},
        {"nk_image", sweep.newNk.empty() ? Json(nullptr) : Json(sweep.newNk)},
        {"boot_loader_image", sweep.newBootLoader ? Json(*sweep.newBootLoader) : Json(nullptr)}};
    Json cuts = Json::array();
    for (const CutResult &cut : sweep.cuts)
        cuts.push_back(CutJson(cut, sweep));
    Tally tally = Count(sweep);
    Json byOutcome = Json::object();
    for (sim::PowerCutOutcome outcome : sweep.outcomes)
        byOutcome[sim::PowerCutOutcomeName(outcome)] = WindowsJson(sweep, outcome);
    Json second = CountsJson(tally.second);
    second["stopped"] = tally.secondStopped;
    Json uncut = JudgementJson(sweep.uncut);
    uncut["files"] = FilesJson(sweep.filesUncut);
    Json json = {{"device", sweep.device.string()},
                 {"shell", ShellVariantName(sweep.shell)},
                 {"only", KindsName(sweep.kinds)},
                 {"every", sweep.every},
                 {"at", sweep.at},
                 {"outcomes", outcomes},
                 {"seed", sweep.seed},
                 {"update", update},
                 {"before", JudgementJson(sweep.before)},
                 {"uncut", uncut},
                 {"cuts", cuts},
                 {"summary",
                  {{"cuts", sweep.cuts.size()},
                   {"at_cut", CountsJson(tally.atCut)},
                   {"second_boot", second},
                   {"dead", tally.dead},
                   {"mended", tally.mended},
                   {"broken_by_second_boot", CutListJson(tally.broken, false)},
                   {"lose_data", CutListJson(tally.losing, true)},
                   {"unbootable_windows", WindowsJson(sweep, std::nullopt)},
                   {"unbootable_windows_by_outcome", byOutcome}}}};
    // A shard carries the whole record, for quordev sweep merge to rebuild the sweep from.
    if (sweep.shards > 1)
        json["shard"] = {{"index", sweep.shard},
                         {"of", sweep.shards},
                         {"cuts_of_all", sweep.cutsOfAll},
                         {"sweep", PowerSweepTransport(sweep)}};
    return json;
}

bool PowerSweepHolds(const PowerSweep &sweep)
{
    return std::all_of(sweep.cuts.begin(), sweep.cuts.end(), [](const CutResult &cut) {
        return !cut.Dead() && !cut.BrokenBySecondBoot() && cut.lost.empty();
    });
}

}  // namespace qs_tools
