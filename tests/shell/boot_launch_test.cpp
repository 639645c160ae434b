// The launch at the end of every boot: the function-test program or the main application.
#include "platform/ce.h"
#include "platform/host/host.h"
#include "tests/shell/boot_fixture.h"

namespace {

using nlohmann::json;
using namespace qs_test;
using BootTest = qs_test::BootTest;

const std::string kSerial =
    "[QUORSHELL] DeviceIoControl PWR PWR_IOCTL_GET_SN success. SN: 20240315 \r\n";
const std::string kQkp = "device = 9h, control = 1h\r\n";

struct LaunchCase {
    const char *name;
    int bootKey;
    bool productShell;     // on the device
    bool mainApplication;  // on the device
    const char *failing;   // program listed in programs.fail, or ""
    std::vector<std::string> log;
    std::vector<std::string> started;  // process events, "ok path" or "failed path"
    const char *flagSent;              // in-hex of SET_APP_EXECUTE_FLAG, "" when not sent
    int sleeps;                        // 100 ms pauses of the main application probe
};

std::string BootKeyLine(int key)
{
    return "[QuorShell] BootKeyStat " + std::to_string(key) + " \r\n";
}

class Launch : public qs_test::BootTest, public testing::WithParamInterface<LaunchCase> {};

TEST_P(Launch, FollowsTheDecisionTables)
{
    const LaunchCase &c = GetParam();
    json programs = json::array();
    if (*c.failing)
        programs.push_back(c.failing);
    MakeDevice(json{{"power", {{"boot_key", c.bootKey}}}, {"programs", {{"fail", programs}}}},
               c.mainApplication, c.productShell);
    EXPECT_EQ(Boot(), 0);

    EXPECT_EQ(device().LogEntries(), c.log);
    std::vector<std::string> started;
    for (const auto &event : device().EventsOf("process"))
        started.push_back((event["ok"] ? "ok " : "failed ") + event["path"].get<std::string>());
    EXPECT_EQ(started, c.started);
    std::string flag;
    for (const auto &event : device().EventsOf("ioctl"))
        if (event["code"] == 773)
            flag = event["in"];
    EXPECT_EQ(flag, c.flagSent);
    auto sleeps = device().EventsOf("sleep");
    EXPECT_EQ(int(sleeps.size()), c.sleeps);
    for (const auto &sleep : sleeps)
        EXPECT_EQ(sleep["ms"], 100);
    EXPECT_EQ(ce_host::Held().handles, 0u);
    EXPECT_EQ(ce_host::Held().heapBlocks, 0u);
}

const std::string kProductShell = "\\windows\\K290DFunctionTest.exe";
const std::string kMain = "\\NAND\\APPS\\LumTask.exe";

INSTANTIATE_TEST_SUITE_P(
    Table, Launch,
    testing::Values(
        LaunchCase{"ProductShellStarts",
                   16,
                   true,
                   true,
                   "",
                   LogOf(kStart, kImageProbe, kRootFound, kUpdateDir, kNoImagePath, kAppProbe,
                         kNoApps, kNoFolder, kSystemInfoOnErasedFlash, kBinfsRightSize,
                         BootKeyLine(16), kCheck, kQkp, "Run ProductShell 08:30:00 \r\n"),
                   {"ok " + kProductShell},
                   "",
                   0},
        LaunchCase{"ProductShellFails",
                   16,
                   true,
                   true,
                   "\\windows\\K290DFunctionTest.exe",
                   LogOf(kStart, kImageProbe, kRootFound, kUpdateDir, kNoImagePath, kAppProbe,
                         kNoApps, kNoFolder, kSystemInfoOnErasedFlash, kBinfsRightSize,
                         BootKeyLine(16), kCheck, kQkp, "Run ProductShell 08:30:00 \r\n",
                         "Run ProductShell fail \r\n", kRun, kSerial, kEnd),
                   {"failed " + kProductShell, "ok " + kMain},
                   "ecac0000",
                   0},
        LaunchCase{"ProductShellAbsent",
                   16,
                   false,
                   true,
                   "",
                   LogOf(kStart, kImageProbe, kRootFound, kUpdateDir, kNoImagePath, kAppProbe,
                         kNoApps, kNoFolder, kSystemInfoOnErasedFlash, kBinfsRightSize,
                         BootKeyLine(16), kCheck, kRun, kSerial, kEnd),
                   {"ok " + kMain},
                   "ecac0000",
                   0},
        LaunchCase{"BootKey17",
                   17,
                   true,
                   true,
                   "",
                   LogOf(kStart, kImageProbe, kRootFound, kUpdateDir, kNoImagePath, kAppProbe,
                         kNoApps, kNoFolder, kSystemInfoOnErasedFlash, kBinfsRightSize,
                         BootKeyLine(17), kRun, kSerial, kEnd),
                   {"ok " + kMain},
                   "ecac0000",
                   0},
        LaunchCase{"BootKey0",
                   0,
                   true,
                   true,
                   "",
                   LogOf(kStart, kImageProbe, kRootFound, kUpdateDir, kNoImagePath, kAppProbe,
                         kNoApps, kNoFolder, kSystemInfoOnErasedFlash, kBinfsRightSize,
                         BootKeyLine(0), kRun, kSerial, kEnd),
                   {"ok " + kMain},
                   "ecac0000",
                   0},
        LaunchCase{"MainApplicationFails",
                   0,
                   true,
                   true,
                   "\\NAND\\APPS\\LumTask.exe",
                   LogOf(kStart, kImageProbe, kRootFound, kUpdateDir, kNoImagePath, kAppProbe,
                         kNoApps, kNoFolder, kSystemInfoOnErasedFlash, kBinfsRightSize,
                         BootKeyLine(0), kRun, kSerial, kEnd),
                   {"failed " + kMain},
                   "00000000",
                   0},
        LaunchCase{"MainApplicationAbsent",
                   0,
                   true,
                   false,
                   "",
                   LogOf(kStart, kImageProbe, kRootFound, kUpdateDir, kNoImagePath, kAppProbe,
                         kNoApps, kNoFolder, kSystemInfoOnErasedFlash, kBinfsRightSize,
                         BootKeyLine(0), kSerial, kEnd),
                   {},
                   "00000000",
                   20}),
    [](const testing::TestParamInfo<LaunchCase> &info) { return std::string(info.param.name); });

struct ProbeCase {
    const char *name;
    int bootKey;
    const char *volume;     // the late volume of files.mount_after_ms
    uint32_t mountAfterMs;  // virtual milliseconds after the boot began
    std::string started;    // the one program started, "" for none
    int sleeps;             // 100 ms pauses of the main application probe
};

class LateVolumeProbe : public qs_test::BootTest, public testing::WithParamInterface<ProbeCase> {};

// The function-test program is looked for 20 times back to back, so the clock does not move and a
// late windows volume is never seen; the main application is probed 20 times 100 ms apart, so a
// NAND volume that mounts within those two seconds is found on the probe at its time.
TEST_P(LateVolumeProbe, FindsTheProgramOnlyOnceItsVolumeIsMounted)
{
    const ProbeCase &c = GetParam();
    MakeDevice(json{{"power", {{"boot_key", c.bootKey}}},
                    {"files", {{"mount_after_ms", {{c.volume, c.mountAfterMs}}}}}});
    Boot();
    auto processes = device().EventsOf("process");
    if (c.started.empty()) {
        EXPECT_TRUE(processes.empty());
    } else {
        ASSERT_EQ(processes.size(), 1u);
        EXPECT_EQ(processes[0]["path"], c.started);
        EXPECT_EQ(processes[0]["t"], 100 * c.sleeps);
    }
    EXPECT_EQ(int(device().EventsOf("sleep").size()), c.sleeps);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LateVolumeProbe,
    testing::Values(ProbeCase{"FunctionTestMounted", 16, "windows", 0, kProductShell, 0},
                    ProbeCase{"FunctionTestOneMsLate", 16, "windows", 1, kMain, 0},
                    ProbeCase{"FunctionTestLate", 16, "WINDOWS", 250, kMain, 0},
                    ProbeCase{"MainMounted", 0, "NAND", 0, kMain, 0},
                    ProbeCase{"MainAfterOneSecond", 0, "NAND", 1000, kMain, 10},
                    ProbeCase{"MainOnTheLastProbe", 0, "nand", 1900, kMain, 19},
                    ProbeCase{"MainJustTooLate", 0, "NAND", 1901, "", 20},
                    ProbeCase{"MainTooLate", 0, "NAND", 2500, "", 20}),
    [](const testing::TestParamInfo<ProbeCase> &info) { return std::string(info.param.name); });

TEST_F(BootTest, MissingMainApplicationCostsTwoSecondsOfProbing)
{
    MakeDevice(json::object(), false, false);
    Boot();
    SYSTEMTIME now;
    GetSystemTime(&now);
    EXPECT_EQ(now.wSecond, 2);
    EXPECT_EQ(now.wMilliseconds, 0);
    std::vector<std::string> log = device().LogEntries();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), kEnd);
}

TEST_F(BootTest, MainApplicationHeldOpenElsewhereCountsAsAbsent)
{
    MakeDevice(json{{"files", {{"locked", {"\\NAND\\APPS\\LumTask.exe"}}}}});
    Boot();
    EXPECT_TRUE(device().EventsOf("process").empty());
    EXPECT_EQ(device().EventsOf("sleep").size(), 20u);
}

}  // namespace
