#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "devkit/device_maker.h"
#include "platform/ce.h"
#include "platform/host/host.h"
#include "sim/device.h"
#include "sim/error.h"
#include "tests/tools/tool_run.h"
#include "tools/boot_runner.h"

namespace {

namespace fs = std::filesystem;
using qs_test::FileText;
using qs_tools::BootDeviceFolder;
using qs_tools::BootReport;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const char *const kMain = "\\NAND\\APPS\\LumTask.exe";
const char *const kFunctionTest = "\\windows\\K290DFunctionTest.exe";

class BootTest : public ::testing::Test {
protected:
    fs::path MakeDevice(uint8_t bootKey, const nlohmann::json &changes = nlohmann::json::object())
    {
        fs::path folder = temp_.path() / "device";
        devkit::CreateDevice(folder, {.bootKey = bootKey, .force = true});
        nlohmann::json description = nlohmann::json::parse(FileText(folder / "device.json"));
        description.merge_patch(changes);
        std::ofstream(folder / "device.json") << description.dump(2);
        return folder;
    }

    // The PWR1: control codes of the saved journal, in order, each with its input.
    static std::vector<std::pair<uint32_t, std::string>> PowerCodes(const fs::path &folder)
    {
        std::vector<std::pair<uint32_t, std::string>> codes;
        std::istringstream lines(FileText(folder / "journal.jsonl"));
        for (std::string line; std::getline(lines, line);) {
            nlohmann::json event = nlohmann::json::parse(line);
            if (event["event"] == "ioctl" && event["device"] == "PWR1:")
                codes.emplace_back(event["code"], event["in"]);
        }
        return codes;
    }

    qs_test::TempFolder temp_;
};

TEST_F(BootTest, FreshDeviceStartsTheMainApplicationAndReleasesEverything)
{
    fs::path folder = MakeDevice(0);
    BootReport report = BootDeviceFolder(folder, {});

    EXPECT_EQ(report.shellResult, 0);
    EXPECT_EQ(report.summary.bootKey, 0);
    EXPECT_EQ(report.summary.programStarted, kMain);
    EXPECT_EQ(report.summary.appExecuteFlag, 0xACECu);
    EXPECT_FALSE(report.summary.restartRequested);
    EXPECT_TRUE(report.summary.cues.empty());
    EXPECT_TRUE(report.summary.held.empty());
    EXPECT_THAT(report.printed, HasSubstr("▶ started \\NAND\\APPS\\LumTask.exe\n"));
    EXPECT_THAT(report.printed, HasSubstr("app-execute flag  0xACEC\n"));
    EXPECT_THAT(report.printed, HasSubstr("still held        nothing held\n"));

    std::string log = FileText(folder / "debug.log");
    EXPECT_THAT(log, StartsWith("QuorShell Start "));
    EXPECT_TRUE(log.ends_with("QuorShell End \r\n")) << log;
    // The terminal shows the debug port's lines with plain line ends.
    std::string shown = log;
    for (size_t at; (at = shown.find("\r\n")) != std::string::npos;)
        shown.erase(at, 1);
    std::istringstream live(report.printed.substr(0, report.printed.find("\n-- boot summary")));
    std::string logLines;
    for (std::string line; std::getline(live, line);)
        if (!line.starts_with("▶ "))
            logLines += line + "\n";
    EXPECT_EQ(logLines, shown);

    using Code = std::pair<uint32_t, std::string>;
    EXPECT_THAT(PowerCodes(folder), ::testing::ElementsAre(Code{1045, "00000000"}, Code{565, ""},
                                                           Code{773, "ecac0000"}, Code{1281, ""}));
    nlohmann::json state = nlohmann::json::parse(FileText(folder / "state.json"));
    EXPECT_EQ(state["power"]["app_execute_flag"], 0xACEC);
}

TEST_F(BootTest, SummaryTellsWhichProgramStartedAndTheFlagSent)
{
    struct {
        const char *name;
        uint8_t bootKey;
        const char *changes;
        std::optional<std::string> started;
        std::optional<uint32_t> flag;
        std::string printed;
    } const cases[] = {
        // The function-test program ends the run: no flag is sent.
        {"function test", 16, "{}", kFunctionTest, std::nullopt,
         "device = 9h, control = 1h\nRun ProductShell 08:30:00 \n▶ started " +
             std::string(kFunctionTest) + "\n"},
        {"function test fails", 16,
         R"({"programs": {"fail": ["\\windows\\K290DFunctionTest.exe"]}})", kMain, 0xACEC,
         "▶ failed to start \\windows\\K290DFunctionTest.exe\n"},
        {"main application fails", 0, R"({"programs": {"fail": ["\\NAND\\APPS\\LumTask.exe"]}})",
         std::nullopt, 0,
         "program started   none (failed to start: \\NAND\\APPS\\LumTask.exe)\n"
         "app-execute flag  0\n"},
        {"no power controller", 0, R"({"power": {"present": false}})", kMain, std::nullopt,
         "boot key          not read\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        BootReport report =
            BootDeviceFolder(MakeDevice(c.bootKey, nlohmann::json::parse(c.changes)), {});
        EXPECT_EQ(report.summary.programStarted, c.started);
        EXPECT_EQ(report.summary.appExecuteFlag, c.flag);
        EXPECT_THAT(report.printed, HasSubstr(c.printed));
        EXPECT_TRUE(report.summary.held.empty());
    }
}

TEST_F(BootTest, QuietPrintsTheSummaryOnly)
{
    std::ostringstream terminal;
    BootReport report = BootDeviceFolder(MakeDevice(0), {.quiet = true, .echo = &terminal});
    EXPECT_EQ(terminal.str(), report.printed);
    EXPECT_EQ(report.printed, qs_tools::FormatSummary(report.summary));
}

// Entry points that stand in for a shell which breaks one of the device's rules, so that the
// runner's verdict on each is seen; the real shell keeps them all.
const DWORD kFlagOn = 0xACEC;

int LeavesAFileOpen()
{
    CreateFileW(u"\\flashdisk\\left.txt", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    return 0;
}

int ReadsWithoutACount()
{
    HANDLE file =
        CreateFileW(u"\\windows\\success.wav", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    char buffer[4];
    ReadFile(file, buffer, sizeof buffer, NULL, NULL);
    CloseHandle(file);
    return 0;
}

int LeavesTheNkFlagOn()
{
    HANDLE disk =
        CreateFileW(u"DSK1:", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    DeviceIoControl(disk, 0x72000, (LPVOID)&kFlagOn, 4, NULL, 0, NULL, NULL);
    CloseHandle(disk);
    return 0;
}

int ErasesTheTocWithoutItsFlag()
{
    HANDLE disk =
        CreateFileW(u"DSK1:", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    DWORD block = 5;
    DeviceIoControl(disk, 0x71FE4, &block, 4, NULL, 0, NULL, NULL);
    CloseHandle(disk);
    return 0;
}

int BreaksEveryRule()
{
    LeavesAFileOpen();
    ReadsWithoutACount();
    LeavesTheNkFlagOn();
    ErasesTheTocWithoutItsFlag();
    return 0;
}

TEST_F(BootTest, ExitStatusNamesEachBrokenRuleAlsoWhenQuiet)
{
    struct {
        const char *name;
        int (*entryPoint)();
        int status;
        std::vector<std::string> printed;
    } const cases[] = {
        {"clean",
         [] { return 0; },
         0,
         {"still held        nothing held\n", "misused calls     none\n",
          "flags left on     none\n", "violations        none\n"}},
        {"held",
         LeavesAFileOpen,
         qs_tools::kExitHeld,
         {"still held        file \\flashdisk\\left.txt\n"}},
        {"misuse", ReadsWithoutACount, qs_tools::kExitMisuse, {"misused calls     ReadFile: "}},
        {"flag",
         LeavesTheNkFlagOn,
         qs_tools::kExitFlagLeftOn,
         {"flags left on     DSK1: the NK flag is still on when the shell returns\n"}},
        {"protected erase",
         ErasesTheTocWithoutItsFlag,
         qs_tools::kExitViolation,
         {"violations        DSK1: erase of block 5 without the TOC flag\n"}},
        {"all", BreaksEveryRule, 4 + 8 + 16 + 32, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<sim::Device> device = sim::Device::Open(MakeDevice(0));
        std::ostringstream terminal;
        BootReport report =
            qs_tools::BootDevice(*device, {.quiet = true, .echo = &terminal}, c.entryPoint);
        EXPECT_EQ(report.exitStatus, c.status);
        for (const std::string &line : c.printed)
            EXPECT_THAT(terminal.str(), HasSubstr(line));
    }
}

// The simulator gives up in the middle of a boot: what came before is kept, and the journal
// says where it stopped.
TEST_F(BootTest, ASimulatorErrorStillSavesTheBootUpToIt)
{
    fs::path folder = MakeDevice(0);
    std::unique_ptr<sim::Device> device = sim::Device::Open(folder);
    auto stopsHalfway = [] {
        NKDbgPrintfW(u"before the error\r\n");
        HANDLE file =
            CreateFileW(u"\\windows\\success.wav", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        (void)file;  // left open: the stop releases it with everything else
        throw sim::DeviceError("nand.bin: changed size under the device");
        return 0;
    };
    try {
        qs_tools::BootDevice(*device, {}, stopsHalfway);
        FAIL() << "the boot went on";
    } catch (const qs_tools::BootStopped &e) {
        EXPECT_EQ(std::string(e.what()),
                  "the boot stopped on a simulator error: nand.bin: changed size under the device "
                  "(debug.log and journal.jsonl hold the boot up to it)");
    }
    EXPECT_EQ(FileText(folder / "debug.log"), "before the error\r\n");
    std::istringstream lines(FileText(folder / "journal.jsonl"));
    std::vector<nlohmann::json> events;
    for (std::string line; std::getline(lines, line);)
        events.push_back(nlohmann::json::parse(line));
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front()["event"], "log");
    EXPECT_EQ(events.back()["event"], "error");
    EXPECT_EQ(events.back()["what"], "nand.bin: changed size under the device");
    EXPECT_EQ(ce_host::Held().handles, 0u) << "the device is detached and released";
}

}  // namespace
