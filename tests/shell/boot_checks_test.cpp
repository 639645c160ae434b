// The serial-number and BINFS checks within whole boots: where they fall among the update's cues,
// the restart request and the launch, and what they leave on the device.
#include <stdlib.h>

#include "devkit/bin_image.h"
#include "devkit/device_maker.h"
#include "devkit/toc_record.h"
#include "devkit/update_package.h"
#include "platform/host/host.h"
#include "sim/flash_driver.h"
#include "tests/shell/boot_fixture.h"

// Named, so that the area's files can share one unity build.
namespace boot_checks_test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Steps = std::vector<std::string>;

const std::string kSysInfo = "\\NAND\\M7LITE_0020240315.sys";
const std::array<uint8_t, 16> kSerial2024 = {0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2, 4, 0, 3, 1, 5};

devkit::TocRecord TocOnFlash(sim::Device &device)
{
    return devkit::DecodeToc(sim::DeviceFlash(device).Flash().Sector(devkit::kTocSector));
}

// What a boot did, one step per event of interest, in order.
Steps Seen(sim::Device &device)
{
    Steps steps;
    for (const auto &event : device.Events().Events()) {
        std::string kind = event["event"];
        if (kind == "log" && event["text"] == "Device Serial \r\n")
            steps.push_back("serial check");
        else if (kind == "log" && event["text"] == "Serial Number from Sys Info File \r\n")
            steps.push_back("serial restored");
        else if (kind == "log" &&
                 event["text"] == "Sys info is not exist. But SN is exist in TOC \r\n")
            steps.push_back("file created");
        else if (kind == "ioctl" && event["device"] == "PWR1:" && event["code"] == 1045)
            steps.push_back("mode " + event["in"].get<std::string>());
        else if (kind == "ioctl" && event["device"] == "PWR1:" && event["code"] == 567)
            steps.push_back("restart");
        else if (kind == "ioctl" && event["device"] == "PWR1:" && event["code"] == 565)
            steps.push_back("boot key");
        else if (kind == "store" && event["call"] == "OpenStore")
            steps.push_back("binfs");
        else if (kind == "sound")  // the name after the device folder
            steps.push_back(event["path"].get<std::string>().substr(sizeof("\\windows\\") - 1));
    }
    return steps;
}

class BootChecks : public qs_test::BootTest {
protected:
    void Offer()
    {
        device().PutFile("\\windows\\update_start.wav", qs_test::Wave(300));
        device().PutFile("\\windows\\success.wav", qs_test::Wave(250));
        device().PutFile("\\windows\\reboot.wav", qs_test::Wave(400));
        fs::path images = device().folder() / "images";
        fs::create_directories(images);
        devkit::BinImageLayout layout;
        layout.image.assign(0x30000, 0x5A);
        devkit::WriteBinImage(images / "nk.bin", layout);
        devkit::PlacePackage(device().folder(), {images / "nk.bin", std::nullopt, "1"});
    }
};

// The update re-initialises the TOC on an erased flash, so its serial is lost; the system-
// information file gives it back on the same start, before the cues that close the update. The
// BINFS check follows the update mode's end and comes before the boot-key query.
TEST_F(BootChecks, SerialComesBackBeforeTheRestartAndBinfsIsCheckedBeforeTheBootKey)
{
    MakeDevice({{"flash", {{"blocks", 64}}}});
    device().PutFile(kSysInfo, "mac");
    Offer();
    EXPECT_EQ(Boot(), 0);
    EXPECT_EQ(Seen(device().device()), (Steps{"mode acececac", "update_start.wav", "serial check",
                                              "serial restored", "success.wav", "reboot.wav",
                                              "restart", "mode 00000000", "binfs", "boot key"}));
    devkit::TocRecord toc = TocOnFlash(device().device());
    EXPECT_FALSE(devkit::TocRefusal(toc).has_value());
    EXPECT_EQ(toc.serialNumber, kSerial2024);
    EXPECT_EQ(device().ReadFile(kSysInfo), "mac");
    EXPECT_EQ(device().LogEntries().back(), qs_test::kEnd);
    EXPECT_EQ(ce_host::Held().handles, 0u);
}

// The same update without the file leaves the TOC as the update wrote it: the restored serial is
// the only difference between the two.
TEST_F(BootChecks, RestoringTheSerialKeepsTheImageTheUpdateRecorded)
{
    MakeDevice({{"flash", {{"blocks", 64}}}});
    Offer();
    Boot();
    devkit::TocRecord withoutFile = TocOnFlash(device().device());
    EXPECT_EQ(withoutFile.serialNumber, (std::array<uint8_t, 16>{}));

    MakeDevice({{"flash", {{"blocks", 64}}}});
    device().PutFile(kSysInfo, "");
    Offer();
    Boot();
    devkit::TocRecord withFile = TocOnFlash(device().device());
    EXPECT_EQ(withFile.serialNumber, kSerial2024);
    for (size_t i = 0; i < devkit::kTocImages; ++i) {
        EXPECT_EQ(withFile.images[i].signature, withoutFile.images[i].signature) << i;
        EXPECT_EQ(withFile.images[i].sectors, withoutFile.images[i].sectors) << i;
        EXPECT_EQ(withFile.images[i].loadAddress, withoutFile.images[i].loadAddress) << i;
        EXPECT_EQ(withFile.images[i].name, withoutFile.images[i].name) << i;
    }
}

// A partition too small for BINFS is recorded at the boot's local time.
TEST_F(BootChecks, ShortBinfsPartitionIsRecordedDuringTheBoot)
{
    MakeDevice(
        {{"clock", {{"local_offset_minutes", 90}}},
         {"store", {{"partitions", json::array({{{"name", "Part00"}, {"sectors", 100}}})}}}});
    Boot();
    std::string expected;
    for (char c : std::string("Check BINFS: 2026/12/ 5 10: 0 \r\n"))
        expected += std::string{c, '\0'};
    EXPECT_EQ(device().ReadFile("\\flashdisk\\BINFS_CHECK.log"), expected);
    EXPECT_EQ(device().LogEntries().back(), qs_test::kEnd);
}

// A device as the factory lays it down: a TOC with the serial and MAC address, no file yet.
class FactoryDevice : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "qs-factory-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        work_ = pattern;
        folder_ = work_ / "device";
        devkit::CreateDevice(folder_, {.force = true, .blocks = 64});
    }

    void TearDown() override
    {
        ce_host::Detach();
        device_.reset();
        std::error_code ignored;
        fs::remove_all(work_, ignored);
    }

    // One boot of the folder as it is, saved as the runner saves it.
    void Boot()
    {
        ce_host::Detach();
        device_ = sim::Device::Open(folder_);
        ce_host::Attach(*device_);
        ResetShellState();
        QuorShellMain();
        held_ = ce_host::Held().handles;
        device_->Save();
    }

    std::string SysInfo() const
    {
        return sim::ReadWholeFile(folder_ / "root" / "NAND" / "M7LITE_0020240315.sys");
    }

    fs::path work_;
    fs::path folder_;
    std::unique_ptr<sim::Device> device_;
    size_t held_ = 0;
};

TEST_F(FactoryDevice, FirstBootCreatesTheFileAndTheNextLeavesItAlone)
{
    Boot();
    EXPECT_EQ(Seen(*device_),
              (Steps{"serial check", "file created", "mode 00000000", "binfs", "boot key"}));
    const devkit::MacAddress mac = devkit::kDefaultMac;
    EXPECT_EQ(SysInfo(), std::string(mac.begin(), mac.end()));
    EXPECT_EQ(held_, 0u);
    std::vector<uint8_t> toc(std::begin(sim::DeviceFlash(*device_).Flash().Sector(320)),
                             std::end(sim::DeviceFlash(*device_).Flash().Sector(320)));

    Boot();
    EXPECT_EQ(Seen(*device_), (Steps{"serial check", "mode 00000000", "binfs", "boot key"}));
    EXPECT_EQ(SysInfo(), std::string(mac.begin(), mac.end()));
    auto sector = sim::DeviceFlash(*device_).Flash().Sector(320);
    EXPECT_TRUE(std::equal(sector.begin(), sector.end(), toc.begin(), toc.end()));
    EXPECT_EQ(held_, 0u);
}

}  // namespace
}  // namespace boot_checks_test
