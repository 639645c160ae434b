// The boot runner: what it prints and saves, its exit status for each broken rule, a simulator
// error and a power cut in the middle of a boot; the summary and the live echo read from a
// journal; the factory cues.
#include "devkit/device_maker.h"
#include "nand/fmd.h"
#include "platform/ce.h"
#include "platform/host/host.h"
#include "platform/host/internal.h"
#include "shell/shell.h"
#include "sim/device.h"
#include "sim/error.h"
#include "tests/scenarios/scenario_device.h"
#include "tests/support/temp_device.h"
#include "tests/tools/tool_test.h"
#include "tools/runner/boot_summary.h"
#include "tools/runner/live_echo.h"

namespace boot_test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using qs_test::FileText;
using qs_tools::BootReport;
using scenario::ReadJournal;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class BootTest : public ::testing::Test {
protected:
    fs::path MakeDevice()
    {
        devkit::CreateDevice(temp_.path() / "device", {.force = true, .blocks = 8});
        return temp_.path() / "device";
    }

    qs_test::TempFolder temp_;
};

// Entry points that stand in for a shell which breaks one of the device's rules, so that the
// runner's verdict on each is seen; the real shell keeps them all.
int LeavesAFileOpen()
{
    return CreateFileW(u"\\flashdisk\\left.txt", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL) ==
           0;
}

int ReadsWithoutACount()
{
    char buffer[4];
    HANDLE file =
        CreateFileW(u"\\windows\\success.wav", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ReadFile(file, buffer, sizeof buffer, NULL, NULL);
    return CloseHandle(file) == 0;
}

// The NK flag set (0x72000) and left on, or the TOC's block 5 erased (0x71FE4) without its flag.
template <DWORD kCode, DWORD kWord>
int FlashCall()
{
    DWORD word = kWord;
    HANDLE disk =
        CreateFileW(u"DSK1:", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    DeviceIoControl(disk, kCode, &word, 4, NULL, 0, NULL, NULL);
    return CloseHandle(disk) == 0;
}

int BreaksEveryRule()
{
    return LeavesAFileOpen() + ReadsWithoutACount() + FlashCall<0x72000, 0xACEC>() +
           FlashCall<0x71FE4, 5>();
}

// Each broken rule has a bit of the exit status of its own, and the summary names it, also when
// quiet.
TEST_F(BootTest, ExitStatusNamesEachBrokenRuleAlsoWhenQuiet)
{
    std::string shown;
    for (int (*entryPoint)() :
         {+[] { return 0; }, LeavesAFileOpen, ReadsWithoutACount, FlashCall<0x72000, 0xACEC>,
          FlashCall<0x71FE4, 5>, BreaksEveryRule}) {
        std::unique_ptr<sim::Device> device = sim::Device::Open(MakeDevice());
        std::ostringstream terminal;
        BootReport report =
            qs_tools::BootDevice(*device, {.quiet = true, .echo = &terminal}, entryPoint);
        shown += terminal.str() + "exit status " + std::to_string(report.exitStatus) + "\n";
    }
    qs_test::ExpectGoldenText(shown, "exit_statuses");
}

// The simulator gives up in the middle of a boot: what came before is kept, and the journal
// says where it stopped.
TEST_F(BootTest, ASimulatorErrorStillSavesTheBootUpToIt)
{
    fs::path folder = MakeDevice();
    std::unique_ptr<sim::Device> device = sim::Device::Open(folder);
    auto stopsHalfway = [] {
        NKDbgPrintfW(u"before the error\r\n");
        // Left open: the stop releases it with everything else.
        CreateFileW(u"\\windows\\success.wav", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        throw sim::DeviceError("nand.bin: changed size under the device");
        return 0;
    };
    try {
        qs_tools::BootDevice(*device, {}, stopsHalfway);
        FAIL() << "the boot went on";
    } catch (const qs_tools::BootStopped &e) {
        EXPECT_EQ(std::string(e.what()),
                  "the boot stopped on a simulator error: nand.bin: changed size under the device "
                  "(debug.log and journal.jsonl hold the boot up to it)");
    }
    EXPECT_EQ(FileText(folder / "debug.log"), "before the error\r\n");
    std::vector<json> events = ReadJournal(folder);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front()["event"], "log");
    EXPECT_EQ(events.back()["event"], "error");
    EXPECT_EQ(events.back()["what"], "nand.bin: changed size under the device");
    EXPECT_EQ(ce_host::Held().handles, 0u) << "the device is detached and released";
}

// A factory device's description is the defaults with the flash part's typical timing, and each
// cue a canonical 8 kHz 8-bit mono PCM wave that plays for its length.
TEST_F(BootTest, FactoryDescriptionAndCues)
{
    sim::DeviceConfig expected;
    expected.flash.timing = devkit::kTypicalFlashTiming;
    expected.flash.blocks = 8;
    EXPECT_EQ(json::parse(FileText(MakeDevice() / "device.json")), expected.ToJson());
    std::unique_ptr<sim::Device> device = sim::Device::Open(MakeDevice());
    ce_host::Attach(*device);
    for (const devkit::FactoryCue &cue : devkit::FactoryCues()) {
        std::string wave = FileText(temp_.path() / "device" / "root" / "windows" / cue.fileName);
        EXPECT_EQ(wave.substr(0, 44), qs_test::Wave(cue.durationMs).substr(0, 44)) << cue.fileName;
        EXPECT_EQ(wave.size(), 44 + cue.durationMs * 8) << cue.fileName;
        uint64_t before = device->Clock().ElapsedMs();
        std::u16string path = ce_host::FromUtf8(std::string("\\windows\\") + cue.fileName);
        EXPECT_TRUE(PlaySoundW(path.c_str(), nullptr, 0));
        EXPECT_EQ(device->Clock().ElapsedMs() - before, cue.durationMs) << cue.fileName;
    }
    ce_host::Detach();
}

// A small device with an NK image and a boot loader waiting in its update folder.
class UpdateBoot : public testing::Test {
protected:
    void SetUp() override
    {
        device_.Offer({device_.WriteNk("nk.bin", scenario::NkLayout()), device_.WriteNb0(), "1"});
    }

    scenario::ScenarioDevice device_;
};

// The first operation is the erase of block 0: the boot stops there, the folder as the cut left
// it and the update folder kept for the next boot.
TEST_F(UpdateBoot, APowerCutStopsAtOnceAndLeavesTheFolderAsTheCutLeftIt)
{
    // Something for the erase to clear, in each half of the block.
    device_.PatchFlash(0, std::string(16, '\x5A'));
    device_.PatchFlash(40 * sim::kSectorRecordSize, std::string(16, '\x5A'));
    const std::string before = FileText(device_.folder() / "nand.bin");
    const auto update = qs_test::Snapshot(device_.Host("\\flashdisk"));
    const fs::path pristine = device_.Scratch("pristine");
    fs::copy(device_.folder(), pristine, fs::copy_options::recursive);
    std::string shown;
    for (sim::PowerCutOutcome outcome :
         {sim::PowerCutOutcome::NotDone, sim::PowerCutOutcome::Completed,
          sim::PowerCutOutcome::Torn}) {
        fs::remove_all(device_.folder());
        fs::copy(pristine, device_.folder(), fs::copy_options::recursive);
        std::unique_ptr<sim::Device> device = sim::Device::Open(device_.folder());
        sim::DeviceFlash(*device).CutPowerAt(1, outcome);
        try {
            qs_tools::BootDevice(*device, {.quiet = true}, QuorShellMain);
            ADD_FAILURE() << "the boot ran to its end";
        } catch (const qs_tools::BootPowerCut &e) {
            shown += std::string(e.what()) + "\n";
        }
        device.reset();
        std::string expected = before;
        size_t erased = outcome == sim::PowerCutOutcome::NotDone ? 0
                        : outcome == sim::PowerCutOutcome::Torn  ? 32 * sim::kSectorRecordSize
                                                                 : sim::kBlockRecordSize;
        expected.replace(0, erased, std::string(erased, '\xFF'));
        EXPECT_TRUE(FileText(device_.folder() / "nand.bin") == expected)
            << "not as the cut left it";
        for (const json &event : device_.Journal())
            if (event["event"] == "power_cut" || event["event"] == "error")
                shown += event.dump() + "\n";
        shown += device_.DebugLog().substr(device_.DebugLog().rfind("Open EBoot"));
        EXPECT_TRUE(qs_test::Snapshot(device_.Host("\\flashdisk")) == update);
    }
    qs_test::ExpectGoldenText(qs_test::Shown(shown), "power_cut_boot");
}

// After the real shell: a block of the flash erased behind its back (the boot loader's 3 or the
// NK image's 7), or a last line that says the update failed.
template <DWORD kBlock, bool kEboot>
int ShellThenBlockErased()
{
    int result = QuorShellMain();
    HANDLE disk =
        CreateFileW(u"DSK1:", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    (kEboot ? NandSetEbootFlag : NandSetNkFlag)(disk, 1);
    NandEraseBlock(disk, kBlock);
    (kEboot ? NandSetEbootFlag : NandSetNkFlag)(disk, 0);
    CloseHandle(disk);
    return result;
}

int ShellThenReportsFailure()
{
    int result = QuorShellMain();
    NKDbgPrintfW(u"[QuorShell]UpdateSystemImage -- 0 \r\n");
    return result;
}

// The exit status says whether the offered images are on the flash the boot leaves, whatever
// the shell reported, and the summary says where the two disagree; a plain update agrees.
TEST_F(UpdateBoot, TheFlashTheBootLeavesJudgesTheOfferedImages)
{
    struct Row {
        const char *name;
        int (*entryPoint)();
        int exitStatus;
    };
    const Row rows[] = {{"agrees", QuorShellMain, 0},
                        {"boot loader erased", ShellThenBlockErased<3, true>, 64},
                        {"NK block erased", ShellThenBlockErased<7, false>, 64},
                        {"failure reported", ShellThenReportsFailure, 64}};
    const fs::path pristine = device_.Scratch("pristine");
    fs::copy(device_.folder(), pristine, fs::copy_options::recursive);
    std::string shown;
    for (const Row &row : rows) {
        fs::remove_all(device_.folder());
        fs::copy(pristine, device_.folder(), fs::copy_options::recursive);
        std::unique_ptr<sim::Device> device = sim::Device::Open(device_.folder());
        BootReport report =
            qs_tools::BootDevice(*device, {.quiet = true, .judgeFlash = true}, row.entryPoint);
        EXPECT_EQ(report.exitStatus, row.exitStatus) << row.name;
        std::string summary = report.printed;
        shown += std::string("-- ") + row.name + "\n" +
                 summary.substr(summary.find("OS update"),
                                summary.find("blocks skipped") - summary.find("OS update"));
    }
    qs_test::ExpectGoldenText(shown, "flash_judges_update");
}

const uint8_t kWordOn[] = {0xEC, 0xAC, 0, 0};
const uint8_t kRestart[] = {1, 0, 0, 0};
const uint8_t kBootKey17[] = {17};
// "progress #45%" as the braille display's cells.
const uint8_t kProgress45[] = {0x8E, 0x4E, 0x4A, 0xCC, 0x4E, 0x48, 0x86, 0x86, 0x00,
                               0xE2, 0xC8, 0x48, 0x80, 0x44, 0x8E, 0x00, 0x00};

// An update boot as the journal records it.
sim::Journal UpdateBootJournal()
{
    sim::Journal journal;
    journal.Log("QuorShell Start 08:30:00 \r\n");
    journal.Ioctl("PWR1:", 1045, "SET_OS_UPDATE_MODE", {}, {}, true);
    journal.Sound("\\windows\\update_start.wav", true);
    journal.Braille(kProgress45, "⠏⠗⠕⠛⠗⠑⠎⠎⠀⠼⠙⠑⠈⠒⠏⠀⠀");
    journal.Close("BRL1:");
    journal.Sound("\\windows\\updatefail.wav", false);
    journal.Sound("\\windows\\reboot.wav", true);
    journal.Ioctl("PWR1:", 567, "PWR_IOCTL_REBOOT", kRestart, {}, true);
    journal.Ioctl("PWR1:", 565, "PWR_IOCTL_GET_BOOT_KEY_STATUS", {}, kBootKey17, true);
    journal.Process("\\NAND\\APPS\\LumTask.exe", false);
    journal.Ioctl("PWR1:", 773, "SET_APP_EXECUTE_FLAG", kWordOn, {}, false);
    journal.Leak("file \\NAND\\x.txt");
    journal.Leak("heap block of 512 bytes");
    return journal;
}

std::string Summary(const sim::Journal &journal)
{
    return qs_tools::FormatSummary(qs_tools::SummarizeJournal(journal.Events()));
}

// What the device saw, as the terminal shows it live and as the summary reads it; the update's
// result, the blocks programmed and passed over (a refused
// write programs nothing) and when the restart was asked for; a failed update with two braille
// writes, the last read; no update and the flash not timed.
TEST(BootSummary, ReadsTheBootFromItsJournal)
{
    sim::Journal journal;
    uint64_t now = 0;
    journal.SetTimeSource([&] { return now; });
    auto writeSectors = [&](uint32_t first, uint32_t count, bool ok = true) {
        for (uint32_t sector = first; sector < first + count; ++sector)
            journal.Ioctl("DSK1:", sim::FlashDriver::kWriteSector, "IOCTL_FMD_WRITE_SECTOR", {}, {},
                          ok, sector);
    };
    writeSectors(0, 8);
    writeSectors(64, 4 * 64);
    writeSectors(6 * 64 + 1, 63);
    journal.Log("[QuorShell] WriteNK: 7 block is bad block. So skip it \r\n");
    writeSectors(8 * 64, 3 * 64);
    writeSectors(20 * 64, 1, false);
    journal.Log("*********************[QuorShell]UpdateSystemImage -- 1 \r\n");
    now = 4150;
    journal.Ioctl("PWR1:", 567, "PWR_IOCTL_REBOOT", kRestart, {}, true);
    sim::Journal failed;
    failed.Log("*********************[QuorShell]UpdateSystemImage -- 0 \r\n");
    failed.Braille(kProgress45, "⠏⠗⠕⠛⠗⠑⠎⠎⠀⠼⠙⠑⠈⠒⠏");
    failed.Log("between");
    failed.Braille(kProgress45, "⠏⠗⠕⠛⠗⠑⠎⠎⠀⠼⠁⠚⠚⠈⠒⠏⠀⠀");
    qs_tools::BootSummary untimed;
    untimed.flash = {.erases = 2, .programs = 3, .reads = 4};
    std::ostringstream terminal;
    qs_tools::LiveEcho echo(&terminal);
    sim::Journal seen = UpdateBootJournal();
    seen.Log("an entry without its line end");
    seen.Sound("\\windows\\success.wav", true);
    for (const auto &event : seen.Events())
        echo.Show(event);
    // What the terminal shows is the user's view; the echo's own record of it is not checked
    // against itself.
    qs_test::ExpectGoldenText(terminal.str() + Summary(UpdateBootJournal()) + Summary(journal) +
                                  Summary(failed) + qs_tools::FormatSummary(untimed),
                              "summaries");
}

// The update's and the installation's results and how they went, read from the shell's own
// lines: in each part the first line that says what failed, a flash layer's line giving way to
// the step's; a boot loader that was not looked for, or a TOC started afresh, is no failure.
TEST(BootSummary, ReadsTheUpdateAndTheInstallationFromTheShellsLines)
{
    const std::string kUpdate = "*************** [QuorShell]UpdateSystemImage ++ \r\n";
    const std::string kFindBoot = "Find EBoot Image Path==\\u\\R5boot_*.nb0 \r\n";
    const std::string kFindNk = "Find NK Image Path==\\u\\R5nk_*.bin \r\n";
    const std::string kNk = "Update File Path : \\u\\R5nk_1.bin \r\n";
    const std::string kEnd = "*********************[QuorShell]UpdateSystemImage -- ";
    const std::string kStart = "QuorShell: CopyAPPFiles ++ \r\n";
    const std::string kEndApps = "OSUPDATE: CopyAPPFiles -- \r\n";
    const std::string kFlags = "CopyAPPFiles: gdwAppFolderFlag 0x9 \r\n";
    const std::string kCompareFail = "CopyAPPFiles: CheckExeFile fail \r\n";
    const std::string kCopyFail = "CopyAPPFiles: CopyExeFile fail \r\n";
    const std::string kVerified = "CopyAPPFiles: DeleteAllFile \\NAND\\apps_bk \r\n";
    const std::string kRestored = "CopyAPPFiles: MoveFile \\NAND\\apps_bk -> \\NAND\\apps \r\n";
    const std::vector<std::string> fourFails(4, kCompareFail);
    const std::vector<std::vector<std::string>> runs = {
        {},
        {kUpdate, "[QuorShell]UpdateSystemImage: TOC_Read fail. So Initialize TOC \r\n", kFindBoot,
         "ERROR(2)- Cannot find EBoot image file \r\n", kFindNk, kNk, kEnd + "1 \r\n"},
        {kUpdate, kFindBoot, "Found EBoot Image! \r\n", "Update File Path : \\u\\R5boot_1.nb0 \r\n",
         "[QuorShell]FMD DeviceIoControl IOCTL_FMD_ERASE_BLOCK fail \r\n",
         "[QuorShell] WriteEBootImage: failed to erase block (0x0).\r\n",
         "Write EBoot Image fail \r\n", kFindNk, kNk, "Checksum fail 02 Addr:0x80020000 \r\n",
         "**** ReadAndVerify fail \r\n", kEnd + "0 \r\n"},
        {kUpdate, "Is eboot update enabled? 0 \r\n", kFindNk, kNk, kEnd + "1 \r\n"},
        {kUpdate, "[QuorShell]UpdateSystemImage: malloc fail \r\n", kEnd + "0 \r\n"},
        {kStart, "QuorShell: CopyAppFiles NAND is not exist \r\n"},
        {kStart, kFlags, kVerified, kEndApps},
        qs_test::Join({{kStart, kFlags}, fourFails, {kVerified, kEndApps}}),
        qs_test::Join({{kStart, kFlags}, fourFails, {kCompareFail, kRestored, kEndApps}}),
        {kStart, kFlags, kCompareFail, kCopyFail, kEndApps},
        {kStart, kCopyFail, "CopyAPPFiles: gdwAppFolderFlag 0x8 \r\n", kEndApps},
    };
    std::string shown;
    for (const std::vector<std::string> &lines : runs) {
        sim::Journal journal;
        for (const std::string &line : lines)
            journal.Log(line);
        qs_tools::BootSummary summary = qs_tools::SummarizeJournal(journal.Events());
        std::string text = qs_tools::FormatSummary(summary);
        for (const char *row : {"OS update ", "app data "}) {
            size_t at = text.find(row), end = text.find("\n", at);
            while (text.compare(end + 1, 2, "  ") == 0)
                end = text.find("\n", end + 1);
            shown += text.substr(at, end + 1 - at);
        }
        shown += "exit status " + std::to_string(qs_tools::BootExitStatus(summary)) + "\n";
    }
    qs_test::ExpectGoldenText(shown, "summary_outcomes");
}

// The braille line is printed once per opening of the display, as it stood at the close; on a
// terminal it stays on the last line while the display is open, the log scrolling above it.
TEST(LiveEcho, TheBrailleLineStaysBelowTheLogUntilTheDisplayCloses)
{
    sim::Journal journal;
    journal.Log("QuorShell: CopyAPPFiles ++ \r\n");
    journal.Open("BRL1:", 0xC0000000, 3, 3, 0);
    journal.Log("an entry left open");
    journal.Braille(kProgress45, "⠏⠗⠕⠛⠗⠑⠎⠎⠀⠼⠚⠈⠒⠏");
    journal.Log("Copy: \\a.dll \r\n");
    journal.Braille(kProgress45, "⠏⠗⠕⠛⠗⠑⠎⠎⠀⠼⠙⠑⠈⠒⠏⠀⠀⠀");
    journal.Sound("\\windows\\x.wav", true);
    journal.Braille(kProgress45, "⠏⠗⠕⠛⠗⠑⠎⠎⠀⠼⠁⠚⠚⠈⠒⠏");
    journal.Close("BRL1:");
    journal.Log("OSUPDATE: CopyAPPFiles -- \r\n");
    std::ostringstream piped, terminal;
    qs_tools::LiveEcho toPipe(&piped);
    qs_tools::LiveEcho toTerminal(&terminal, {.liveBrailleLine = true});
    for (const auto &event : journal.Events()) {
        toPipe.Show(event);
        toTerminal.Show(event);
    }
    toPipe.Finish();
    toTerminal.Finish();
    EXPECT_EQ(toTerminal.Text(), piped.str())
        << "the record keeps the line where the display closed";
    // The terminal's carriage returns and erase-line codes made visible.
    std::string shown = piped.str() + "-- on a terminal\n";
    for (char c : terminal.str())
        shown += c == '\r' ? "\\r" : c == '\033' ? "\\e" : std::string(1, c);
    qs_test::ExpectGoldenText(shown, "live_echo_braille");
}

}  // namespace
}  // namespace boot_test
