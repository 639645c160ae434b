// Boots that follow one another on the same device folder: the serial number lost from the TOC
// and brought back from the system-information file's name, by an update that re-initialised
// the TOC or on the next plain start, and a device whose drivers are all missing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "devkit/flash_verify.h"
#include "tests/scenarios/scenario_device.h"

namespace two_boot_test {
namespace {

using namespace scenario;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string kSysInfo = "\\NAND\\M7LITE_0020240315.sys";
const std::string kFactorySerial = SerialBytes("0020240315");
// devkit's default MAC address, the content of the system-information file.
const std::string kFactoryMac("\x02\x00\x00\x00\x00\x01", 6);
constexpr uint64_t kBlockBytes = uint64_t(sim::kSectorsPerBlock) * sim::kSectorRecordSize;

// The serial number taken from the file's name and written to the flash with the TOC.
std::vector<std::string> SerialRestored(const std::string &serial)
{
    return {"Device Serial \r\n",
            "0000000000000000\r\n",
            "Serial Number is not exist in TOC \r\n",
            "SN is not exist in TOC. But sys info is exist \r\n",
            "Serial Number from Sys Info File \r\n",
            "000000" + serial + "\r\n",
            "+ TOC_Write\r\n",
            "- TOC_Write\r\n",
            "TOC_Read: 5 \r\n",
            " [QuorShell] g_ImageType: 0x8 \r\n",
            " - TOC_Read \r\n"};
}

// The lines from the serial-number check's dump to the BINFS check that follows it.
std::vector<std::string> SerialCheckLines(const std::string &log)
{
    std::vector<std::string> lines = SplitLines(log);
    auto from = std::find(lines.begin(), lines.end(), "Device Serial \r\n");
    auto to = std::find(from, lines.end(), "===============Partition Info====================\r\n");
    return {from, to};
}

// The next start finds both, logs the serial and changes nothing.
void ExpectSettled(const ScenarioDevice &device, const std::string &serial)
{
    const std::string toc = device.TocSector();
    const std::string sysInfo = device.Host("\\NAND\\M7LITE_" + serial + ".sys");
    const std::string content = qs_test::FileText(sysInfo);
    qs_tools::BootReport report = device.Boot();
    EXPECT_EQ(report.exitStatus, 0) << report.printed;
    EXPECT_EQ(SerialCheckLines(device.DebugLog()),
              (std::vector<std::string>{"Device Serial \r\n", "000000" + serial + "\r\n",
                                        "Serial Number is exist in TOC \r\n"}));
    EXPECT_EQ(device.TocSector(), toc);
    EXPECT_EQ(qs_test::FileText(sysInfo), content);
}

class SerialScenario : public testing::Test {
protected:
    // A first start of the factory device names the system-information file after the TOC's
    // serial.
    void SetUp() override
    {
        qs_tools::BootReport first = device_.Boot();
        ASSERT_EQ(first.exitStatus, 0) << first.printed;
        ASSERT_EQ(SerialCheckLines(device_.DebugLog()),
                  (std::vector<std::string>{"Device Serial \r\n", "0000000020240315\r\n",
                                            "Serial Number is exist in TOC \r\n",
                                            "Sys info is not exist. But SN is exist in TOC \r\n",
                                            "Sys Info Path " + kSysInfo + " \r\n"}));
        ASSERT_EQ(qs_test::FileText(device_.Host(kSysInfo)), kFactoryMac);
        ASSERT_EQ(device_.TocSerial(), kFactorySerial);
    }

    ScenarioDevice device_;
};

TEST_F(SerialScenario, AnUpdateThatReinitialisesTheTocGetsTheSerialBackOnTheSameStart)
{
    // Block 5 erased: the update finds no TOC and writes the defaults with the new image.
    device_.PatchFlash(5 * kBlockBytes, std::string(kBlockBytes, '\xFF'));
    fs::path nk = device_.WriteNk("nk.bin", NkLayout());
    device_.Offer({.nk = nk, .eboot = std::nullopt, .key = "240315"});

    qs_tools::BootReport report = device_.Boot();
    EXPECT_EQ(report.summary.osUpdate, true);
    EXPECT_EQ(report.exitStatus, 0) << report.printed;
    const std::string log = device_.DebugLog();
    EXPECT_THAT(log, HasSubstr("TOC_Read: 5 \r\n"
                               "TOC_Read ERROR: INVALID_TOC Signature: 0xffffffff\r\n"
                               "[QuorShell]UpdateSystemImage: TOC_Read fail. So Initialize TOC \r\n"
                               "+BootConfigInit\r\n"
                               "-BootConfigInit\r\n"
                               "TOC {\r\n"));
    EXPECT_EQ(SerialCheckLines(log), SerialRestored("0020240315"));
    EXPECT_EQ(device_.TocSerial(), kFactorySerial);
    // Only the file's name is read back: the MAC address stays as the defaults left it.
    EXPECT_EQ(device_.Flash(kTocSectorAt + kTocMacAt, 6), std::string(6, '\0'));
    devkit::VerifyReport verified = devkit::VerifyDevice(device_.folder(), nk, std::nullopt);
    EXPECT_TRUE(verified.Ok()) << verified.failure.value_or("");

    ExpectSettled(device_, "0020240315");
}

TEST_F(SerialScenario, ATocThatLostItsSerialGetsItBackAndKeepsIt)
{
    device_.PatchFlash(kTocSectorAt + kTocSerialAt, std::string(kTocSerialBytes, '\0'));
    const std::string tocWithoutSerial = device_.TocSector();

    qs_tools::BootReport report = device_.Boot();
    EXPECT_EQ(report.exitStatus, 0) << report.printed;
    EXPECT_EQ(SerialCheckLines(device_.DebugLog()), SerialRestored("0020240315"));
    EXPECT_EQ(device_.TocSerial(), kFactorySerial);
    // Only the serial bytes changed in the TOC sector.
    std::string expected = tocWithoutSerial;
    expected.replace(kTocSerialAt, kTocSerialBytes, kFactorySerial);
    EXPECT_EQ(device_.TocSector(), expected);

    ExpectSettled(device_, "0020240315");
}

// A device made without a serial, whose \NAND holds a system-information file from an earlier
// life, takes the serial from the file's name; its content is never read.
TEST(SerialFromFileName, AFactoryTocWithoutSerialTakesTheFilesSerial)
{
    ScenarioDevice device({.blocks = kBlocks, .serial = devkit::kNoSerial});
    ASSERT_EQ(device.TocSerial(), std::string(kTocSerialBytes, '\0'));
    const std::string sysInfo = "\\NAND\\M7LITE_1234567890.sys";
    fs::create_directories(device.Host(sysInfo).parent_path());
    std::ofstream(device.Host(sysInfo), std::ios::binary) << "MAC?";

    qs_tools::BootReport report = device.Boot();
    EXPECT_EQ(report.exitStatus, 0) << report.printed;
    EXPECT_EQ(SerialCheckLines(device.DebugLog()), SerialRestored("1234567890"));
    EXPECT_EQ(device.TocSerial(), SerialBytes("1234567890"));
    EXPECT_EQ(qs_test::FileText(device.Host(sysInfo)), "MAC?");

    ExpectSettled(device, "1234567890");
}

// Without a power controller, peripheral switch, braille display or store, the update still
// runs and installs, each missing driver shows only in its own lines, and the launch goes on.
TEST(DriversMissing, TheBootStillEndsAndHoldsNothing)
{
    ScenarioDevice device;
    device.Configure({{"power", {{"present", false}}},
                      {"peripheral", {{"present", false}}},
                      {"braille", {{"present", false}}},
                      {"store", {{"present", false}}}});
    fs::path nk = device.WriteNk("nk.bin", NkLayout());
    device.Offer({.nk = nk, .eboot = std::nullopt, .key = "1", .appData = device.WriteApps()});

    qs_tools::BootReport report = device.Boot();
    EXPECT_EQ(report.shellResult, 0);
    EXPECT_EQ(report.exitStatus, 0) << report.printed;
    EXPECT_TRUE(report.summary.held.empty());
    EXPECT_EQ(report.summary.osUpdate, true);
    EXPECT_EQ(report.summary.appData, true);
    EXPECT_EQ(report.summary.brailleWrites, 0u);
    EXPECT_FALSE(report.summary.bootKey);
    EXPECT_FALSE(report.summary.appExecuteFlag);
    EXPECT_FALSE(report.summary.restartRequested);
    EXPECT_EQ(report.summary.programStarted, "\\NAND\\apps\\LumTask.exe");

    const std::string log = device.DebugLog();
    EXPECT_TRUE(
        log.ends_with("[QuorShell] BootKeyStat 0 \r\n"
                      "Run Application 08:30:01 \r\n"
                      "[QUORSHELL] CreateFile PWR fail \r\n"
                      "QuorShell End \r\n"))
        << log;
    EXPECT_THAT(log, Not(HasSubstr("Partition Info")));
    std::vector<std::string> lines = SplitLines(log);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[QUORSHELL] CreateFile PWR fail \r\n"), 4)
        << "update mode on and off, boot key, flag";
    for (const Json &event : device.Journal()) {
        if (event["event"] == "ioctl") {
            EXPECT_EQ(event["device"], "DSK1:") << "only the flash answers: " << event.dump();
        }
    }
}

// Without the flash disk as well, the image update cannot open it, the serial-number check says so
// and the BINFS check finds no store; the flash stays as it was.
TEST(DriversMissing, WithoutTheFlashTheImageUpdateFailsAndTheBootEnds)
{
    ScenarioDevice device;
    device.Configure({{"flash", {{"present", false}}},
                      {"power", {{"present", false}}},
                      {"peripheral", {{"present", false}}},
                      {"braille", {{"present", false}}},
                      {"store", {{"present", false}}}});
    fs::path nk = device.WriteNk("nk.bin", NkLayout());
    device.Offer({.nk = nk, .eboot = std::nullopt, .key = "1", .appData = device.WriteApps()});
    const std::string flash = qs_test::FileText(device.folder() / "nand.bin");

    qs_tools::BootReport report = device.Boot();
    EXPECT_EQ(report.exitStatus, 0) << report.printed;
    EXPECT_TRUE(report.summary.held.empty());
    EXPECT_EQ(report.summary.osUpdate, false);
    EXPECT_EQ(report.summary.appData, true);
    EXPECT_EQ(report.summary.cues, (std::vector<std::string>{"update_start", "updatefail"}));
    EXPECT_EQ(report.summary.programStarted, "\\NAND\\apps\\LumTask.exe");

    const std::string log = device.DebugLog();
    EXPECT_THAT(log, HasSubstr("Found Image Path! \r\n"
                               "[QuorShell]UpdateSystemImage: CreateFile DSK1 fail \r\n"
                               "*********************[QuorShell]UpdateSystemImage -- 0 \r\n"));
    EXPECT_THAT(log, HasSubstr("OSUPDATE: CopyAPPFiles -- \r\n"
                               "[QuorShell]CheckSystemInfo: CreateFile DSK1 fail \r\n"
                               // the update mode off, then the boot-key query
                               "[QUORSHELL] CreateFile PWR fail \r\n"
                               "[QUORSHELL] CreateFile PWR fail \r\n"
                               "[QuorShell] BootKeyStat 0 \r\n"
                               "Run Application 08:30:00 \r\n"
                               "[QUORSHELL] CreateFile PWR fail \r\n"
                               "QuorShell End \r\n"));
    EXPECT_TRUE(log.ends_with("QuorShell End \r\n"));
    for (const Json &event : device.Journal()) {
        EXPECT_NE(event["event"], "ioctl") << "no driver answers: " << event.dump();
    }
    EXPECT_EQ(qs_test::FileText(device.folder() / "nand.bin"), flash);
}

}  // namespace
}  // namespace two_boot_test
