// The power controller and the peripheral switch as a boot drives them.
#include "platform/ce.h"
#include "shell/devices.h"
#include "tests/shell/boot_fixture.h"

namespace {

using nlohmann::json;
using namespace qs_test;
using BootTest = qs_test::BootTest;

const std::string kOpenFail = "[QUORSHELL] CreateFile PWR fail \r\n";

std::string SerialLine(const std::string &serial)
{
    return "[QUORSHELL] DeviceIoControl PWR PWR_IOCTL_GET_SN success. SN: " + serial + " \r\n";
}

TEST_F(BootTest, PowerControllerCallsOfABootWithNothingOffered)
{
    MakeDevice(json{{"power", {{"boot_key", 3}, {"serial", 20240315}}}});
    Boot();
    EXPECT_EQ(Ioctls("PWR1:"),
              (std::vector<std::string>{"PWR1: 1045 in=00000000", "PWR1: 565 out=03",
                                        "PWR1: 773 in=ecac0000", "PWR1: 1281 out=bbd73401"}));
    // The flag and the serial-number query share one open of the device.
    std::vector<std::string> sequence;
    for (const auto &event : device().device().Events().Events()) {
        if (event["event"] == "open" || event["event"] == "close")
            sequence.push_back(event["event"].get<std::string>() + " " +
                               event["device"].get<std::string>());
        else if (event["event"] == "ioctl")
            sequence.push_back(std::to_string(event["code"].get<int>()));
    }
    // The serial-number check reads the TOC on its own open of the flash disk first.
    EXPECT_EQ(sequence, (std::vector<std::string>{
                            "open DSK1:", "466900", "466908", "close DSK1:", "open PWR1:", "1045",
                            "close PWR1:", "open PWR1:", "565", "close PWR1:", "open PWR1:", "773",
                            "1281", "close PWR1:"}));
    EXPECT_EQ(device().LogEntries(),
              LogOf(kStart, kImageProbe, kRootFound, kUpdateDir, kNoImagePath, kAppProbe, kNoApps,
                    kNoFolder, kSystemInfoOnErasedFlash, kBinfsRightSize,
                    "[QuorShell] BootKeyStat 3 \r\n", kRun, SerialLine("20240315"), kEnd));
}

TEST_F(BootTest, SerialNumberIsLoggedAsASignedDecimal)
{
    MakeDevice(json{{"power", {{"serial", 4294967291}}}});  // the word 0xFFFFFFFB
    Boot();
    std::vector<std::string> log = device().LogEntries();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], SerialLine("-5"));
}

TEST_F(BootTest, PowerControllerAbsentStillEndsTheRun)
{
    MakeDevice(json{{"power", {{"present", false}}}});
    EXPECT_EQ(Boot(), 0);
    EXPECT_EQ(device().LogEntries(),
              LogOf(kStart, kImageProbe, kRootFound, kUpdateDir, kNoImagePath, kAppProbe, kNoApps,
                    kNoFolder, kSystemInfoOnErasedFlash, kOpenFail, kBinfsRightSize, kOpenFail,
                    "[QuorShell] BootKeyStat 0 \r\n", kRun, kOpenFail, kEnd));
    EXPECT_EQ(device().EventsOf("process").size(), 1u);
}

struct CodeFailure {
    int code;
    std::vector<std::string> log;
};

class PowerCodeFails : public BootTest, public testing::WithParamInterface<CodeFailure> {};

// Boot key 16 is configured, but the function-test program is not on the device.
TEST_P(PowerCodeFails, LogsItsLineAndGoesOn)
{
    MakeDevice(json{{"power", {{"boot_key", 16}, {"faults", {{{"code", GetParam().code}}}}}}}, true,
               false);
    EXPECT_EQ(Boot(), 0);
    EXPECT_EQ(device().LogEntries(), GetParam().log);
}

const std::string kKey16 = "[QuorShell] BootKeyStat 16 \r\n";

INSTANTIATE_TEST_SUITE_P(
    Table, PowerCodeFails,
    testing::Values(
        CodeFailure{1045,
                    LogOf(kStart, kImageProbe, kRootFound, kUpdateDir, kNoImagePath, kAppProbe,
                          kNoApps, kNoFolder, kSystemInfoOnErasedFlash,
                          "[QUORSHELL] DeviceIoControl PWR SET_OS_UPDATE_MODE fail \r\n",
                          kBinfsRightSize, kKey16, kCheck, kRun, SerialLine("20240315"), kEnd)},
        CodeFailure{565,
                    LogOf(kStart, kImageProbe, kRootFound, kUpdateDir, kNoImagePath, kAppProbe,
                          kNoApps, kNoFolder, kSystemInfoOnErasedFlash, kBinfsRightSize,
                          "[QUORSHELL] DeviceIoControl PWR PWR_IOCTL_GET_BOOT_KEY_STATUS fail \r\n",
                          "[QuorShell] BootKeyStat 0 \r\n", kRun, SerialLine("20240315"), kEnd)},
        CodeFailure{773, LogOf(kStart, kImageProbe, kRootFound, kUpdateDir, kNoImagePath, kAppProbe,
                               kNoApps, kNoFolder, kSystemInfoOnErasedFlash, kBinfsRightSize,
                               kKey16, kCheck, kRun,
                               "[QUORSHELL] DeviceIoControl PWR SET_APP_EXECUTE_FLAG fail \r\n",
                               SerialLine("20240315"), kEnd)},
        CodeFailure{
            1281,
            LogOf(kStart, kImageProbe, kRootFound, kUpdateDir, kNoImagePath, kAppProbe, kNoApps,
                  kNoFolder, kSystemInfoOnErasedFlash, kBinfsRightSize, kKey16, kCheck, kRun,
                  "[QUORSHELL] DeviceIoControl PWR PWR_IOCTL_GET_SN fail \r\n", kEnd)}));

struct SwitchCase {
    const char *peripheral;
    DWORD result;
    std::vector<std::string> calls;
    std::vector<std::string> printed;
};

class PeripheralSwitch : public BootTest, public testing::WithParamInterface<SwitchCase> {};

TEST_P(PeripheralSwitch, SendsPowerThenResetWord)
{
    MakeDevice(json{{"peripheral", json::parse(GetParam().peripheral)}});
    EXPECT_EQ(QKPDeviceControl(9, 1), GetParam().result);
    EXPECT_EQ(Ioctls("QKP1:"), GetParam().calls);
    std::vector<std::string> printed;
    for (const auto &event : device().EventsOf("stdout"))
        printed.push_back(event["text"]);
    EXPECT_EQ(printed, GetParam().printed);
    EXPECT_EQ(device().EventsOf("log").size(), 0u);  // printf lines, never the debug log
}

const std::string kDevice = "device = 9h, control = 1h\r\n";

INSTANTIATE_TEST_SUITE_P(
    Table, PeripheralSwitch,
    testing::Values(
        SwitchCase{"{}", 1, {"QKP1: 20044 in=01090000", "QKP1: 20052 in=09000000"}, {kDevice}},
        SwitchCase{R"({"present": false})", 0, {}, {kDevice}},
        SwitchCase{R"({"faults": [{"code": "QKP_IOCTL_POWER_CONTROL"}]})",
                   0,
                   {"QKP1: 20044 in=01090000 failed"},
                   {kDevice, "deviceio POWER control fail\r\n"}},
        SwitchCase{R"({"faults": [{"code": 20052}]})",
                   0,
                   {"QKP1: 20044 in=01090000", "QKP1: 20052 in=09000000 failed"},
                   {kDevice, "deviceio RESET control fail\r\n"}}));

nlohmann::json SavedPowerState(qs_test::TempDevice &device)
{
    device.Reload();  // saves state.json as the boot left it
    return nlohmann::json::parse(sim::ReadWholeFile(device.folder() / "state.json"))["power"];
}

TEST_F(BootTest, PowerControllerKeepsTheFlagAndModeBetweenBoots)
{
    MakeDevice();
    Boot();
    nlohmann::json power = SavedPowerState(device());
    EXPECT_EQ(power["app_execute_flag"], 0xACEC);
    EXPECT_EQ(power["update_mode"], 0);
    EXPECT_EQ(power["restart_requests"], 0);

    std::filesystem::remove(device().Host("\\NAND\\APPS\\LumTask.exe"));
    Boot();
    EXPECT_EQ(SavedPowerState(device())["app_execute_flag"], 0);
}

}  // namespace
