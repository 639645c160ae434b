// Boots that follow one another on the same device folder: the serial number lost from the TOC
// and brought back from the system-information file's name after an update that re-initialised the
// TOC, and the start after that, which finds both and changes nothing;
// and an update offered again that meets a failed erase, judged as the boot loader reads the flash.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "devkit/device_view.h"
#include "devkit/flash_verify.h"
#include "platform/host/call_faults.h"
#include "tests/scenarios/scenario_device.h"
#include "tools/reports/flash_verdict.h"

namespace two_boot_test {
namespace {

using namespace scenario;
using ::testing::HasSubstr;
using Lines = std::vector<std::string>;

// devkit's default MAC address, the content of the system-information file.
const std::string kFactoryMac("\x02\x00\x00\x00\x00\x01", 6);
constexpr uint64_t kBlockBytes = uint64_t(sim::kSectorsPerBlock) * sim::kSectorRecordSize;

// The lines from the serial-number check's dump to the BINFS check that follows it.
Lines SerialCheckLines(const std::string &log)
{
    Lines lines = SplitLines(log);
    auto from = std::find(lines.begin(), lines.end(), "Device Serial \r\n");
    auto to = std::find(from, lines.end(), "===============Partition Info====================\r\n");
    return {from, to};
}

// A first start of the factory device names the system-information file after the TOC's serial;
// an update that finds no TOC writes the defaults, so the serial is lost with it; the check that
// follows in the same boot brings it back from the file's name alone, and the next start finds
// both, logs the serial, plays nothing and changes nothing. The serial-number check's own table
// holds the other losses and finds within one boot.
TEST(SerialComesBack, AfterAnUpdateThatReinitialisesTheToc)
{
    const std::string serial = "0020240315";
    ScenarioDevice device(devkit::DeviceOptions{.blocks = kBlocks});
    const fs::path sysInfo = device.Host("\\NAND\\M7LITE_" + serial + ".sys");
    qs_tools::BootReport first = device.Boot();
    ASSERT_EQ(first.exitStatus, 0) << first.printed;
    ASSERT_EQ(
        SerialCheckLines(device.DebugLog()),
        (Lines{"Device Serial \r\n", "0000000020240315\r\n", "Serial Number is exist in TOC \r\n",
               "Sys info is not exist. But SN is exist in TOC \r\n",
               "Sys Info Path \\NAND\\M7LITE_" + serial + ".sys \r\n"}));
    ASSERT_EQ(qs_test::FileText(sysInfo), kFactoryMac);
    // Block 5 erased: the update finds no TOC and writes the defaults with the new image.
    device.PatchFlash(5 * kBlockBytes, std::string(kBlockBytes, '\xFF'));
    const fs::path nk = device.WriteNk("nk.bin", NkLayout());
    device.Offer({.nk = nk, .eboot = std::nullopt, .key = "240315"});

    qs_tools::BootReport report = device.Boot();
    EXPECT_EQ(report.exitStatus, 0) << report.printed;
    const std::string log = device.DebugLog();
    EXPECT_EQ(SerialCheckLines(log),
              (Lines{"Device Serial \r\n", "0000000000000000\r\n",
                     "Serial Number is not exist in TOC \r\n",
                     "SN is not exist in TOC. But sys info is exist \r\n",
                     "Serial Number from Sys Info File \r\n", "000000" + serial + "\r\n",
                     "+ TOC_Write\r\n", "- TOC_Write\r\n", "TOC_Read: 5 \r\n",
                     " [QuorShell] g_ImageType: 0x8 \r\n", " - TOC_Read \r\n"}));
    EXPECT_EQ(device.TocSerial(), SerialBytes(serial));
    EXPECT_EQ(qs_test::FileText(sysInfo), kFactoryMac);
    EXPECT_EQ(report.summary.osUpdate, true);
    EXPECT_THAT(log, HasSubstr("TOC_Read ERROR: INVALID_TOC Signature: 0xffffffff\r\n"
                               "[QuorShell]UpdateSystemImage: TOC_Read fail. So Initialize "
                               "TOC \r\n+BootConfigInit\r\n-BootConfigInit\r\nTOC {\r\n"));
    // Only the file's name is read back: the MAC address stays as the defaults left it.
    EXPECT_EQ(device.Flash(kTocSectorAt + kTocMacAt, 6), std::string(6, '\0'));
    devkit::VerifyReport verified = devkit::VerifyDevice(device.folder(), nk, std::nullopt);
    EXPECT_TRUE(verified.Ok()) << verified.failure.value_or("");

    const std::string toc = device.TocSector();
    report = device.Boot();
    EXPECT_EQ(report.exitStatus, 0) << report.printed;
    EXPECT_TRUE(report.summary.cues.empty());
    EXPECT_EQ(SerialCheckLines(device.DebugLog()),
              (Lines{"Device Serial \r\n", "000000" + serial + "\r\n",
                     "Serial Number is exist in TOC \r\n"}));
    EXPECT_EQ(device.TocSector(), toc);
    EXPECT_EQ(qs_test::FileText(sysInfo), kFactoryMac);
}

// The update that a device booted, offered again, meets a failed erase of block 6, the first of
// the image's: untouched, the block still holds the image, which the boot loader starts; torn, its
// first half is erased and nothing starts. The fault comes from device.json or from the call
// failing at the platform; one that lasts fails the erase again when the update is offered anew.
struct EraseRow {
    const char *name;
    bool byCall;
    ce_host::FaultMode mode;
    const char *boots;  // the verdict afterwards
};

class UpdateMeetsAFailedErase : public testing::TestWithParam<EraseRow> {};

TEST_P(UpdateMeetsAFailedErase, TheBootLoaderStartsWhatTheFlashStillHolds)
{
    const EraseRow &row = GetParam();
    ScenarioDevice device;
    const fs::path nk = device.WriteNk("nk.bin", NkLayout()), nb0 = device.WriteNb0();
    const devkit::PackageFiles package{.nk = nk, .eboot = nb0, .key = "240315"};
    const qs_tools::BootImages images = qs_tools::ReadPackageImages(nk, nb0);
    auto boots = [&] {
        return std::string(qs_tools::VerdictName(
            qs_tools::JudgeFlash(*devkit::OpenDeviceFlash(device.folder()), images, images)
                .verdict));
    };
    device.Offer(package);
    ASSERT_EQ(device.Boot().exitStatus, 0);
    ASSERT_EQ(boots(), "new");

    std::optional<uint64_t> n;
    if (row.byCall) {
        // The erase's number, from a boot of the same update without a fault.
        device.Offer(package);
        device.Boot();
        const std::vector<ce_host::FallibleCallRecord> &calls = ce_host::FallibleCalls();
        for (size_t i = 0; i < calls.size() && !n; ++i)
            if (calls[i].target == "DSK1: IOCTL_FMD_ERASE_BLOCK 06000000")
                n = i + 1;
        ASSERT_TRUE(n.has_value());
    } else {
        device.Configure({{"flash",
                           {{"faults",
                             {{{"op", "erase"},
                               {"block", 6},
                               {"leaves", row.mode.torn ? "torn" : "untouched"}}}}}}});
    }
    device.Offer(package);
    {
        ce_host::ScopedFailingCall fault(n, row.mode);
        EXPECT_EQ(device.Boot().exitStatus, qs_tools::kExitUpdateFailed);
    }
    EXPECT_EQ(boots(), row.boots);
    if (row.mode.lasting) {
        device.Offer(package);
        EXPECT_EQ(device.Boot().exitStatus, qs_tools::kExitUpdateFailed);
        EXPECT_EQ(ce_host::LastingPlaces(), std::vector<std::string>{"DSK1: block 6"});
        EXPECT_EQ(boots(), row.boots);
        ce_host::ClearLastingFaults();
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, UpdateMeetsAFailedErase,
                         testing::Values(EraseRow{"Untouched", false, {}, "new"},
                                         EraseRow{"Torn", false, {.torn = true}, "unbootable"},
                                         EraseRow{"UntouchedByCall", true, {}, "new"},
                                         EraseRow{"TornByCall", true, {.torn = true}, "unbootable"},
                                         EraseRow{"LastingByCall", true, {.lasting = true}, "new"}),
                         [](const testing::TestParamInfo<EraseRow> &info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace two_boot_test
