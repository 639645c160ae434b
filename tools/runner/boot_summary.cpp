#include "tools/runner/boot_summary.h"

#include <cstdio>

#include <set>
#include <string_view>

#include "devkit/device_view.h"
#include "sim/flash_array.h"
#include "sim/flash_driver.h"
#include "sim/power_controller.h"
#include "tools/runner/live_echo.h"

namespace qs_tools {

using devkit::Joined;

namespace {

using Event = sim::Journal::Event;

// The 4-byte little-endian word at the start of a buffer.
std::optional<uint32_t> WordOf(const std::string &hex)
{
    std::vector<uint8_t> bytes = FromHex(hex);
    if (bytes.size() < 4)
        return std::nullopt;
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
}

bool IsAcceptedPowerCode(const Event &event, uint32_t code)
{
    return event["event"] == "ioctl" && event["device"] == "PWR1:" && event["code"] == code &&
           event["ok"] == true;
}

void ReadPowerControl(const Event &event, BootSummary &summary)
{
    using sim::PowerController;
    if (IsAcceptedPowerCode(event, PowerController::kGetBootKeyStatus)) {
        std::vector<uint8_t> out = FromHex(event["out"].get<std::string>());
        if (!out.empty())
            summary.bootKey = out[0];
    } else if (IsAcceptedPowerCode(event, PowerController::kSetAppExecuteFlag)) {
        summary.appExecuteFlag = WordOf(event["in"].get<std::string>());
    } else if (IsAcceptedPowerCode(event, PowerController::kReboot)) {
        summary.restartRequested = true;
        summary.restartAtMs = event["t"];
    }
}

bool IsWrittenRun(const Event &event)
{
    return event["event"] == "ioctl" && event["device"] == "DSK1:" &&
           event["code"] == sim::FlashDriver::kWriteSector && event["ok"] == true &&
           event.contains("first");
}

// The blocks of a merged run of sector writes.
void AddWrittenBlocks(const Event &event, std::set<uint32_t> &blocks)
{
    uint32_t first = event["first"], count = event["count"];
    for (uint32_t sector = first; sector < first + count; ++sector)
        blocks.insert(sector / sim::kSectorsPerBlock);
}

// An erase or a sector write that the flash refused: "the erase of block 0".
void ReadRefusedChange(const Event &event, std::vector<std::string> &refused)
{
    if (event["device"] != "DSK1:" || event["ok"] == true)
        return;
    std::string change;
    if (event["code"] == sim::FlashDriver::kEraseBlock)
        change = "the erase of block " + std::to_string(WordOf(event["in"]).value_or(0));
    else if (event["code"] == sim::FlashDriver::kWriteSector && event.contains("first"))
        change = "a program of block " +
                 std::to_string(event["first"].get<uint32_t>() / sim::kSectorsPerBlock);
    if (!change.empty() && (refused.empty() || refused.back() != change))
        refused.push_back(change);
}

// A line of the debug log as the shell printed it, without its line end.
std::string LineOf(const std::string &text)
{
    return text.substr(0, text.find_last_not_of("\r\n") + 1);
}

// The decimal number that follows `before` somewhere in the line and is itself followed by
// `after`: "[QuorShell]UpdateSystemImage -- 1 " gives 1 for ("UpdateSystemImage -- ", " ").
std::optional<std::string_view> NumberBetween(std::string_view text, std::string_view before,
                                              std::string_view after, bool atStart = false)
{
    for (size_t at = text.find(before); at != text.npos; at = text.find(before, at + 1)) {
        if (atStart && at != 0)
            break;
        const size_t digits = at + before.size();
        size_t end = digits;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9')
            ++end;
        if (end > digits && text.substr(end).starts_with(after))
            return text.substr(digits, end - digits);
    }
    return std::nullopt;
}

// A line that says something failed. TOC_Read's failure only makes the shell start from a
// default TOC, so it is not one.
bool SaysFailure(std::string_view text)
{
    static constexpr std::string_view kWords[] = {
        "ERROR",   "not match",         "too small", "out of range", "not written",
        "give up", "Invalid Parameter", "refused:",  "not started"};
    for (std::string_view word : kWords)
        if (text.find(word) != text.npos)
            return true;
    for (size_t at = text.find("fail"); at != text.npos; at = text.find("fail", at + 1))
        if (!text.substr(at + 4).starts_with(". So Initialize TOC"))
            return true;
    return false;
}

// The shell's lines tell what the update offered, what an image writer skipped, what failed
// and how the update ended. A failure is the first line of its part that says so: the cause,
// before the lines that pass it on.
class OsUpdateReading {
public:
    void Read(const std::string &text, BootSummary &summary, std::set<uint32_t> &skipped)
    {
        std::optional<std::string_view> number;
        if (text.find("[QuorShell] Write") != text.npos &&
            ((number =
                  NumberBetween(text, "[QuorShell] WriteEBootImage: ", " block is bad block")) ||
             (number = NumberBetween(text, "[QuorShell] WriteNK: ", " block is bad block")))) {
            skipped.insert(uint32_t(std::stoul(std::string(*number))));
        } else if ((number = NumberBetween(text, "[QuorShell]UpdateSystemImage -- ", " "))) {
            summary.osUpdate = *number != "0";
            if (!*summary.osUpdate && summary.osUpdateFailure.empty())
                summary.osUpdateFailure = LineOf(text);
            part_ = Part::Done;
        } else if (text.starts_with("Is eboot update enabled? 0")) {
            summary.bootLoaderFailure = LineOf(text);  // no boot loader is looked for
        } else if (text.starts_with("Find EBoot Image Path==")) {
            part_ = Part::BootLoaderSearch;
        } else if (text.starts_with("Found EBoot Image!")) {
            part_ = Part::BootLoader;
            summary.bootLoader = false;
        } else if (text.starts_with("WriteEBootImage -- return 1")) {
            summary.bootLoader = true;
        } else if (text.starts_with("Find NK Image Path==")) {
            part_ = Part::Nk;
        } else if (constexpr std::string_view kChosen = "Update File Path : ";
                   text.starts_with(kChosen) && text.ends_with(" \r\n") &&
                   text.size() >= kChosen.size() + 3) {
            (part_ == Part::BootLoader ? summary.bootLoaderImage : summary.nkImage) =
                text.substr(kChosen.size(), text.size() - kChosen.size() - 3);
        } else if (text.find("Signature is not match") != std::string::npos) {
            summary.signatureRefused = true;
        } else if (constexpr std::string_view kSafe = "[QuorShell] SafeUpdate: ",
                   kVerified = " signature verified \r\n";
                   text.starts_with(kSafe) && text.ends_with(kVerified)) {
            summary.signaturesVerified.push_back(std::string(
                text.substr(kSafe.size(), text.size() - kSafe.size() - kVerified.size())));
        }
        if (part_ == Part::Done || part_ == Part::BootLoaderSearch || !SaysFailure(text))
            return;
        // The flash layer's line names a control code, and the safe variant's line of a failed
        // try is followed by the next; the step's own line after them says more.
        std::string &failure =
            part_ == Part::BootLoader ? summary.bootLoaderFailure : summary.osUpdateFailure;
        if (failure.empty() || (IsPassedOn(failure) && !IsPassedOn(text)))
            failure = LineOf(text);
    }

private:
    static bool IsPassedOn(const std::string &text)
    {
        return text.starts_with("[QuorShell]FMD ") ||
               NumberBetween(text, "[QuorShell] SafeUpdate: block ", " not written, try ", true);
    }

    enum class Part { Start, BootLoaderSearch, BootLoader, Nk, Done };
    Part part_ = Part::Start;
};

// The installation's lines tell its result: the NAND volume missing, the application folder
// verified, the previous one moved back after five failed compares, or a copy of the
// application folder failing after a failed compare.
class AppDataReading {
public:
    void Read(const std::string &text, BootSummary &summary)
    {
        if (text.starts_with("QuorShell: CopyAPPFiles ++")) {
            *this = {};
            summary.appData = true;
            summary.appDataDetail = "nothing verified (no apps folder in the update)";
        } else if (text.starts_with("QuorShell: CopyAppFiles NAND is not exist")) {
            Fail(summary, "\\NAND is missing; nothing touched", text);
        } else if (text.starts_with("CopyAPPFiles: CheckExeFile fail")) {
            ++failedCompares_;
            lastFailedCompare_ = text;
        } else if (text.starts_with("CopyAPPFiles: DeleteAllFile \\NAND\\apps_bk")) {
            summary.appDataDetail =
                "apps verified at compare " + std::to_string(failedCompares_ + 1);
        } else if (text.starts_with("CopyAPPFiles: MoveFile \\NAND\\apps_bk -> \\NAND\\apps")) {
            Fail(summary,
                 std::to_string(failedCompares_) +
                     " compares failed; the previous apps folder is back",
                 lastFailedCompare_);
        } else if (text.starts_with("CopyAPPFiles: CopyExeFile fail")) {
            if (failedCompares_ > 0)
                Fail(summary, "a copy of apps failed; the backup stays in \\NAND\\apps_bk", text);
            else
                mainCopyFailed_ = true;
        } else if (text.starts_with("OSUPDATE: CopyAPPFiles --") && mainCopyFailed_ &&
                   summary.appData == true) {
            summary.appDataDetail += " (the copy of the whole tree failed)";
        }
    }

private:
    static void Fail(BootSummary &summary, const std::string &detail, const std::string &text)
    {
        summary.appData = false;
        summary.appDataDetail = detail;
        summary.appDataFailure = LineOf(text);
    }

    int failedCompares_ = 0;
    std::string lastFailedCompare_;
    bool mainCopyFailed_ = false;
};

// "0.412 s (erase 30, program 1800, read 1900 operations)"
std::string FlashTimeText(const sim::FlashUsage &flash)
{
    std::string counts = "(erase " + std::to_string(flash.erases) + ", program " +
                         std::to_string(flash.programs) + ", read " + std::to_string(flash.reads) +
                         " operations)";
    if (!flash.timed)
        return "not timed: no flash.timing " + counts;
    return SecondsText(flash.timeUs) + " " + counts;
}

void AddLines(std::string &text, const char *label, const std::vector<std::string> &lines,
              const std::string &whenEmpty)
{
    char head[32];
    std::snprintf(head, sizeof head, "%-18s", label);
    if (lines.empty()) {
        text += head + whenEmpty + "\n";
        return;
    }
    for (const std::string &line : lines) {
        text += head + line + "\n";
        std::snprintf(head, sizeof head, "%-18s", "");
    }
}

void AddLine(std::string &text, const char *label, const std::string &value)
{
    AddLines(text, label, {value}, "");
}

// A shell's line as it printed it, in quotes.
std::string Quoted(const std::string &line)
{
    return "\"" + line + "\"";
}

// "NK image R5nk_1.bin", or "NK image" when the shell named no file.
std::string Named(const std::string &what, const std::string &devicePath)
{
    return devicePath.empty() ? what : what + " " + DeviceFileName(devicePath);
}

// What became of the boot loader and the NK image, each failure with the shell's line, and a
// refused trailer's fields beside the two the device checks.
std::vector<std::string> OsUpdateLines(const BootSummary &s)
{
    std::vector<std::string> lines;
    if (!s.bootLoader && !s.bootLoaderFailure.empty())
        lines.push_back("boot loader not looked for: " + Quoted(s.bootLoaderFailure));
    if (s.bootLoader)
        lines.push_back(Named("boot loader", s.bootLoaderImage) +
                        (*s.bootLoader ? " written"
                         // A signed update writes nothing until the NK image's signature holds too.
                         : s.bootLoaderFailure.empty()
                             ? " not written: " + Quoted(s.osUpdateFailure)
                             : " not written: " + Quoted(s.bootLoaderFailure)));
    if (!s.osUpdate)
        return lines;
    std::string nk = Named("NK image", s.nkImage);
    if (*s.osUpdate)
        lines.push_back(
            nk + " written" +
            (s.osUpdateFailure.empty() ? "" : "; the shell logged " + Quoted(s.osUpdateFailure)));
    else
        lines.push_back(nk + " not written: " + Quoted(s.osUpdateFailure));
    if (s.signatureRefused && s.refusedTrailer)
        lines.push_back("its trailer: " + devkit::BinTrailerText(*s.refusedTrailer) +
                        "; the device takes " + devkit::BinTrailerText(devkit::BinTrailer{}, 2));
    return lines;
}

// Where the shell's report of an image and the flash after the boot disagree.
void AddFlashDisagreement(std::vector<std::string> &lines, const std::string &image,
                          std::optional<bool> reported, std::optional<bool> onFlash,
                          const std::string &difference)
{
    if (!reported || !onFlash || *reported == *onFlash)
        return;
    lines.push_back(*onFlash ? "holds the " + image + " whole, which the shell reported not written"
                             : "does not hold the " + image +
                                   ", which the shell reported written: " + difference);
}

}  // namespace

std::vector<uint8_t> FromHex(const std::string &hex)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string DeviceFileName(const std::string &devicePath)
{
    return devicePath.substr(devicePath.find_last_of("\\/") + 1);
}

std::string CueName(const std::string &devicePath)
{
    std::string name = DeviceFileName(devicePath);
    size_t dot = name.find_last_of('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

std::string SecondsText(uint64_t us)
{
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%03llu s", static_cast<unsigned long long>(us / 1000000),
                  static_cast<unsigned long long>(us / 1000 % 1000));
    return text;
}

std::string FlagText(uint32_t word)
{
    char text[16];
    std::snprintf(text, sizeof text, word ? "0x%X" : "%u", word);
    return text;
}

std::vector<uint32_t> ChangedBlocks(const std::vector<Event> &events)
{
    std::set<uint32_t> blocks;
    for (const Event &event : events) {
        if (IsWrittenRun(event))
            AddWrittenBlocks(event, blocks);
        else if (event["event"] == "ioctl" && event["device"] == "DSK1:" &&
                 event["code"] == sim::FlashDriver::kEraseBlock && event["ok"] == true)
            blocks.insert(WordOf(event["in"]).value_or(0));
        else if (event["event"] == "power_cut" && event["outcome"] != "not-done")
            blocks.insert(event["block"].get<uint32_t>());
    }
    return {blocks.begin(), blocks.end()};
}

BootSummary SummarizeJournal(const std::vector<Event> &events)
{
    BootSummary summary;
    std::set<uint32_t> written, skipped;
    OsUpdateReading osUpdate;
    AppDataReading appData;
    for (const Event &event : events) {
        const std::string kind = event["event"];
        if (kind == "log") {
            osUpdate.Read(event["text"], summary, skipped);
            appData.Read(event["text"], summary);
        } else if (kind == "braille") {
            ++summary.brailleWrites;
            summary.lastBrailleLine = event["text"];
        } else if (kind == "ioctl") {
            ReadPowerControl(event, summary);
            if (IsWrittenRun(event))
                AddWrittenBlocks(event, written);
            ReadRefusedChange(event, summary.flashRefused);
        } else if (kind == "sound") {
            std::string name = CueName(event["path"]);
            summary.cues.push_back(event["ok"] == true ? name : name + " (not played)");
        } else if (kind == "process") {
            if (event["ok"] == true)
                summary.programStarted = event["path"];
            else
                summary.programsFailed.push_back(event["path"]);
        } else if (kind == "leak") {
            summary.held.push_back(event["what"]);
        } else if (kind == "misuse") {
            summary.misused.push_back(event["call"].get<std::string>() + ": " +
                                      event["what"].get<std::string>());
        } else if (kind == "violation") {
            std::string what =
                event["device"].get<std::string>() + " " + event["what"].get<std::string>();
            if (event.value("kind", "") == "flag")
                summary.flagsLeftOn.push_back(what);
            else
                summary.violations.push_back(what);
        }
    }
    summary.blocksWritten.assign(written.begin(), written.end());
    summary.blocksSkipped.assign(skipped.begin(), skipped.end());
    return summary;
}

std::string FormatSummary(const BootSummary &s)
{
    std::string program = s.programStarted.value_or("none");
    if (!s.programsFailed.empty())
        program += " (failed to start: " + Joined(s.programsFailed, ", ") + ")";
    std::string text = "-- boot summary --\n";
    AddLine(text, "shell", s.shell == "safe" ? "safe-update variant" : s.shell);
    AddLine(text, "boot key", s.bootKey ? std::to_string(*s.bootKey) : "not read");
    AddLine(text, "cues", s.cues.empty() ? "none" : Joined(s.cues, ", "));
    AddLines(text, "OS update", OsUpdateLines(s), "none offered");
    std::vector<std::string> disagreements;
    AddFlashDisagreement(disagreements, Named("boot loader", s.bootLoaderImage), s.bootLoader,
                         s.bootLoaderOnFlash, s.bootLoaderDifference);
    AddFlashDisagreement(disagreements, Named("NK image", s.nkImage), s.osUpdate, s.nkOnFlash,
                         s.nkDifference);
    if (!disagreements.empty())
        AddLines(text, "the flash", disagreements, "");
    AddLine(text, "flash written",
            s.blocksWritten.empty() ? "nothing" : "blocks " + devkit::BlockRanges(s.blocksWritten));
    AddLine(
        text, "blocks skipped",
        (s.blocksSkipped.empty() ? "none" : devkit::BlockRanges(s.blocksSkipped) + " (bad)") +
            (s.flashRefused.empty() ? "" : "; the flash refused " + Joined(s.flashRefused, ", ")));
    AddLine(text, "restart",
            !s.restartRequested ? "not requested"
            : s.deadAfter       ? "requested at " + SecondsText(s.restartAtMs * 1000) +
                                " into a flash that starts nothing: here the device dies"
                          : "requested at " + SecondsText(s.restartAtMs * 1000));
    if (s.deadBefore)
        AddLine(text, "before the boot",
                "the flash started nothing (" + *s.deadBefore +
                    "): on a device no shell runs, so this boot could not happen");
    if (s.deadAfter)
        AddLine(text, "after the boot",
                "the device is dead: its flash starts nothing (" + *s.deadAfter + ")");
    AddLine(text, "flash time", FlashTimeText(s.flash));
    std::vector<std::string> appData;
    if (s.appData)
        appData.push_back((*s.appData ? "installed, " : "failed, ") + s.appDataDetail);
    if (!s.appDataFailure.empty())
        appData.push_back(Quoted(s.appDataFailure));
    AddLines(text, "app data", appData, "none offered");
    AddLine(text, "braille writes",
            std::to_string(s.brailleWrites) +
                (s.brailleWrites ? ", the last: " + BrailleLineText(s.lastBrailleLine) : ""));
    AddLine(text, "program started", program);
    AddLine(text, "app-execute flag", s.appExecuteFlag ? FlagText(*s.appExecuteFlag) : "not sent");
    AddLine(text, "heap peak", std::to_string(s.heapPeakBytes) + " bytes");
    AddLines(text, "still held", s.held, "nothing held");
    AddLines(text, "misused calls", s.misused, "none");
    AddLines(text, "flags left on", s.flagsLeftOn, "none");
    AddLines(text, "violations", s.violations, "none");
    return text;
}

int BootExitStatus(const BootSummary &s)
{
    return (s.held.empty() ? 0 : kExitHeld) | (s.misused.empty() ? 0 : kExitMisuse) |
           (s.flagsLeftOn.empty() ? 0 : kExitFlagLeftOn) |
           (s.violations.empty() ? 0 : kExitViolation) |
           (s.osUpdate == false || s.bootLoader == false || s.nkOnFlash == false ||
                    s.bootLoaderOnFlash == false
                ? kExitUpdateFailed
                : 0) |
           (s.appData == false ? kExitAppDataFailed : 0);
}

}  // namespace qs_tools
