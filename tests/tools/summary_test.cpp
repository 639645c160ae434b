#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/flash_driver.h"
#include "tools/boot_summary.h"
#include "tools/live_echo.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

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

TEST(BootSummary, ReadsWhatTheDeviceSaw)
{
    qs_tools::BootSummary summary = qs_tools::SummarizeJournal(UpdateBootJournal().Events());
    EXPECT_EQ(summary.bootKey, 17);
    EXPECT_THAT(summary.cues, ElementsAre("update_start", "updatefail (not played)", "reboot"));
    EXPECT_TRUE(summary.restartRequested);
    EXPECT_EQ(summary.programStarted, std::nullopt);
    EXPECT_THAT(summary.programsFailed, ElementsAre("\\NAND\\APPS\\LumTask.exe"));
    EXPECT_EQ(summary.appExecuteFlag, std::nullopt) << "the controller refused the flag";

    std::string text = qs_tools::FormatSummary(summary);
    EXPECT_THAT(text,
                HasSubstr("cues              update_start, updatefail (not played), reboot\n"));
    EXPECT_THAT(text, HasSubstr("restart           requested at 0.000 s\n"));
    EXPECT_THAT(text,
                HasSubstr("program started   none (failed to start: \\NAND\\APPS\\LumTask.exe)\n"));
    EXPECT_THAT(text, HasSubstr("still held        file \\NAND\\x.txt\n"
                                "                  heap block of 512 bytes\n"));
}

// The update's result, the blocks programmed and passed over, and when the restart was asked for.
TEST(BootSummary, ReadsTheUpdateFromTheShellsLinesAndTheFlashWrites)
{
    sim::Journal journal;
    uint64_t now = 0;
    journal.SetTimeSource([&] { return now; });
    auto writeSectors = [&](uint32_t first, uint32_t count) {
        for (uint32_t sector = first; sector < first + count; ++sector)
            journal.Ioctl("DSK1:", sim::FlashDriver::kWriteSector, "IOCTL_FMD_WRITE_SECTOR", {}, {},
                          true, sector);
    };
    writeSectors(0, 8);
    writeSectors(64, 4 * 64);
    writeSectors(6 * 64 + 1, 63);
    journal.Log("[QuorShell] WriteNK: 7 block is bad block. So skip it \r\n");
    writeSectors(8 * 64, 3 * 64);
    // A refused write programs nothing.
    journal.Ioctl("DSK1:", sim::FlashDriver::kWriteSector, "IOCTL_FMD_WRITE_SECTOR", {}, {}, false,
                  20 * 64);
    journal.Log("*********************[QuorShell]UpdateSystemImage -- 1 \r\n");
    now = 4150;
    journal.Ioctl("PWR1:", 567, "PWR_IOCTL_REBOOT", kRestart, {}, true);

    qs_tools::BootSummary summary = qs_tools::SummarizeJournal(journal.Events());
    EXPECT_EQ(summary.osUpdate, true);
    EXPECT_THAT(summary.blocksWritten, ElementsAre(0, 1, 2, 3, 4, 6, 8, 9, 10));
    EXPECT_THAT(summary.blocksSkipped, ElementsAre(7));
    std::string text = qs_tools::FormatSummary(summary);
    EXPECT_THAT(text, HasSubstr("OS update         written\n"
                                "flash written     blocks 0-4, 6, 8-10\n"
                                "blocks skipped    7 (bad)\n"
                                "restart           requested at 4.150 s\n"));

    sim::Journal failed;
    failed.Log("*********************[QuorShell]UpdateSystemImage -- 0 \r\n");
    EXPECT_THAT(qs_tools::FormatSummary(qs_tools::SummarizeJournal(failed.Events())),
                HasSubstr("OS update         failed\nflash written     nothing\n"
                          "blocks skipped    none\nrestart           not requested\n"));
    EXPECT_THAT(qs_tools::FormatSummary(qs_tools::SummarizeJournal({})),
                HasSubstr("OS update         none offered\n"));
}

TEST(LiveEcho, ShowsEachEventAsATerminalLine)
{
    std::ostringstream terminal;
    qs_tools::LiveEcho echo(&terminal);
    sim::Journal journal = UpdateBootJournal();
    journal.Log("an entry without its line end");
    journal.Sound("\\windows\\success.wav", true);
    for (const auto &event : journal.Events())
        echo.Show(event);
    EXPECT_EQ(terminal.str(), echo.Text());
    EXPECT_EQ(echo.Text(),
              "QuorShell Start 08:30:00 \n"
              "♪ update_start\n"
              "braille ⠏⠗⠕⠛⠗⠑⠎⠎⠀⠼⠙⠑⠈⠒⠏  \"progress 45%\"\n"
              "♪ updatefail (not played)\n"
              "♪ reboot\n"
              "▶ failed to start \\NAND\\APPS\\LumTask.exe\n"
              "an entry without its line end\n"
              "♪ success\n");
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
    const std::string k0 = "braille ⠏⠗⠕⠛⠗⠑⠎⠎⠀⠼⠚⠈⠒⠏  \"progress 0%\"";
    const std::string k45 = "braille ⠏⠗⠕⠛⠗⠑⠎⠎⠀⠼⠙⠑⠈⠒⠏  \"progress 45%\"";
    const std::string k100 = "braille ⠏⠗⠕⠛⠗⠑⠎⠎⠀⠼⠁⠚⠚⠈⠒⠏  \"progress 100%\"";
    const std::string kShown =
        "QuorShell: CopyAPPFiles ++ \n"
        "an entry left open\n"
        "Copy: \\a.dll \n"
        "♪ x\n" +
        k100 + "\nOSUPDATE: CopyAPPFiles -- \n";

    std::ostringstream piped, terminal;
    qs_tools::LiveEcho toPipe(&piped);
    qs_tools::LiveEcho toTerminal(&terminal, {.liveBrailleLine = true});
    for (const auto &event : journal.Events()) {
        toPipe.Show(event);
        toTerminal.Show(event);
    }
    toPipe.Finish();
    toTerminal.Finish();
    EXPECT_EQ(piped.str(), kShown);
    EXPECT_EQ(toPipe.Text(), kShown);
    EXPECT_EQ(toTerminal.Text(), kShown) << "the record keeps the line where the display closed";
    const std::string kErase = "\r\033[K";
    EXPECT_EQ(terminal.str(),
              "QuorShell: CopyAPPFiles ++ \n"
              "an entry left open\n" +
                  kErase + k0 + kErase + "Copy: \\a.dll \n" + k0 + kErase + k45 + kErase + "♪ x\n" +
                  k45 + kErase + k100 + kErase + k100 + "\nOSUPDATE: CopyAPPFiles -- \n");
}

// The installation's result and how it went, read from the shell's own lines.
TEST(BootSummary, ReadsTheInstallationFromTheShellsLines)
{
    struct Case {
        const char *name;
        std::vector<std::string> lines;
        const char *shown;
    };
    const std::string kStart = "QuorShell: CopyAPPFiles ++ \r\n";
    const std::string kEnd = "OSUPDATE: CopyAPPFiles -- \r\n";
    const std::string kFlags = "CopyAPPFiles: gdwAppFolderFlag 0x9 \r\n";
    const std::string kCompareFail = "CopyAPPFiles: CheckExeFile fail \r\n";
    const std::string kCopyFail = "CopyAPPFiles: CopyExeFile fail \r\n";
    const std::string kVerified = "CopyAPPFiles: DeleteAllFile \\NAND\\apps_bk \r\n";
    const std::string kRestored = "CopyAPPFiles: MoveFile \\NAND\\apps_bk -> \\NAND\\apps \r\n";
    const Case cases[] = {
        {"none offered", {}, "none offered"},
        {"NAND missing",
         {kStart, "QuorShell: CopyAppFiles NAND is not exist \r\n"},
         "failed, \\NAND is missing; nothing touched"},
        {"first compare",
         {kStart, kFlags, kVerified, kEnd},
         "installed, apps verified at compare 1"},
        {"fifth compare",
         {kStart, kFlags, kCompareFail, kCompareFail, kCompareFail, kCompareFail, kVerified, kEnd},
         "installed, apps verified at compare 5"},
        {"restored",
         {kStart, kFlags, kCompareFail, kCompareFail, kCompareFail, kCompareFail, kCompareFail,
          kRestored, kEnd},
         "failed, 5 compares failed; the previous apps folder is back"},
        {"retry copy fails",
         {kStart, kFlags, kCompareFail, kCopyFail, kEnd},
         "failed, a copy of apps failed; the backup stays in \\NAND\\apps_bk"},
        {"no apps, main copy fails",
         {kStart, kCopyFail, "CopyAPPFiles: gdwAppFolderFlag 0x8 \r\n", kEnd},
         "installed, nothing verified (no apps folder in the update) (the copy of the whole tree "
         "failed)"},
    };
    for (const Case &c : cases) {
        sim::Journal journal;
        for (const std::string &line : c.lines)
            journal.Log(line);
        std::string text = qs_tools::FormatSummary(qs_tools::SummarizeJournal(journal.Events()));
        EXPECT_THAT(text, HasSubstr("app data          " + std::string(c.shown) + "\n")) << c.name;
    }
}

TEST(BootSummary, CountsTheBrailleWritesAndReadsTheLast)
{
    sim::Journal journal;
    EXPECT_THAT(qs_tools::FormatSummary(qs_tools::SummarizeJournal(journal.Events())),
                HasSubstr("braille writes    0\n"));
    journal.Braille(kProgress45, "⠏⠗⠕⠛⠗⠑⠎⠎⠀⠼⠙⠑⠈⠒⠏");
    journal.Log("between");
    journal.Braille(kProgress45, "⠏⠗⠕⠛⠗⠑⠎⠎⠀⠼⠁⠚⠚⠈⠒⠏⠀⠀");
    qs_tools::BootSummary summary = qs_tools::SummarizeJournal(journal.Events());
    EXPECT_EQ(summary.brailleWrites, 2u);
    EXPECT_THAT(qs_tools::FormatSummary(summary),
                HasSubstr("braille writes    2, the last: ⠏⠗⠕⠛⠗⠑⠎⠎⠀⠼⠁⠚⠚⠈⠒⠏  \"progress 100%\"\n"));
}

}  // namespace
