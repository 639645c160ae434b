// Whole boots with an operating-system image offered: the update mode around the update, the
// cues in order, the restart request after its pause, and the run going on to the launch.
#include <gmock/gmock.h>

#include <fstream>

#include "devkit/bin_image.h"
#include "devkit/update_package.h"
#include "platform/host/host.h"
#include "tests/shell/boot_fixture.h"

// Named, so that the area's files can share one unity build.
namespace boot_update_test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Steps = std::vector<std::string>;
using BootTest = qs_test::BootTest;

struct ImageRow {
    const char *name;
    json device;          // merged into the test device's description
    std::string product;  // the image's trailer
    Steps steps;          // what the device saw, in order
    bool offerImage = true;
    bool offerApps = false;  // an application folder holding the main application
};

const std::string kApps = "\\flashdisk\\K275D-Update\\APP_DATA\\apps";
// Every copy of the application comes out changed: five compares fail and the old one returns.
const json kAppsFail = {
    {"files",
     {{"corrupt_copies", {{{"path", kApps + "\\data.bin"}, {"copies", 5}, {"offset", 3}}}}}}};

class BootWithImage : public qs_test::BootTest, public testing::WithParamInterface<ImageRow> {
protected:
    void Offer(const std::string &product)
    {
        fs::path images = device().folder() / "images";
        fs::create_directories(images);
        devkit::BinImageLayout layout;
        layout.image.assign(0x30000, 0x5A);
        layout.trailer->product = product;
        devkit::WriteBinImage(images / "nk.bin", layout);
        devkit::PlacePackage(device().folder(), {images / "nk.bin", std::nullopt, "1"});
    }

    // The power controller's codes, the cues, the pauses of a second and the program starts.
    Steps Seen()
    {
        Steps steps;
        for (const auto &event : device().device().Events().Events()) {
            std::string kind = event["event"];
            if (kind == "ioctl" && event["device"] == "PWR1:" && event["code"] == 1045)
                steps.push_back("mode " + event["in"].get<std::string>());
            else if (kind == "ioctl" && event["device"] == "PWR1:" && event["code"] == 567)
                steps.push_back("restart");
            else if (kind == "sound")
                steps.push_back(
                    event["path"].get<std::string>().substr(9));  // the name after the folder
            else if (kind == "sleep" && event["ms"] == 1000)
                steps.push_back("pause 1000");
            else if (kind == "process")
                steps.push_back("start " + event["path"].get<std::string>());
        }
        return steps;
    }
};

TEST_P(BootWithImage, CuesModeAndRestartInOrder)
{
    json description = {{"flash", {{"blocks", 64}}}};
    description.merge_patch(GetParam().device);
    MakeDevice(description);
    device().PutFile("\\windows\\update_start.wav", qs_test::Wave(300));
    device().PutFile("\\windows\\success.wav", qs_test::Wave(250));
    device().PutFile("\\windows\\updatefail.wav", qs_test::Wave(500));
    device().PutFile("\\windows\\reboot.wav", qs_test::Wave(400));
    device().PutFile("\\windows\\firmware.wav", qs_test::Wave(200));
    if (GetParam().offerImage)
        Offer(GetParam().product);
    if (GetParam().offerApps) {
        device().PutFile(kApps + "\\LumTask.exe", "MZ new");
        device().PutFile(kApps + "\\data.bin", std::string(70000, 'd'));
    }
    EXPECT_EQ(Boot(), 0);
    EXPECT_EQ(Seen(), GetParam().steps);
    EXPECT_EQ(device().LogEntries().back(), qs_test::kEnd);
    EXPECT_EQ(ce_host::Held().handles, 0u);
    EXPECT_EQ(ce_host::Held().heapBlocks, 0u);
}

const std::string kMainStart = "start \\NAND\\APPS\\LumTask.exe";
// An installed or restored application folder takes the name the installation gives it.
const std::string kInstalledStart = "start \\NAND\\apps\\LumTask.exe";

INSTANTIATE_TEST_SUITE_P(
    Table, BootWithImage,
    testing::Values(ImageRow{"UpdateSucceeds",
                             json::object(),
                             "K275D",
                             {"mode acececac", "update_start.wav", "success.wav", "reboot.wav",
                              "pause 1000", "restart", "mode 00000000", kMainStart}},
                    ImageRow{"ImageRefused",
                             json::object(),
                             "K275X",
                             {"mode acececac", "update_start.wav", "firmware.wav", "updatefail.wav",
                              "mode 00000000", kMainStart}},
                    ImageRow{"FlashFails",
                             {{"flash", {{"faults", {{{"op", "erase"}, {"block", 7}}}}}}},
                             "K275D",
                             {"mode acececac", "update_start.wav", "updatefail.wav",
                              "mode 00000000", kMainStart}},
                    ImageRow{"AppDataOnly",
                             json::object(),
                             "K275D",
                             {"mode acececac", "update_start.wav", "success.wav", "mode 00000000",
                              kInstalledStart},
                             false,
                             true},
                    ImageRow{"AppDataOnlyFails",
                             kAppsFail,
                             "K275D",
                             {"mode acececac", "update_start.wav", "updatefail.wav",
                              "mode 00000000", kInstalledStart},
                             false,
                             true},
                    ImageRow{"ImageAndAppData",
                             json::object(),
                             "K275D",
                             {"mode acececac", "update_start.wav", "success.wav", "reboot.wav",
                              "pause 1000", "restart", "mode 00000000", kInstalledStart},
                             true,
                             true},
                    ImageRow{"ImageAndAppDataFails",
                             kAppsFail,
                             "K275D",
                             {"mode acececac", "update_start.wav", "updatefail.wav", "reboot.wav",
                              "pause 1000", "restart", "mode 00000000", kInstalledStart},
                             true,
                             true},
                    ImageRow{"ImageFailsAndAppDataFails",
                             kAppsFail,
                             "K275X",
                             {"mode acececac", "update_start.wav", "firmware.wav", "updatefail.wav",
                              "mode 00000000", kInstalledStart},
                             true,
                             true}),
    [](const testing::TestParamInfo<ImageRow> &info) { return std::string(info.param.name); });

// The update folder is consumed: its NK image is gone after a good update, and the next boot
// offers nothing and starts the application with no cue.
TEST_F(BootTest, ASecondBootAfterTheUpdateIsAPlainStart)
{
    MakeDevice({{"flash", {{"blocks", 64}}}});
    fs::path images = device().folder() / "images";
    fs::create_directories(images);
    devkit::BinImageLayout layout;
    layout.image.assign(0x30000, 0x11);
    devkit::WriteBinImage(images / "nk.bin", layout);
    devkit::PlacePackage(device().folder(), {images / "nk.bin", std::nullopt, "1"});
    Boot();
    EXPECT_FALSE(fs::exists(device().Host("\\flashdisk\\K275D-Update\\R5nk_1.bin")));
    device().Reload();
    device().device().Events().Clear();
    Boot();
    for (const auto &event : device().device().Events().Events())
        EXPECT_NE(event["event"], "sound") << event.dump();
    EXPECT_EQ(device().LogEntries().back(), qs_test::kEnd);
}

}  // namespace
}  // namespace boot_update_test
