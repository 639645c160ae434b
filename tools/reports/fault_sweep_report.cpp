#include "tools/reports/fault_sweep_report.h"

#include <cstdio>
#include <sstream>

#include "sim/error.h"

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

void PrintText(std::ostream &out, const FaultSweepReport &report)
{
    out << "fault sweep of " << report.device << " with the " << ShellVariantName(report.shell)
        << " shell, "
        << (report.pairs
                ? "two fault points failing in each boot (" + std::to_string(report.rows.size()) +
                      " pairs drawn with seed " + std::to_string(report.seed) + "), "
                : "")
        << "each fault " << (report.lasting ? "lasting" : "once")
        << ", a failed erase or program leaving "
        << (report.torn ? "the flash torn" : "the flash untouched") << ": " << report.calls
        << " fallible calls in the boot without a fault; the device boots " << report.bootsBefore
        << " before it";
    if (report.shards > 1)
        out << "; shard " << report.shard << " of " << report.shards << " of its points";
    out << "\n";
    char heading[160];
    std::snprintf(heading, sizeof heading, "%6s  %-6s  %-10s  %-10s  %-18s  %-21s  %s\n", "n",
                  "result", "then boots", "next boot", "call", "stage",
                  "what the shell did  [what the call acted on]");
    out << heading << RowLine(report.counting);
    std::vector<std::string> breached;
    for (const FaultRow &row : report.rows) {
        out << RowLine(row);
        if (!row.breaches.empty())
            breached.push_back(std::to_string(row.n));
    }
    out << report.rows.size() << (report.pairs ? " pairs" : "") << " of " << report.calls
        << " fault points swept: " << report.breaches
        << (report.breaches == 1 ? " breach" : " breaches");
    if (!report.counting.breaches.empty())
        breached.insert(breached.begin(), "the boot without a fault");
    for (size_t i = 0; i < breached.size(); ++i)
        out << (i ? ", " : " (") << breached[i] << (i + 1 == breached.size() ? ")" : "");
    out << "\n";
    out << report.leftDead << " left the device dead, its flash starting nothing"
        << ByStage(report.rows, &FaultRow::leftDead) << "; the shell asked for a restart"
        << " into a dead flash in " << report.restartsIntoDead
        << ByStage(report.rows, &FaultRow::restartIntoDead) << "; " << report.mendedByNextBoot
        << " mended by the next boot" << ByStage(report.rows, &FaultRow::mendedByNextBoot) << "\n";
    if (report.pairs)
        out << report.secondsNotReached
            << " pairs whose second point the boot never reached, the first fault having "
               "changed its way; in "
            << report.secondsFailedInstead << " of them the call at its number failed instead\n";
}

}  // namespace

std::string FaultSweepText(const FaultSweepReport &report)
{
    std::ostringstream out;
    PrintText(out, report);
    return out.str();
}

nlohmann::ordered_json FaultRowJson(const FaultRow &row)
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

nlohmann::ordered_json FaultSweepJson(const FaultSweepReport &report)
{
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    for (const FaultRow &row : report.rows)
        rows.push_back(FaultRowJson(row));
    nlohmann::ordered_json json = {{"device", report.device},
                                   {"shell", ShellVariantName(report.shell)},
                                   {"faults", report.lasting ? "lasting" : "once"},
                                   {"leaves", report.torn ? "torn" : "untouched"}};
    if (report.pairs) {
        json["pairs"] = report.rows.size();
        json["seed"] = report.seed;
    }
    if (report.shards > 1)
        json["shard"] = {
            {"index", report.shard}, {"of", report.shards}, {"points_of_all", report.selected}};
    json.update(nlohmann::ordered_json{{"calls", report.calls},
                                       {"swept", report.rows.size()},
                                       {"boots_before", report.bootsBefore},
                                       {"counting_boot", FaultRowJson(report.counting)},
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

FaultRow FaultRowFromJson(const nlohmann::json &json)
{
    FaultRow row;
    row.n = json.value("n", uint64_t(0));
    row.call = json.value("call", "");
    row.target = json.value("target", "");
    row.leaves = json.value("leaves", "");
    json.at("stage").get_to(row.stage);
    json.at("did").get_to(row.did);
    json.at("boots").get_to(row.boots);
    json.at("boots_next").get_to(row.bootsNext);
    json.at("left_dead").get_to(row.leftDead);
    json.at("restart_into_dead").get_to(row.restartIntoDead);
    json.at("mended_by_next_boot").get_to(row.mendedByNextBoot);
    row.nextFlashUs = json.value("next_flash_us", uint64_t(0));
    json.at("breaches").get_to(row.breaches);
    json.at("notes").get_to(row.notes);
    if (json.contains("second")) {
        const nlohmann::json &later = json.at("second");
        later.at("n").get_to(row.second.n);
        later.at("call").get_to(row.second.call);
        later.at("target").get_to(row.second.target);
        later.at("stage").get_to(row.second.stage);
        later.at("reached").get_to(row.second.reached);
        if (!later.at("failed_instead").is_null())
            later.at("failed_instead").get_to(row.second.failedInstead);
        row.second.leaves = later.value("leaves", "");
    }
    return row;
}

FaultSweepReport FaultSweepFromJson(const nlohmann::json &json)
{
    FaultSweepReport report;
    try {
        json.at("device").get_to(report.device);
        std::optional<ShellVariant> shell = ParseShellVariant(json.at("shell").get<std::string>());
        if (!shell)
            throw sim::DeviceError("an unknown shell");
        report.shell = *shell;
        report.lasting = json.at("faults").get<std::string>() == "lasting";
        report.torn = json.at("leaves").get<std::string>() == "torn";
        report.pairs = json.contains("pairs");
        report.seed = json.value("seed", uint64_t(0));
        if (json.contains("shard")) {
            json.at("shard").at("index").get_to(report.shard);
            json.at("shard").at("of").get_to(report.shards);
            json.at("shard").at("points_of_all").get_to(report.selected);
        }
        json.at("calls").get_to(report.calls);
        json.at("boots_before").get_to(report.bootsBefore);
        report.counting = FaultRowFromJson(json.at("counting_boot"));
        for (const nlohmann::json &row : json.at("rows"))
            report.rows.push_back(FaultRowFromJson(row));
    } catch (const nlohmann::json::exception &error) {
        // "[json.exception.out_of_range.403] key 'device' not found": the library's tag left out.
        const std::string what = error.what();
        const size_t tag = what.find("] ");
        throw sim::DeviceError("not a fault sweep's JSON: " +
                               (tag == what.npos ? what : what.substr(tag + 2)));
    }
    TallyFaultRows(report);
    return report;
}

}  // namespace qs_tools
