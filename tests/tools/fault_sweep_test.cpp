// quordev sweep faults through the real program: every fallible call of a boot failing in turn
// on the demo package and on a device with bad blocks, the invariants checked after each, the
// device folder never changed, and a shell with a defect planted caught.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "devkit/app_tree.h"
#include "devkit/bin_image.h"
#include "devkit/device_maker.h"
#include "devkit/nb0_image.h"
#include "devkit/update_package.h"
#include "platform/host/call_faults.h"
#include "sim/device_lock.h"
#include "tests/tools/tool_run.h"
#include "tools/boot_runner.h"
#include "tools/demo_device.h"
#include "tools/device_snapshot.h"
#include "tools/fault_sweep.h"

namespace fault_sweep_test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using qs_test::ToolRun;
using ::testing::HasSubstr;

constexpr int kExitBreaches = 3;

// A few application files instead of the demo's 300: every file adds a dozen fault points.
constexpr devkit::AppTreeShape kSmallApps{.files = 12, .bytes = 96 * 1024, .largestFile = 32768};

struct Package {
    bool demoImage = true;  // the demo's 3 MiB NK image, else one of two blocks
};

// A 64-block device with the demo package (its boot loader, its NK image or a small one, and
// a small application tree) waiting in its update folder.
void MakeDevice(const fs::path &work, const std::vector<uint32_t> &bad, Package package)
{
    devkit::DeviceOptions options;
    options.blocks = 64;
    options.bad = bad;
    devkit::CreateDevice(work / "dev", options);
    fs::path images = work / "images";
    fs::create_directories(images);
    qs_tools::WriteDemoImages(images);
    if (!package.demoImage) {
        devkit::BinImageLayout nk;
        nk.image.assign(160 * 1024, 0x5A);
        devkit::WriteBinImage(images / "nk.bin", nk);
    }
    devkit::WriteAppTree(images / "small_apps", kSmallApps);
    devkit::PlacePackage(work / "dev",
                         {images / "nk.bin", images / "boot.nb0", "demo", images / "small_apps"});
}

// Every file of a folder with its bytes.
std::map<std::string, std::string> FolderBytes(const fs::path &folder)
{
    std::map<std::string, std::string> files;
    for (const fs::directory_entry &entry : fs::recursive_directory_iterator(folder))
        files[entry.path().lexically_relative(folder).string()] =
            entry.is_directory() ? "<folder>" : qs_test::FileText(entry.path());
    return files;
}

struct Sweep {
    ToolRun run;
    json report;
};

Sweep RunSweep(const char *program, const fs::path &work, std::vector<std::string> options)
{
    std::vector<std::string> args = {"sweep", "faults", "dev", "--json"};
    args.insert(args.end(), options.begin(), options.end());
    Sweep sweep{qs_test::RunTool(program, args, work), {}};
    sweep.report = json::parse(sweep.run.out, nullptr, false);
    return sweep;
}

// "DSK1: IOCTL_FMD_SET_NK_FLAG ecac0000 -> violation: ..." for each breach of the sweep.
std::set<std::string> Breaches(const json &report)
{
    std::set<std::string> breaches;
    for (const json &row : report["rows"])
        for (const json &breach : row["breaches"])
            breaches.insert(row["target"].get<std::string>() + " -> " + breach.get<std::string>());
    return breaches;
}

std::set<std::string> Notes(const json &report)
{
    std::set<std::string> notes;
    for (const json &row : report["rows"])
        for (const json &note : row["notes"])
            notes.insert(row["call"].get<std::string>() + " " + row["target"].get<std::string>() +
                         " -> " + note.get<std::string>());
    return notes;
}

const json *RowOf(const json &report, const std::string &call, const std::string &target)
{
    for (const json &row : report["rows"])
        if (row["call"] == call && row["target"] == target)
            return &row;
    return nullptr;
}

// What a fault leaves behind by itself is noted, never counted.
// The shell does not act on a failed flag set and goes on to erase what the flag guards; the
// device refuses, and the flash stays as it was.
const std::set<std::string> kExcused = {
    "DeviceIoControl DSK1: IOCTL_FMD_SET_EBOOT_FLAG ecac0000 -> refused by the device: DSK1: "
    "erase of block 0 without the EBoot flag, which the injected fault left unset",
    "DeviceIoControl DSK1: IOCTL_FMD_SET_NK_FLAG ecac0000 -> refused by the device: DSK1: erase "
    "of block 6 without the NK flag, which the injected fault left unset",
    "DeviceIoControl DSK1: IOCTL_FMD_SET_TOC_FLAG ecac0000 -> refused by the device: DSK1: erase "
    "of block 5 without the TOC flag, which the injected fault left unset",
    "DeviceIoControl PWR1: SET_OS_UPDATE_MODE 00000000 -> mode left on by the injected fault "
    "itself",
    "DeviceIoControl DSK1: IOCTL_FMD_SET_EBOOT_FLAG 00000000 -> EBoot flag left on by the "
    "injected fault itself",
    "DeviceIoControl DSK1: IOCTL_FMD_SET_NK_FLAG 00000000 -> NK flag left on by the injected "
    "fault itself",
    "DeviceIoControl DSK1: IOCTL_FMD_SET_TOC_FLAG 00000000 -> TOC flag left on by the injected "
    "fault itself",
};

TEST(FaultSweep, TheDemoPackageOnAFactoryDeviceBreaksNothing)
{
    qs_test::TempFolder work;
    MakeDevice(work.path(), {}, {});
    std::map<std::string, std::string> before = FolderBytes(work.path() / "dev");

    Sweep sweep = RunSweep(QUORDEV_EXE, work.path(), {"--every", "60"});
    ASSERT_FALSE(sweep.report.is_discarded()) << sweep.run.out << sweep.run.err;
    EXPECT_EQ(sweep.run.status, 0) << sweep.run.err;
    const json &report = sweep.report;

    EXPECT_EQ(FolderBytes(work.path() / "dev"), before);
    EXPECT_TRUE(report["counting_boot"]["ok"]);
    // A factory flash holds no boot loader: no fault can take a bootable image away.
    EXPECT_EQ(report["boots_before"], "unbootable");
    EXPECT_EQ(report["counting_boot"]["boots"], "new");
    EXPECT_EQ(report["left_unbootable"], 0);
    EXPECT_EQ(report["counting_boot"]["did"],
              "OS update written; app data installed; cues update_start, success, reboot; "
              "restart requested; started \\NAND\\apps\\LumTask.exe");
    EXPECT_GT(report["calls"].get<uint64_t>(), 4000u);
    EXPECT_EQ(report["swept"], report["rows"].size());
    EXPECT_EQ(Breaches(report), std::set<std::string>{});
    EXPECT_EQ(report["breaches"], 0);
    EXPECT_EQ(Notes(report), kExcused);

    // Every block's erase is a fault point of its own; every control code is swept.
    size_t erases = 0;
    std::set<std::string> codes;
    for (const json &row : report["rows"]) {
        std::string target = row["target"];
        erases += target.starts_with("DSK1: IOCTL_FMD_ERASE_BLOCK");
        if (row["call"] == "DeviceIoControl")
            codes.insert(target.substr(0, target.find(' ', 6)));
    }
    EXPECT_EQ(erases, 5u + 25u + 1u);  // boot loader, NK image, TOC
    EXPECT_EQ(codes.size(), 15u);

    struct Expected {
        const char *call, *target, *stage;
    };
    for (const Expected &e : std::initializer_list<Expected>{
             {"DeviceIoControl", "DSK1: IOCTL_FMD_SET_EBOOT_FLAG ecac0000", "boot-loader write"},
             {"DeviceIoControl", "DSK1: IOCTL_FMD_SET_NK_FLAG ecac0000", "NK write"},
             {"DeviceIoControl", "PWR1: SET_OS_UPDATE_MODE 00000000", "update mode off"},
             {"DeviceIoControl", "PWR1: PWR_IOCTL_GET_BOOT_KEY_STATUS", "boot key"},
             {"DeviceIoControl", "PWR1: SET_APP_EXECUTE_FLAG ecac0000", "app-execute flag"}}) {
        const json *row = RowOf(report, e.call, e.target);
        ASSERT_NE(row, nullptr) << e.target;
        EXPECT_EQ((*row)["stage"], e.stage) << e.target;
    }
    // A failed write of the NK image fails the update, which is heard, and no restart follows.
    size_t nkWrites = 0;
    for (const json &row : report["rows"]) {
        if (row["stage"] != "NK write" || row["target"] != "DSK1: IOCTL_FMD_WRITE_SECTOR")
            continue;
        ++nkWrites;
        EXPECT_EQ(row["did"],
                  "OS update failed; app data installed; cues update_start, updatefail; started "
                  "\\NAND\\apps\\LumTask.exe")
            << row["n"];
    }
    EXPECT_GE(nkWrites, 2u * 25u);  // the first and the last of each block's run

    // The open of the power controller before the mode-off code is the mode-off attempt too.
    uint64_t modeOff =
        RowOf(report, "DeviceIoControl", "PWR1: SET_OS_UPDATE_MODE 00000000")->at("n");
    Sweep attempt = RunSweep(QUORDEV_EXE, work.path(),
                             {"--at", std::to_string(modeOff - 1) + "," + std::to_string(modeOff)});
    EXPECT_EQ(attempt.run.status, 0) << attempt.run.out;
    EXPECT_EQ(Notes(attempt.report),
              (std::set<std::string>{
                  "CreateFileW PWR1: -> mode left on by the injected fault itself",
                  "DeviceIoControl PWR1: SET_OS_UPDATE_MODE 00000000 -> mode left on by the "
                  "injected fault itself"}));
}

TEST(FaultSweep, ADeviceWithBadBlocksBreaksNothing)
{
    qs_test::TempFolder work;
    MakeDevice(work.path(), {6, 2}, {.demoImage = false});
    std::map<std::string, std::string> before = FolderBytes(work.path() / "dev");

    Sweep sweep = RunSweep(QUORDEV_EXE, work.path(), {"--every", "8"});
    ASSERT_FALSE(sweep.report.is_discarded()) << sweep.run.out << sweep.run.err;
    EXPECT_EQ(sweep.run.status, 0) << sweep.run.err;
    const json &report = sweep.report;

    EXPECT_EQ(FolderBytes(work.path() / "dev"), before);
    // Block 2 leaves three good boot-loader blocks: no boot loader is written, and the image
    // starts past the bad block 6.
    EXPECT_TRUE(report["counting_boot"]["ok"]);
    EXPECT_EQ(RowOf(report, "DeviceIoControl", "DSK1: IOCTL_FMD_SET_EBOOT_FLAG ecac0000"), nullptr);
    EXPECT_EQ(report["breaches"], 0);
    std::set<std::string> notes = Notes(report);
    EXPECT_TRUE(
        notes.count("DeviceIoControl DSK1: IOCTL_FMD_SET_NK_FLAG ecac0000 -> refused by "
                    "the device: DSK1: erase of block 7 without the NK flag, which the "
                    "injected fault left unset"));
    EXPECT_TRUE(
        notes.count("DeviceIoControl DSK1: IOCTL_FMD_SET_TOC_FLAG ecac0000 -> refused by "
                    "the device: DSK1: erase of block 5 without the TOC flag, which the "
                    "injected fault left unset"));
}

// A device that boots its first update is offered a second: the sweep tells, row by row, what the
// boot loader would boot after each fault. The shell updates in place, so a failed write of the
// image or of the TOC leaves nothing bootable, and the update folder is gone after that boot.
TEST(FaultSweep, AnUpdatedDeviceTellsWhichFaultsLeaveItUnbootable)
{
    qs_test::TempFolder work;
    MakeDevice(work.path(), {}, {.demoImage = false});
    qs_tools::BootDeviceFolder(work.path() / "dev", {.quiet = true});
    devkit::BinImageLayout second;
    second.image.assign(200 * 1024, 0xC3);
    devkit::WriteBinImage(work.path() / "images" / "nk2.bin", second);
    std::vector<uint8_t> eboot(64 * 1024, 0x3C);
    std::vector<uint8_t> nb0 = devkit::MakeNb0(std::nullopt, eboot);
    std::ofstream(work.path() / "images" / "boot2.nb0", std::ios::binary)
        .write(reinterpret_cast<const char *>(nb0.data()), std::streamsize(nb0.size()));
    devkit::PlacePackage(
        work.path() / "dev",
        {work.path() / "images" / "nk2.bin", work.path() / "images" / "boot2.nb0", "second", {}});

    // Every control code but those inside a block's run of sector transfers.
    Sweep sweep = RunSweep(QUORDEV_EXE, work.path(), {"--every", "1000000"});
    ASSERT_FALSE(sweep.report.is_discarded()) << sweep.run.out << sweep.run.err;
    EXPECT_EQ(sweep.run.status, 4) << sweep.run.err;
    const json &report = sweep.report;
    EXPECT_EQ(report["breaches"], 0);
    EXPECT_EQ(report["boots_before"], "old");
    EXPECT_EQ(report["counting_boot"]["boots"], "new");

    size_t unbootable = 0;
    for (const json &row : report["rows"])
        unbootable += row["boots"] == "unbootable";
    EXPECT_EQ(report["left_unbootable"], unbootable);
    EXPECT_GT(unbootable, 10u);

    struct Expected {
        const char *target, *stage, *boots, *did;
    };
    const char *written =
        "OS update written; cues update_start, success, reboot; restart "
        "requested; started \\NAND\\apps\\LumTask.exe";
    for (const Expected &e : std::initializer_list<Expected>{
             // Nothing erased: the old image stays.
             {"DSK1: IOCTL_FMD_SET_NK_FLAG ecac0000", "NK write", "old",
              "OS update failed; cues update_start, updatefail; started "
              "\\NAND\\apps\\LumTask.exe"},
             // The image half written under the old TOC.
             {"DSK1: IOCTL_FMD_ERASE_BLOCK 07000000", "NK write", "unbootable",
              "OS update failed; cues update_start, updatefail; started "
              "\\NAND\\apps\\LumTask.exe"},
             // The new image under the old TOC, and the shell reports success.
             {"DSK1: IOCTL_FMD_SET_TOC_FLAG ecac0000", "TOC write", "unbootable", written},
             // The boot loader half written, and the shell reports success.
             {"DSK1: IOCTL_FMD_ERASE_BLOCK 02000000", "boot-loader write", "unbootable", written},
             // Only the StepLoader rewritten, the same in both packages: the old boot loader stays
             // whole.
             {"DSK1: IOCTL_FMD_ERASE_BLOCK 01000000", "boot-loader write", "new", written},
             {"PWR1: SET_APP_EXECUTE_FLAG ecac0000", "app-execute flag", "new", written}}) {
        const json *row = RowOf(report, "DeviceIoControl", e.target);
        ASSERT_NE(row, nullptr) << e.target;
        EXPECT_EQ((*row)["stage"], e.stage) << e.target;
        EXPECT_EQ((*row)["boots"], e.boots) << e.target;
        EXPECT_EQ((*row)["did"], e.did) << e.target;
    }

    ToolRun text = qs_test::RunTool(QUORDEV_EXE, {"sweep", "faults", "dev", "--every", "1000000"},
                                    work.path());
    EXPECT_EQ(text.status, 4);
    EXPECT_THAT(text.out, HasSubstr("the device boots old before it\n"));
    EXPECT_THAT(text.out, HasSubstr(std::to_string(unbootable) + " left the device unbootable ("));
    EXPECT_THAT(text.out, HasSubstr(" in NK write"));
}

// The planted shell's BINFS check returns without closing the store when the partition search
// fails; the real one closes it. One boot of the plain device's 24 fault points shows it.
TEST(FaultSweep, CatchesAStoreLeftOpenOnOneFailurePath)
{
    qs_test::TempFolder work;
    devkit::CreateDevice(work.path() / "dev", {.blocks = 64});

    Sweep planted = RunSweep(QUORDEV_PLANTED_EXE, work.path(), {});
    ASSERT_FALSE(planted.report.is_discarded()) << planted.run.out << planted.run.err;
    EXPECT_EQ(planted.run.status, kExitBreaches);
    EXPECT_EQ(Breaches(planted.report), (std::set<std::string>{" -> still held: store DSK1:"}));
    const json *search = RowOf(planted.report, "FindFirstPartition", "");
    ASSERT_NE(search, nullptr);
    EXPECT_FALSE((*search)["ok"]);
    EXPECT_EQ((*search)["stage"], "BINFS check");
    EXPECT_EQ(planted.report["breaches"], 1);

    Sweep real = RunSweep(QUORDEV_EXE, work.path(), {});
    EXPECT_EQ(real.run.status, 0) << real.run.out;
    EXPECT_EQ(real.report["breaches"], 0);
    EXPECT_EQ(real.report["calls"], planted.report["calls"]);
    EXPECT_EQ(real.report["swept"], real.report["calls"]);

    // The text names the row and the breach, and the total counts it.
    ToolRun text = qs_test::RunTool(QUORDEV_PLANTED_EXE, {"sweep", "faults", "dev"}, work.path());
    EXPECT_EQ(text.status, kExitBreaches);
    uint64_t n = (*search)["n"];
    EXPECT_THAT(text.out,
                HasSubstr(std::to_string(n) + "  BREACH  unbootable  FindFirstPartition  "));
    EXPECT_THAT(text.out, HasSubstr("        breach: still held: store DSK1:\n"));
    EXPECT_THAT(text.out, HasSubstr(" fault points swept: 1 breach (" + std::to_string(n) + ")\n"));
    EXPECT_THAT(text.err, HasSubstr("fault 24/24"));
}

struct RefusalRow {
    const char *name;
    std::vector<std::string> args;  // after "sweep faults"
    bool lockDevice;
    int status;
    const char *error;
};

void PrintTo(const RefusalRow &row, std::ostream *out)
{
    *out << row.name;
}

class FaultSweepRefusal : public testing::TestWithParam<RefusalRow> {};

TEST_P(FaultSweepRefusal, SaysWhyInOneLine)
{
    const RefusalRow &row = GetParam();
    qs_test::TempFolder work;
    devkit::CreateDevice(work.path() / "dev", {.blocks = 16});
    fs::create_directories(work.path() / "empty");
    std::optional<sim::DeviceLock> lock;
    if (row.lockDevice)
        lock.emplace(work.path() / "dev");
    std::vector<std::string> args = {"sweep", "faults"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    ToolRun run = qs_test::RunTool(QUORDEV_EXE, args, work.path());
    EXPECT_EQ(run.status, row.status);
    EXPECT_THAT(run.err, HasSubstr(row.error));
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, FaultSweepRefusal,
    testing::Values(
        RefusalRow{"missing", {"nothing"}, false, 1, "nothing: no such device folder"},
        RefusalRow{"no_device", {"empty"}, false, 1, "empty: holds no device (no device.json)"},
        RefusalRow{"in_use", {"dev"}, true, 1, "dev: the device is in use by another boot"},
        RefusalRow{"point_past_the_boot",
                   {"dev", "--at", "3,99"},
                   false,
                   1,
                   "no fault point 99: the boot makes 24 fallible calls"},
        RefusalRow{"every_zero", {"dev", "--every", "0"}, false, 2, "--every"}),
    [](const testing::TestParamInfo<RefusalRow> &info) { return info.param.name; });

// Two boots of one device make the same fallible calls in the same order, acting on the same
// things and journaling the same events: a fault point means the same call in every boot.
TEST(FaultSweep, TheCallsOfABootAreTheSameInEveryBoot)
{
    qs_test::TempFolder work;
    MakeDevice(work.path(), {}, {.demoImage = false});
    std::vector<std::vector<std::string>> boots;
    for (const char *copy : {"a", "b"}) {
        fs::copy(work.path() / "dev", work.path() / copy, fs::copy_options::recursive);
        ce_host::ScopedFailingCall none(std::nullopt);
        qs_tools::BootDeviceFolder(work.path() / copy, {.quiet = true});
        std::vector<std::string> calls;
        for (const ce_host::FallibleCallRecord &call : ce_host::FallibleCalls())
            calls.push_back(call.call + " " + call.target + " " + std::to_string(call.firstEvent) +
                            "-" + std::to_string(call.endEvent));
        boots.push_back(calls);
    }
    EXPECT_GT(boots[0].size(), 500u);
    EXPECT_EQ(boots[0], boots[1]);
}

struct OwnedRow {
    const char *path;
    bool owned;
};

class OwnedByBoot : public testing::TestWithParam<OwnedRow> {};

TEST_P(OwnedByBoot, OnlyTheUpdatesOwnEntries)
{
    EXPECT_EQ(qs_tools::IsOwnedByBoot(GetParam().path), GetParam().owned) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(
    Table, OwnedByBoot,
    testing::Values(OwnedRow{"\\flashdisk\\K275D-Update", true},
                    OwnedRow{"\\FLASHDISK\\k275d-update\\APP_DATA\\x", true},
                    OwnedRow{"\\flashdisk\\K275D-Update2", false}, OwnedRow{"\\flashdisk", false},
                    OwnedRow{"\\NAND\\APPS\\LumTask.exe", true}, OwnedRow{"\\NAND\\apps_bk", true},
                    OwnedRow{"\\NAND\\apps2\\a.dll", false},
                    OwnedRow{"\\NAND\\sound\\voice\\a.wav", true},
                    OwnedRow{"\\NAND\\M7LITE_0020240315.sys", true},
                    OwnedRow{"\\NAND\\sub\\M7LITE_0020240315.sys", false},
                    OwnedRow{"\\NAND\\M7LITE_0020240315.txt", false},
                    OwnedRow{"\\flashdisk\\BINFS_CHECK.log", true},
                    OwnedRow{"\\flashdisk\\BINFS_CHECK.log.old", false},
                    OwnedRow{"\\windows\\success.wav", false}, OwnedRow{"\\NAND", false}));

// The blocks an update may write: the TOC's always, the boot loader's with one offered, and the
// image's run from 6 with one block to spare.
TEST(FaultSweep, TheUpdateOwnsItsOwnBlocks)
{
    using qs_tools::BlocksTheUpdateOwns;
    EXPECT_EQ(BlocksTheUpdateOwns({}, {0, 5, 7}), (std::set<uint32_t>{5}));
    EXPECT_EQ(BlocksTheUpdateOwns({.nk = false, .eboot = true}, {}),
              (std::set<uint32_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(BlocksTheUpdateOwns({.nk = true, .eboot = false}, {5, 7, 8}),
              (std::set<uint32_t>{5, 6, 7, 8, 9}));
    EXPECT_EQ(BlocksTheUpdateOwns({.nk = true, .eboot = false}, {5}), (std::set<uint32_t>{5}));
}

TEST(FaultSweep, SelectsEveryKthPointAndTheControlCodesAtTheEdgesOfARun)
{
    std::vector<qs_tools::FaultPointCall> calls = {
        {"FindFirstFileW", "a"},
        {"ReadFile", "b"},
        {"DeviceIoControl", "DSK1: W"},
        {"DeviceIoControl", "DSK1: W"},
        {"DeviceIoControl", "DSK1: W"},
        {"DeviceIoControl", "DSK1: W"},
        {"DeviceIoControl", "DSK1: R 1"},
        {"ReadFile", "b"},
        {"ReadFile", "b"},
        {"LocalAlloc", "8 bytes"},
    };
    EXPECT_EQ(qs_tools::SelectFaultPoints(calls, {}),
              (std::vector<uint64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(qs_tools::SelectFaultPoints(calls, {.every = 4}),
              (std::vector<uint64_t>{1, 3, 5, 6, 7, 9}));
    EXPECT_EQ(qs_tools::SelectFaultPoints(calls, {.every = 4, .at = {10, 2, 10}}),
              (std::vector<uint64_t>{2, 10}));
    EXPECT_THROW(qs_tools::SelectFaultPoints(calls, {.at = {11}}), std::exception);
}

}  // namespace
}  // namespace fault_sweep_test
