// Whole boots of factory-made devices with every combination of an operating-system image and
// application data offered, installed or failing: the cues, the update mode around the update,
// the restart request, the update folder consumed, the flash and the installed folders, and the
// run going on to the BINFS check and the launch. Every failure comes from the device: a broken
// image, a failing flash block, a copy that comes out changed or stops.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "devkit/app_data.h"
#include "devkit/flash_verify.h"
#include "tests/scenarios/scenario_device.h"

namespace decision_table_test {
namespace {

using namespace scenario;
using ::testing::HasSubstr;
using ::testing::Not;

enum class Image { None, Good, BrokenTrailer, BadRecordChecksum, CutShort };
enum class Apps { None, Good, CorruptedFiveTimes, CopyFails };

struct Row {
    const char *name;
    Image image;
    Apps apps;
    Json device;                   // faults merged into device.json
    std::optional<bool> osUpdate;  // the exit line of the image update; none: not run
    std::optional<bool> appData;   // the installation's result; none: not run
    std::vector<std::string> cues;
    bool restart;
    std::string started;            // the program launched, with the case of the folder on disk
    std::string imageFailure = "";  // how the image update's failure shows in the log
};

void PrintTo(const Row &row, std::ostream *out)
{
    *out << row.name;
}

const std::string kFactoryMain = "\\NAND\\APPS\\LumTask.exe";
const std::string kInstalledMain = "\\NAND\\apps\\LumTask.exe";

// Every copy of the main application comes out with its first byte inverted, so each of the
// five compares fails and the previous application folder is moved back.
const Json kCorrupted = {
    {"files",
     {{"corrupt_copies", {{{"path", kApps + "\\LumTask.exe"}, {"copies", 5}, {"offset", 0}}}}}}};
// Every copy of the main application stops after 100 bytes: the main copy and the copy after
// the failed compare both fail, and the backup stays.
const Json kCopyFails = {
    {"files", {{"fail_copies", {{{"path", kApps + "\\LumTask.exe"}, {"after_bytes", 100}}}}}}};
Json FlashFault(const char *op, uint32_t block)
{
    return {{"flash", {{"faults", {{{"op", op}, {"block", block}}}}}}};
}
Json Merged(Json faults, const Json &more)
{
    faults.merge_patch(more);
    return faults;
}

// "cue NAME", "mode on", "restart", "sleep MS", "BINFS checked", "start PATH", "flag WORD",
// "end": the steps of a boot a listener tells apart, in the journal's order.
std::vector<std::string> Steps(const std::vector<Json> &journal)
{
    std::vector<std::string> steps;
    for (const Json &event : journal) {
        const std::string kind = event["event"];
        if (kind == "ioctl" && event["device"] == "PWR1:") {
            if (event["code"] == 1045)
                steps.push_back(WordIn(event) == 0xACECECAC ? "mode on"
                                : WordIn(event) == 0        ? "mode off"
                                                            : "mode " + event["in"].dump());
            else if (event["code"] == 567)
                steps.push_back("restart");
            else if (event["code"] == 773)
                steps.push_back("flag " + qs_tools::FlagText(WordIn(event)));
        } else if (kind == "sound") {
            steps.push_back("cue " + qs_tools::CueName(event["path"]) +
                            (event["ok"] == true ? "" : " (not played)"));
        } else if (kind == "sleep") {
            steps.push_back("sleep " + event["ms"].dump());
        } else if (kind == "process") {
            steps.push_back((event["ok"] == true ? "start " : "failed ") +
                            event["path"].get<std::string>());
        } else if (kind == "log" && event["text"] == "[QuorShell]CheckBINFS: BINFS is exist \r\n") {
            steps.push_back("BINFS checked");
        } else if (kind == "log" && event["text"] == "QuorShell End \r\n") {
            steps.push_back("end");
        }
    }
    return steps;
}

// The update mode around the cues, the restart request after the restart cue and its pause,
// then the mode off, the BINFS check and the launch.
std::vector<std::string> ExpectedSteps(const Row &row)
{
    std::vector<std::string> steps;
    if (row.image != Image::None || row.apps != Apps::None)
        steps.push_back("mode on");
    for (const std::string &cue : row.cues) {
        steps.push_back("cue " + cue);
        if (cue == "reboot" && row.restart)
            steps.insert(steps.end(), {"sleep 1000", "restart"});
    }
    steps.insert(steps.end(),
                 {"mode off", "BINFS checked", "start " + row.started, "flag 0xACEC", "end"});
    return steps;
}

// Relative path -> bytes of every file below a device folder found as the device finds it,
// letter case ignored; empty when it is missing.
std::map<std::string, std::string> Snapshot(const fs::path &parent, const std::string &name)
{
    std::map<std::string, std::string> files;
    std::optional<fs::path> folder = devkit::FindDeviceEntry(parent, name);
    if (!folder)
        return files;
    for (const auto &entry : fs::recursive_directory_iterator(*folder))
        if (entry.is_regular_file())
            files[entry.path().lexically_relative(*folder).string()] =
                qs_test::FileText(entry.path());
    return files;
}

class DecisionTable : public testing::TestWithParam<Row> {
protected:
    // The package of the row in the device's update folder.
    void OfferPackage(const Row &row)
    {
        devkit::PackageFiles files{};
        files.key = "240315";
        if (row.image != Image::None) {
            nk_ = device_.WriteNk("nk.bin", NkLayout());
            nb0_ = device_.WriteNb0();
            files.nk = BrokenAs(row.image, *nk_);
            files.eboot = nb0_;
        }
        if (row.apps != Apps::None)
            files.appData = appTree_ = device_.WriteApps();
        if (files.nk || files.appData)
            device_.Offer(files);
    }

    // The good image's file, or a copy of it broken as the row says.
    fs::path BrokenAs(Image image, const fs::path &good) const
    {
        std::string text = qs_test::FileText(good);
        std::vector<uint8_t> bytes(text.begin(), text.end());
        switch (image) {
            case Image::BrokenTrailer: {
                devkit::BinImageLayout layout = NkLayout();
                layout.trailer->product = "K275X";
                return device_.WriteNk("broken_trailer.bin", layout);
            }
            case Image::BadRecordChecksum:
                bytes[kFirstRecordDataAt + 100] ^= 0x01;
                return device_.WriteFile("bad_checksum.bin", bytes);
            case Image::CutShort:
                bytes.resize(bytes.size() / 2);
                return device_.WriteFile("cut_short.bin", bytes);
            default:
                return good;
        }
    }

    ScenarioDevice device_;
    std::optional<fs::path> nk_, nb0_, appTree_;
};

TEST_P(DecisionTable, CuesModeRestartAndLaunch)
{
    const Row &row = GetParam();
    device_.Configure(row.device);
    OfferPackage(row);
    const std::string tocBefore = device_.TocSector();
    const auto factoryApps = Snapshot(device_.Host("\\NAND"), "apps");
    ASSERT_EQ(factoryApps.size(), 1u) << "the factory's main application";

    qs_tools::BootReport report = device_.Boot();

    EXPECT_EQ(report.shellResult, 0);
    EXPECT_EQ(report.summary.cues, row.cues);
    EXPECT_EQ(report.summary.osUpdate, row.osUpdate);
    EXPECT_EQ(report.summary.appData, row.appData) << report.summary.appDataDetail;
    EXPECT_EQ(report.summary.restartRequested, row.restart);
    EXPECT_EQ(Steps(device_.Journal()), ExpectedSteps(row));
    EXPECT_EQ(report.summary.programStarted, row.started);
    EXPECT_EQ(report.summary.appExecuteFlag, 0xACECu);
    EXPECT_TRUE(report.summary.held.empty()) << report.printed;
    EXPECT_TRUE(report.summary.flagsLeftOn.empty()) << report.printed;
    EXPECT_EQ(report.exitStatus, 0) << report.printed;

    // The update folder is consumed whatever happened; without one, its removal fails aloud.
    EXPECT_FALSE(fs::exists(devkit::UpdateFolder(device_.folder())));
    const std::string log = device_.DebugLog();
    const std::string removalFailed =
        "******** RemoveDirectory \\flashdisk\\K275D-Update fail \r\n";
    if (row.image == Image::None && row.apps == Apps::None) {
        EXPECT_THAT(log, HasSubstr(removalFailed));
    } else {
        EXPECT_THAT(log, Not(HasSubstr(removalFailed)));
    }
    EXPECT_THAT(log, HasSubstr("===============Partition Info====================\r\n"
                               "PartitionName\t==Part00 \r\n"
                               "FileSys\t\t\t==BINFS \r\n"
                               "NumSectors\t\t==0x55C0 \r\n"
                               "==================================================\r\n"
                               "[QuorShell]CheckBINFS: BINFS is exist \r\n"
                               "[QuorShell] BootKeyStat 0 \r\n"
                               "Run Application "));

    if (!row.imageFailure.empty()) {
        EXPECT_THAT(log, HasSubstr(row.imageFailure));
    }

    // A written image reads back as the boot loader finds it; otherwise the TOC is as it was.
    if (row.osUpdate == true) {
        devkit::VerifyReport verified = devkit::VerifyDevice(device_.folder(), *nk_, nb0_);
        EXPECT_TRUE(verified.Ok()) << verified.failure.value_or("");
    } else {
        EXPECT_EQ(device_.TocSector(), tocBefore);
    }

    // The application folder afterwards: as it was, the package's, or a broken copy beside the
    // backup.
    const fs::path nand = device_.Host("\\NAND");
    const auto apps = Snapshot(nand, "apps");
    const std::vector<std::string> lines = SplitLines(log);
    auto count = [&lines](const std::string &line) {
        return std::count(lines.begin(), lines.end(), line);
    };
    switch (row.apps) {
        case Apps::None:
            EXPECT_EQ(apps, factoryApps);
            EXPECT_FALSE(devkit::FindDeviceEntry(nand, "apps_bk"));
            break;
        case Apps::Good:
            EXPECT_EQ(apps, Snapshot(*appTree_, "apps"));
            EXPECT_FALSE(devkit::FindDeviceEntry(nand, "apps_bk"));
            break;
        case Apps::CorruptedFiveTimes:
            EXPECT_EQ(count("CopyAPPFiles: CheckExeFile fail \r\n"), 5);
            EXPECT_EQ(count("CopyAPPFiles: MoveFile \\NAND\\apps_bk -> \\NAND\\apps \r\n"), 1);
            EXPECT_EQ(apps, factoryApps);
            EXPECT_FALSE(devkit::FindDeviceEntry(nand, "apps_bk"));
            break;
        case Apps::CopyFails:
            // The main copy and the copy after the first failed compare.
            EXPECT_EQ(count("CopyAPPFiles: CopyExeFile fail \r\n"), 2);
            EXPECT_EQ(Snapshot(nand, "apps_bk"), factoryApps);
            EXPECT_EQ(apps.at("LumTask.exe"),
                      Snapshot(*appTree_, "apps").at("LumTask.exe").substr(0, 100));
            break;
    }
}

const std::string kProductRefused =
    "OSUPDATE: CheckImageSignature Product Signature is not match. exp:K275D real:K275X \r\n";
// One bit of the first record's data changed.
const std::string kChecksumRefused =
    "Checksum fail 02 Addr:0x80020000 Len:0x10000 Chksum:0x7F8000 real:0x7F8001 \r\n"
    "**** ReadAndVerify fail \r\n"
    "OS NK Image upload fail!!!! \r\n";
// The driver's refusal, the writer's line and exit line, and the update's line.
std::string NkFailed(const std::string &code, const std::string &operation)
{
    return "[QuorShell]FMD DeviceIoControl " + code +
           " fail \r\n[QuorShell] WriteNK: " + operation +
           " fail \r\n[QuorShell] WriteNK -- \r\nWrite NK Image fail !!!! \r\n";
}
const std::string kWriteFailed = NkFailed("IOCTL_FMD_WRITE_SECTOR", "NandWriteBlock");

const Json kNoFault = Json::object();
const std::optional<bool> kNotRun, kOk = true, kFailed = false;
const std::vector<std::string> kNoCues, kStartSuccess = {"update_start", "success"},
                                        kStartFail = {"update_start", "updatefail"},
                                        kFirmwareFail = {"update_start", "firmware", "updatefail"},
                                        kRestart = {"update_start", "success", "reboot"},
                                        kFailRestart = {"update_start", "updatefail", "reboot"};

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Rows, DecisionTable,
    testing::Values(
        // name, image offered, application data offered, faults,
        //     UpdateSystemImage, CopyAPPFiles, cues, restart, program started, image failure line
        Row{"NothingOffered", Image::None, Apps::None, kNoFault,
            kNotRun, kNotRun, kNoCues, false, kFactoryMain},
        Row{"AppDataInstalled", Image::None, Apps::Good, kNoFault,
            kNotRun, kOk, kStartSuccess, false, kInstalledMain},
        Row{"AppDataCorruptedFiveTimes", Image::None, Apps::CorruptedFiveTimes, kCorrupted,
            kNotRun, kFailed, kStartFail, false, kInstalledMain},
        Row{"AppDataCopyStops", Image::None, Apps::CopyFails, kCopyFails,
            kNotRun, kFailed, kStartFail, false, kInstalledMain},
        Row{"ImageWritten", Image::Good, Apps::None, kNoFault,
            kOk, kNotRun, kRestart, true, kFactoryMain},
        Row{"ImageWrittenAppDataInstalled", Image::Good, Apps::Good, kNoFault,
            kOk, kOk, kRestart, true, kInstalledMain},
        Row{"ImageWrittenAppDataCorrupted", Image::Good, Apps::CorruptedFiveTimes, kCorrupted,
            kOk, kFailed, kFailRestart, true, kInstalledMain},
        Row{"ImageWrittenAppDataCopyStops", Image::Good, Apps::CopyFails, kCopyFails,
            kOk, kFailed, kFailRestart, true, kInstalledMain},
        // A refused trailer plays the firmware cue inside the image update.
        Row{"ImageTrailerRefused", Image::BrokenTrailer, Apps::None, kNoFault,
            kFailed, kNotRun, kFirmwareFail, false, kFactoryMain, kProductRefused},
        // The trailer is read from the middle of the image.
        Row{"ImageCutShort", Image::CutShort, Apps::None, kNoFault,
            kFailed, kNotRun, kFirmwareFail, false, kFactoryMain,
            "OSUPDATE: CheckImageSignature Company Signature is not match. exp:QUOR real:"},
        Row{"ImageRecordChecksumWrong", Image::BadRecordChecksum, Apps::None, kNoFault,
            kFailed, kNotRun, kStartFail, false, kFactoryMain, kChecksumRefused},
        Row{"ImageEraseFails", Image::Good, Apps::None, FlashFault("erase", 7),
            kFailed, kNotRun, kStartFail, false, kFactoryMain,
            NkFailed("IOCTL_FMD_ERASE_BLOCK", "NandEraseBlock")},
        Row{"ChecksumWrongAppDataInstalled", Image::BadRecordChecksum, Apps::Good, kNoFault,
            kFailed, kOk, kStartFail, false, kInstalledMain, kChecksumRefused},
        Row{"ImageWriteFailsAppDataInstalled", Image::Good, Apps::Good, FlashFault("write", 8),
            kFailed, kOk, kStartFail, false, kInstalledMain, kWriteFailed},
        Row{"ImageWriteFailsAppDataCorrupted", Image::Good, Apps::CorruptedFiveTimes,
            Merged(kCorrupted, FlashFault("write", 6)),
            kFailed, kFailed, kStartFail, false, kInstalledMain, kWriteFailed},
        Row{"TrailerRefusedAppDataCopyStops", Image::BrokenTrailer, Apps::CopyFails, kCopyFails,
            kFailed, kFailed, kFirmwareFail, false, kInstalledMain, kProductRefused}),
    [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
}  // namespace decision_table_test
