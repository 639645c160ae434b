// Whole boots of factory-made devices where an operating-system image and application data meet,
// offered, installed or failing: the update mode, the cues and the restart
// request in order among the installation's end, the update folder's removal and the serial-number
// check, the update folder consumed, the flash and the installed folders, and the run going on to
// the BINFS check and the launch. Every failure comes from the device: a broken image, a failing
// flash block, a copy that comes out changed or stops, a missing driver, a file held open. A start
// with nothing offered and an image written alone are rows of the boot table
// (tests/shell/boot_test.cpp); an installation's retries and restore alone, of the installation's
// (tests/appupdate/install_test.cpp).
#include <gtest/gtest.h>

#include <map>

#include "devkit/app_data.h"
#include "devkit/flash_verify.h"
#include "tests/scenarios/scenario_device.h"

namespace decision_table_test {
namespace {

using namespace scenario;

enum class Image { None, Good, BrokenTrailer, BadRecordChecksum, CutShort };
enum class Apps { None, Good, WithoutMain, CorruptedFiveTimes, CopyFails };

struct Row {
    const char *name;
    Image image;
    Apps apps;
    Json device;                    // merged into device.json
    std::string steps;              // what Steps shows, ", " between steps
    std::string launch;             // the steps from the update mode's end on
    std::string imageFailure = "";  // how the image update's failure shows in the log
    bool folderLocked = false;      // a file in the update folder is held open elsewhere
};

void PrintTo(const Row &row, std::ostream *out)
{
    *out << row.name;
}

const std::string kLocked = "\\flashdisk\\K275D-Update\\notes.txt";

// Lines of the log that mark where a boot has got to.
const std::map<std::string, std::string> kMarks = {
    {"OSUPDATE: CopyAPPFiles -- \r\n", "installed"},
    {"DeleteAllFile: DeleteFile " + kLocked + " fail \r\n", "not emptied"},
    {"******** RemoveDirectory \\flashdisk\\K275D-Update fail \r\n", "folder kept"},
    {"Device Serial \r\n", "serial"},
    {"[QuorShell]CheckSystemInfo: CreateFile DSK1 fail \r\n", "no serial"},
    {"[QUORSHELL] CreateFile PWR fail \r\n", "no PWR1"},
    {"[QuorShell]CheckBINFS: BINFS is exist \r\n", "BINFS"},
    {"QuorShell End \r\n", "end"}};
const std::string kNkExit = "*********************[QuorShell]UpdateSystemImage -- ";

// The steps of a boot a listener tells apart, in the journal's order; a step repeated n times in
// a row shows once, with " xn".
std::vector<std::string> Steps(const std::vector<Json> &journal)
{
    std::vector<std::string> steps;
    for (const Json &event : journal) {
        const std::string kind = event["event"];
        std::string step;
        if (kind == "ioctl" && event["device"] == "PWR1:") {
            const uint32_t word = WordIn(event);
            if (event["code"] == 1045)
                step = word == 0xACECECAC ? "on" : word == 0 ? "off" : "mode " + event["in"].dump();
            else if (event["code"] == 565)
                step = "key " + std::to_string(qs_tools::FromHex(event["out"]).at(0));
            else if (event["code"] == 567)
                step = "restart";
            else if (event["code"] == 773)
                step = "flag " + qs_tools::FlagText(word);
        } else if (kind == "sound") {
            step =
                "cue " + qs_tools::CueName(event["path"]) + (event["ok"] == true ? "" : " (mute)");
        } else if (kind == "sleep") {
            step = "sleep " + event["ms"].dump();
        } else if (kind == "process") {
            step = (event["ok"] == true ? "start " : "failed ") + event["path"].get<std::string>();
        } else if (kind == "log") {
            const std::string text = event["text"];
            if (kMarks.contains(text))
                step = kMarks.at(text);
            else if (text.starts_with(kNkExit))
                step = "nk " + text.substr(kNkExit.size(), 1);
        }
        if (step.empty())
            continue;
        if (!steps.empty() && steps.back() == step)
            steps.back() += " x2";
        else if (!steps.empty() && steps.back().starts_with(step + " x"))
            steps.back() =
                step + " x" + std::to_string(std::stoi(steps.back().substr(step.size() + 2)) + 1);
        else
            steps.push_back(step);
    }
    return steps;
}

std::vector<std::string> Split(const std::string &text)
{
    std::vector<std::string> parts;
    for (size_t from = 0, end = 0; from < text.size(); from = end + 2) {
        end = std::min(text.find(", ", from), text.size());
        parts.push_back(text.substr(from, end - from));
    }
    return parts;
}

// Every entry below a device folder found as the device finds it, letter case ignored; empty
// when it is missing.
std::map<std::string, std::string> Snapshot(const fs::path &parent, const std::string &name)
{
    std::optional<fs::path> folder = devkit::FindDeviceEntry(parent, name);
    return folder ? qs_test::Snapshot(*folder) : std::map<std::string, std::string>{};
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
        if (row.apps != Apps::None) {
            files.appData = appTree_ = device_.WriteApps();
            if (row.apps == Apps::WithoutMain)
                fs::remove(*appTree_ / "apps" / "LumTask.exe");
        }
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

TEST_P(DecisionTable, StepsFlashAndFolders)
{
    const Row &row = GetParam();
    device_.Configure(row.device);
    if (row.image != Image::None || row.apps != Apps::None)
        OfferPackage(row);
    if (row.folderLocked) {
        std::ofstream(device_.Host(kLocked)) << "held";
        device_.Configure({{"files", {{"locked", {kLocked}}}}});
    }
    const std::string tocBefore = device_.TocSector();
    const auto factoryApps = Snapshot(device_.Host("\\NAND"), "apps");
    ASSERT_EQ(factoryApps.size(), 1u) << "the factory's main application";

    qs_tools::BootReport report = device_.Boot();

    EXPECT_EQ(report.shellResult, 0);
    // No rule of the device broken; a failed image update and a failed installation told apart.
    const bool appsFail = row.apps == Apps::CorruptedFiveTimes || row.apps == Apps::CopyFails;
    EXPECT_EQ(report.exitStatus,
              (row.steps.find("nk 0") != std::string::npos ? qs_tools::kExitUpdateFailed : 0) |
                  (appsFail ? qs_tools::kExitAppDataFailed : 0))
        << report.printed;
    EXPECT_EQ(Steps(device_.Journal()), Split(row.steps + ", " + row.launch));
    // The update folder is consumed whatever happened, unless a file in it cannot be deleted.
    EXPECT_EQ(fs::exists(devkit::UpdateFolder(device_.folder())), row.folderLocked);
    const std::string log = device_.DebugLog();
    // The shell's line of a failed image update; where none fails, the exit status above says so.
    if (!row.imageFailure.empty())
        EXPECT_NE(log.find(row.imageFailure), std::string::npos) << row.imageFailure;

    // A written image reads back as the boot loader finds it; otherwise the TOC is as it was.
    if (row.steps.find("nk 1") != std::string::npos) {
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
        case Apps::WithoutMain:
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
            EXPECT_EQ(apps.at("LumTask.exe"),  // "=" and the first 100 bytes
                      Snapshot(*appTree_, "apps").at("LumTask.exe").substr(0, 101));
            break;
    }
}

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
const Json kNoFault = Json::object();
const Json kDriversMissing = {{"power", {{"present", false}}},
                              {"peripheral", {{"present", false}}},
                              {"braille", {{"present", false}}},
                              {"store", {{"present", false}}}};

const std::string kProductRefused =
    "OSUPDATE: CheckImageSignature Product Signature is not match. exp:K275D real:K275X \r\n";
// One bit of the first record's data changed.
const std::string kChecksumRefused =
    "Checksum fail 02 Addr:0x80020000 Len:0x10000 Chksum:0x7E035D real:0x7E035C \r\n"
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

const std::string kFactory = "off, BINFS, key 0, start \\NAND\\APPS\\LumTask.exe, flag 0xACEC, end";
const std::string kInstalled =
    "off, BINFS, key 0, start \\NAND\\apps\\LumTask.exe, flag 0xACEC, end";
const std::string kStart = "on, cue update_start, ";
const std::string kRestart = "cue reboot, sleep 1000, restart";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Rows, DecisionTable,
    testing::Values(
        // The application data's cue right after the installation, before the update folder is
        // removed and the serial number checked.
        Row{"AppDataInstalled", Image::None, Apps::Good, kNoFault,
            kStart + "installed, cue success, serial", kInstalled},
        // The image's success is announced after the serial-number check, with the restart.
        Row{"ImageWrittenAppDataInstalled", Image::Good, Apps::Good, kNoFault,
            kStart + "nk 1, installed, serial, cue success, " + kRestart, kInstalled},
        // The application data's failure is heard at once; the restart still follows.
        Row{"ImageWrittenAppDataCorrupted", Image::Good, Apps::CorruptedFiveTimes, kCorrupted,
            kStart + "nk 1, installed, cue updatefail, serial, " + kRestart, kInstalled},
        Row{"ImageWrittenAppDataCopyStops", Image::Good, Apps::CopyFails, kCopyFails,
            kStart + "nk 1, installed, cue updatefail, serial, " + kRestart, kInstalled},
        // A refused trailer plays the firmware cue inside the image update.
        Row{"ImageTrailerRefused", Image::BrokenTrailer, Apps::None, kNoFault,
            kStart + "cue firmware, nk 0, serial, cue updatefail", kFactory,
            kProductRefused},
        // The trailer is read from the middle of the image.
        Row{"ImageCutShort", Image::CutShort, Apps::None, kNoFault,
            kStart + "cue firmware, nk 0, serial, cue updatefail", kFactory,
            "OSUPDATE: CheckImageSignature Company Signature is not match. exp:QUOR real:"},
        Row{"ImageRecordChecksumWrong", Image::BadRecordChecksum, Apps::None, kNoFault,
            kStart + "nk 0, serial, cue updatefail", kFactory, kChecksumRefused},
        Row{"ImageEraseFails", Image::Good, Apps::None, FlashFault("erase", 7),
            kStart + "nk 0, serial, cue updatefail", kFactory,
            NkFailed("IOCTL_FMD_ERASE_BLOCK", "NandEraseBlock")},
        Row{"ChecksumWrongAppDataInstalled", Image::BadRecordChecksum, Apps::Good, kNoFault,
            kStart + "nk 0, installed, serial, cue updatefail", kInstalled, kChecksumRefused},
        Row{"ImageWriteFailsAppDataInstalled", Image::Good, Apps::Good, FlashFault("write", 8),
            kStart + "nk 0, installed, serial, cue updatefail", kInstalled, kWriteFailed},
        // One failure cue only.
        Row{"ImageWriteFailsAppDataCorrupted", Image::Good, Apps::CorruptedFiveTimes,
            Merged(kCorrupted, FlashFault("write", 6)),
            kStart + "nk 0, installed, cue updatefail, serial", kInstalled, kWriteFailed},
        Row{"TrailerRefusedAppDataCopyStops", Image::BrokenTrailer, Apps::CopyFails, kCopyFails,
            kStart + "cue firmware, nk 0, installed, cue updatefail, serial", kInstalled,
            kProductRefused},
        // An update folder that cannot be emptied stays; the cues come before its removal.
        Row{"AppDataInstalledFolderLocked", Image::None, Apps::Good, kNoFault,
            kStart + "installed, cue success, not emptied, folder kept, serial", kInstalled, "",
            true},
        Row{"ImageWrittenAppDataCorruptedFolderLocked", Image::Good, Apps::CorruptedFiveTimes,
            kCorrupted,
            kStart + "nk 1, installed, cue updatefail, not emptied, folder kept, serial, " +
                kRestart, kInstalled, "", true},
        // After the restart request's pause: the function-test program fails to start and the
        // package carries no main application, so twenty probes 100 ms apart find nothing.
        Row{"ImageWrittenNothingToLaunch", Image::Good, Apps::WithoutMain,
            {{"power", {{"boot_key", 16}}}, {"programs", {{"fail", {kFunctionTest}}}}},
            kStart + "nk 1, installed, serial, cue success, " + kRestart,
            "off, BINFS, key 16, failed \\windows\\K290DFunctionTest.exe, sleep 100 x20, flag 0, "
            "end"},
        // Without a power controller, peripheral switch, braille display or store, the update
        // still runs and installs, and each missing driver shows only in its own lines.
        Row{"DriversMissing", Image::Good, Apps::Good, kDriversMissing,
            "no PWR1, cue update_start, nk 1, installed, serial, cue success, cue reboot, "
            "sleep 1000", "no PWR1 x2, start \\NAND\\apps\\LumTask.exe, no PWR1, end"},
        // Without the flash disk as well, the image update and the serial-number check cannot
        // open it.
        Row{"DriversAndFlashMissing", Image::Good, Apps::Good,
            Merged(kDriversMissing, {{"flash", {{"present", false}}}}),
            "no PWR1, cue update_start, nk 0, installed, no serial, cue updatefail",
            "no PWR1 x2, start \\NAND\\apps\\LumTask.exe, no PWR1, end",
            "Found Image Path! \r\n[QuorShell]UpdateSystemImage: CreateFile DSK1 fail \r\n" +
                kNkExit + "0 \r\n"}),
    [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
}  // namespace decision_table_test
