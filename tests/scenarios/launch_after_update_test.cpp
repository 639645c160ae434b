// The launch at the end of a boot that has just written an operating-system image and installed
// application data: the boot key's choice between the function-test program and the main
// application, programs that fail to start or are missing, and the app-execute flag. The clock
// starts a second before midnight, so the launch lines show the time the cues and the restart
// pause took.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/scenarios/scenario_device.h"

namespace launch_after_update_test {
namespace {

using namespace scenario;

struct LaunchRow {
    const char *name;
    uint32_t bootKey;
    bool functionTestOnDevice;
    bool mainInPackage;                // the application data carries apps\LumTask.exe
    std::vector<std::string> fail;     // programs.fail
    std::vector<std::string> tail;     // the debug log from the boot-key line to its end
    std::vector<std::string> started;  // process events, "ok PATH" or "failed PATH"
    std::optional<uint32_t> flag;      // the app-execute word sent; none: not sent
    uint32_t probePauses;              // 100 ms pauses after the restart pause
    std::vector<std::string> stdoutText;
};

void PrintTo(const LaunchRow &row, std::ostream *out)
{
    *out << row.name;
}

const std::string kInstalledMain = "\\NAND\\apps\\LumTask.exe";
// Boot began at 23:59:59; the start, success and restart cues (300, 250 and 400 ms), the
// restart pause (1000 ms) and the update's flash work (flash.timing of a new device, over
// 50 ms) bring it past 00:00:01.
const std::string kRunProductShell = "Run ProductShell 00:00:01 \r\n";
const std::string kRunApplication = "Run Application 00:00:01 \r\n";
const std::string kCheck = "[QuorShell] Check and Run ProductShell \r\n";
const std::string kSerial =
    "[QUORSHELL] DeviceIoControl PWR PWR_IOCTL_GET_SN success. SN: 20240315 \r\n";
const std::string kEnd = "QuorShell End \r\n";
const std::string kQkpLine = "device = 9h, control = 1h\r\n";

std::string BootKeyLine(uint32_t key)
{
    return "[QuorShell] BootKeyStat " + std::to_string(key) + " \r\n";
}

class LaunchAfterUpdate : public testing::TestWithParam<LaunchRow> {};

TEST_P(LaunchAfterUpdate, FollowsTheLaunchTables)
{
    const LaunchRow &row = GetParam();
    ScenarioDevice device({.bootKey = uint8_t(row.bootKey), .blocks = kBlocks});
    device.Configure(
        {{"clock", {{"utc", "2027-03-14T23:59:59Z"}}}, {"programs", {{"fail", row.fail}}}});
    if (!row.functionTestOnDevice) {
        ASSERT_TRUE(fs::remove(device.Host(kFunctionTest)));
    }
    fs::path apps = device.WriteApps();
    if (!row.mainInPackage) {
        ASSERT_TRUE(fs::remove(apps / "apps" / "LumTask.exe"));
    }
    fs::path nk = device.WriteNk("nk.bin", NkLayout());
    device.Offer({.nk = nk, .eboot = device.WriteNb0(), .key = "240315", .appData = apps});

    qs_tools::BootReport report = device.Boot();

    // The update ran in full before the launch.
    EXPECT_EQ(report.summary.osUpdate, true);
    EXPECT_EQ(report.summary.appData, true);
    EXPECT_EQ(report.summary.cues, (std::vector<std::string>{"update_start", "success", "reboot"}));
    EXPECT_TRUE(report.summary.restartRequested);

    std::vector<std::string> log = SplitLines(device.DebugLog());
    auto keyLine = std::find(log.begin(), log.end(), BootKeyLine(row.bootKey));
    ASSERT_NE(keyLine, log.end()) << device.DebugLog();
    EXPECT_EQ(std::vector<std::string>(keyLine, log.end()), row.tail);

    std::vector<std::string> started, printed;
    std::vector<uint32_t> pauses, qkpWords;
    std::optional<uint32_t> flag;
    for (const Json &event : device.Journal()) {
        if (event["event"] == "process")
            started.push_back((event["ok"] == true ? "ok " : "failed ") +
                              event["path"].get<std::string>());
        else if (event["event"] == "sleep")
            pauses.push_back(event["ms"]);
        else if (event["event"] == "stdout")
            printed.push_back(event["text"]);
        else if (event["event"] == "ioctl" && event["device"] == "QKP1:")
            qkpWords.push_back(WordIn(event));
        else if (event["event"] == "ioctl" && event["device"] == "PWR1:" && event["code"] == 773)
            flag = WordIn(event);
    }
    EXPECT_EQ(started, row.started);
    EXPECT_EQ(flag, row.flag);
    std::vector<uint32_t> expectedPauses = {1000};
    expectedPauses.insert(expectedPauses.end(), row.probePauses, 100);
    EXPECT_EQ(pauses, expectedPauses);
    EXPECT_EQ(printed, row.stdoutText);
    // Power on, then reset, of device 9 before the function-test program starts.
    if (row.stdoutText.empty()) {
        EXPECT_TRUE(qkpWords.empty());
    } else {
        EXPECT_EQ(qkpWords, (std::vector<uint32_t>{0x901, 9}));
    }
    EXPECT_EQ(report.exitStatus, 0) << report.printed;
    EXPECT_TRUE(report.summary.held.empty());
}

const std::vector<std::string> kNone, kPeripheral = {kQkpLine};
const std::string kProductShellFailed = "Run ProductShell fail \r\n";
const std::optional<uint32_t> kNotSent;

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Rows, LaunchAfterUpdate,
    testing::Values(
        // name, boot key, function-test program on the device, main application in the package,
        //     programs.fail, the log from the boot-key line on, programs started, flag sent,
        //     100 ms probe pauses, printed
        // The function-test program ends the run: no flag, no serial read, no end line.
        LaunchRow{"FunctionTestStarts", 16, true, true, {},
                  {BootKeyLine(16), kCheck, kRunProductShell},
                  {"ok " + kFunctionTest}, kNotSent, 0, kPeripheral},
        LaunchRow{"FunctionTestFailsToStart", 16, true, true, {kFunctionTest},
                  {BootKeyLine(16), kCheck, kRunProductShell, kProductShellFailed,
                   kRunApplication, kSerial, kEnd},
                  {"failed " + kFunctionTest, "ok " + kInstalledMain}, 0xACEC, 0, kPeripheral},
        // Twenty probes back to back find nothing, and nothing says so.
        LaunchRow{"FunctionTestMissing", 16, false, true, {},
                  {BootKeyLine(16), kCheck, kRunApplication, kSerial, kEnd},
                  {"ok " + kInstalledMain}, 0xACEC, 0, kNone},
        LaunchRow{"FunctionTestFailsAndMainMissing", 16, true, false, {kFunctionTest},
                  {BootKeyLine(16), kCheck, kRunProductShell, kProductShellFailed, kSerial, kEnd},
                  {"failed " + kFunctionTest}, 0, 20, kPeripheral},
        // Any other state leaves the function-test program alone.
        LaunchRow{"BootKey17", 17, true, true, {},
                  {BootKeyLine(17), kRunApplication, kSerial, kEnd},
                  {"ok " + kInstalledMain}, 0xACEC, 0, kNone},
        LaunchRow{"MainFailsToStart", 0, true, true, {kMainApplication},
                  {BootKeyLine(0), kRunApplication, kSerial, kEnd},
                  {"failed " + kMainApplication}, 0, 0, kNone},
        // Twenty probes 100 ms apart, then the flag 0.
        LaunchRow{"MainMissing", 0, true, false, {},
                  {BootKeyLine(0), kSerial, kEnd},
                  kNone, 0, 20, kNone}),
    [](const testing::TestParamInfo<LaunchRow> &info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
}  // namespace launch_after_update_test
