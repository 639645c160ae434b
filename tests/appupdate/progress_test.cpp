// The percentage line on the braille display: the cells of each line, when a line is written,
// and the byte counts behind the percentage.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "appupdate/progress.h"
#include "devkit/braille_reading.h"
#include "platform/ce.h"
#include "platform/host/host.h"
#include "sim/braille_display.h"
#include "tests/support/temp_device.h"

namespace {

// "8e4e 4acc" -> "8e4e4acc": the literals below are grouped for reading.
std::string Hex(std::string grouped)
{
    std::erase(grouped, ' ');
    return grouped;
}

LARGE_INTEGER Large(ULONGLONG value)
{
    LARGE_INTEGER large;
    large.QuadPart = (LONGLONG)value;
    return large;
}

// The progress routine as a copy calls it; only the transferred count is read.
DWORD Report(ULONGLONG transferred)
{
    return CopyProgressRoutine(Large(0), Large(transferred), Large(0), Large(transferred), 1,
                               CALLBACK_CHUNK_FINISHED, NULL, NULL, NULL);
}

// Reads a line back as the number it shows, as a braille reader reads it: "progress N%" in the
// grade-1 translation. -1 for a line that reads otherwise.
int ShownPercent(const std::string &cellsHex)
{
    std::vector<uint8_t> cells;
    for (size_t at = 0; at + 1 < cellsHex.size(); at += 2)
        cells.push_back(uint8_t(std::stoul(cellsHex.substr(at, 2), nullptr, 16)));
    std::string text = devkit::TextOfBraille(sim::BrailleText(cells));
    int percent = -1;
    char rest = 0;
    if (cells.size() != 32 || std::sscanf(text.c_str(), "progress %d%%%c", &percent, &rest) != 1 ||
        text != "progress " + std::to_string(percent) + "%")
        return -1;
    return percent;
}

class ProgressLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetShellState();
        ghBrlDevice = CreateFileW(BRAILLE_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                  OPEN_EXISTING, 0, NULL);
        ASSERT_NE(ghBrlDevice, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        if (ghBrlDevice != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(ghBrlDevice));
        }
        ghBrlDevice = INVALID_HANDLE_VALUE;
        EXPECT_EQ(ce_host::Held().handles, 0u);
        EXPECT_EQ(ce_host::Held().heapBlocks, 0u);
    }

    // The cells of every line the display received, in order.
    std::vector<std::string> Lines()
    {
        std::vector<std::string> lines;
        for (const auto &event : device.EventsOf("braille"))
            lines.push_back(event["cells"]);
        return lines;
    }
    std::vector<int> ShownPercents()
    {
        std::vector<int> shown;
        for (const std::string &cells : Lines())
            shown.push_back(ShownPercent(cells));
        return shown;
    }

    qs_test::TempDevice device;
};

TEST_F(ProgressLine, WholeLinesByPercentage)
{
    struct Case {
        int percent;
        std::string cells;
    };
    const Case cases[] = {
        {0, "8e4e4acc4e488686 00e2c480448e0000 0000000000000000 0000000000000000"},
        {7, "8e4e4acc4e488686 00e2cc80448e0000 0000000000000000 0000000000000000"},
        {9, "8e4e4acc4e488686 00e28480448e0000 0000000000000000 0000000000000000"},
        {10, "8e4e4acc4e488686 00e208c480448e00 0000000000000000 0000000000000000"},
        {42, "8e4e4acc4e488686 00e2c80c80448e00 0000000000000000 0000000000000000"},
        {99, "8e4e4acc4e488686 00e2848480448e00 0000000000000000 0000000000000000"},
        {100, "8e4e4acc4e488686 00e208c4c480448e 0000000000000000 0000000000000000"},
        // The layout has no form above 100 or below 0.
        {101, "8e4e4acc4e488686 00e208c4c480448e 0000000000000000 0000000000000000"},
        {250, "8e4e4acc4e488686 00e208c4c480448e 0000000000000000 0000000000000000"},
        {-3, "8e4e4acc4e488686 00e2c480448e0000 0000000000000000 0000000000000000"},
    };
    std::vector<std::string> expected;
    for (const Case &c : cases) {
        ShowPercent(c.percent);
        expected.push_back(Hex(c.cells));
    }
    EXPECT_EQ(Lines(), expected);
    // The line is written unconditionally and leaves the progress routine's memory alone.
    EXPECT_EQ(gnLastPercent, -1);
}

TEST_F(ProgressLine, DisplayReadsTheLineAsProgressAndPercent)
{
    ShowPercent(42);
    std::vector<nlohmann::ordered_json> events = device.EventsOf("braille");
    ASSERT_EQ(events.size(), 1u);
    std::string blanks;
    for (int cell = 0; cell < 17; ++cell)
        blanks += "\u2800";
    EXPECT_EQ(events[0]["text"].get<std::string>(),
              "\u280f\u2817\u2815\u281b\u2817\u2811\u280e\u280e\u2800\u283c\u2819\u2803"
              "\u2808\u2812\u280f" +
                  blanks);
}

// Every line is what a transcriber writes for "progress N%" in grade 1, blank to the end, and
// reads back as that number.
TEST_F(ProgressLine, EveryLineIsTheGradeOneBrailleOfItsText)
{
    std::vector<std::string> expected;
    std::vector<int> percents;
    for (int percent = 0; percent <= 100; ++percent) {
        ShowPercent(percent);
        std::string cells = devkit::BrailleOfText("progress " + std::to_string(percent) + "%");
        ASSERT_EQ(cells.size() % 3, 0u) << "one three-byte pattern per cell";
        while (cells.size() < 32 * 3)
            cells += "\u2800";
        expected.push_back(cells);
        percents.push_back(percent);
    }
    std::vector<std::string> shown;
    for (const auto &event : device.EventsOf("braille"))
        shown.push_back(event["text"]);
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(ShownPercents(), percents);
}

TEST_F(ProgressLine, FirstReportOfTheProcessShowsZero)
{
    gullTotalSize = 1000;
    EXPECT_EQ(Report(0), (DWORD)PROGRESS_CONTINUE);
    EXPECT_EQ(Lines(), std::vector<std::string>{Hex(
                           "8e4e4acc4e488686 00e2c480448e0000 0000000000000000 0000000000000000")});
    EXPECT_EQ(gnLastPercent, 0);
}

TEST_F(ProgressLine, ReportsWriteOnlyWhenTheWholePercentChanges)
{
    gullTotalSize = 1000;
    // Two files of 500 bytes: each starts again from 0, which adds nothing.
    const ULONGLONG reports[] = {0, 1, 9, 10, 15, 19, 500, 0, 5, 250, 499, 500};
    for (ULONGLONG transferred : reports)
        EXPECT_EQ(Report(transferred), (DWORD)PROGRESS_CONTINUE);
    EXPECT_EQ(ShownPercents(), (std::vector<int>{0, 1, 50, 75, 99, 100}));
    EXPECT_EQ(gullCopiedSize, 1000u);
    EXPECT_EQ(gullLastTransferred, 500u);
    EXPECT_EQ(gnLastPercent, 100);
}

TEST_F(ProgressLine, NewFileFirstReportAddsNothingAndResetsTheBaseline)
{
    gullTotalSize = 100;
    Report(30);  // 30
    Report(20);  // a new file already 20 in: no count, baseline 20
    EXPECT_EQ(gullCopiedSize, 30u);
    EXPECT_EQ(gullLastTransferred, 20u);
    Report(45);  // +25
    EXPECT_EQ(gullCopiedSize, 55u);
    EXPECT_EQ(ShownPercents(), (std::vector<int>{30, 55}));
}

TEST_F(ProgressLine, QuotientIsSinglePrecision)
{
    // 7 / 10 in single precision is 0.699999988079071; times 100 that is 69.9999988, so 69.
    gullTotalSize = 10;
    Report(7);
    // 9 / 10 is 0.899999976158142 in single precision: 89.
    Report(9);
    EXPECT_EQ(ShownPercents(), (std::vector<int>{69, 89}));
}

TEST_F(ProgressLine, TransferredCountKeepsTwentyFourBitsAbove16MiB)
{
    gullTotalSize = 100000000;
    Report(16777217);  // 2^24 + 1 is stored as 2^24
    EXPECT_EQ(gullCopiedSize, 16777217u);
    EXPECT_EQ(gullLastTransferred, 16777216u);
    // 16777219 - 16777216 = 3 counted, so one byte more than the file grew; 2^24 + 3 lies
    // halfway between 2^24 + 2 and 2^24 + 4 and rounds to the even 2^24 + 4.
    Report(16777219);
    EXPECT_EQ(gullCopiedSize, 16777220u);
    EXPECT_EQ(gullLastTransferred, 16777220u);
    // 16777220 / 1e8 in single precision times 100: 16.77722, so 16.
    EXPECT_EQ(ShownPercents(), (std::vector<int>{16}));
}

TEST_F(ProgressLine, CountPastTheTotalShowsOneHundredOnce)
{
    gullTotalSize = 100;
    Report(100);  // the whole tree
    Report(0);    // the application folder copied again
    Report(40);
    Report(0);
    Report(2000000000);
    EXPECT_EQ(gullCopiedSize, 2000000140u);
    EXPECT_EQ(ShownPercents(), (std::vector<int>{100}));
    EXPECT_EQ(gnLastPercent, 100);
}

TEST_F(ProgressLine, ShowOneHundredWritesEvenAfterTheRoutineDid)
{
    gullTotalSize = 10;
    Report(10);
    ShowPercent(100);
    EXPECT_EQ(Lines(),
              std::vector<std::string>(
                  2, Hex("8e4e4acc4e488686 00e208c4c480448e 0000000000000000 0000000000000000")));
}

TEST_F(ProgressLine, ClosedDisplayKeepsCountingWithoutWriting)
{
    EXPECT_TRUE(CloseHandle(ghBrlDevice));
    ghBrlDevice = INVALID_HANDLE_VALUE;
    gullTotalSize = 100;
    Report(10);
    ShowPercent(100);
    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(gullCopiedSize, 10u);
    EXPECT_EQ(gnLastPercent, 10);

    // Opened later, the same percentage is still known as shown.
    ghBrlDevice = CreateFileW(BRAILLE_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                              OPEN_EXISTING, 0, NULL);
    ASSERT_NE(ghBrlDevice, INVALID_HANDLE_VALUE);
    Report(10);
    Report(20);
    EXPECT_EQ(ShownPercents(), (std::vector<int>{20}));
}

// The installation's use: the total from the tree, each file copied with the routine, then 100.
TEST_F(ProgressLine, CopiesOfATreeCountUpToOneHundred)
{
    device.PutFile("\\src\\a.bin", std::string(64 * 1024, 'a'));
    device.PutFile("\\src\\sub\\b.bin", std::string(192 * 1024, 'b'));
    gullTotalSize = (ULONGLONG)GetFolderSize(u"\\src\\");
    EXPECT_EQ(gullTotalSize, 256u * 1024);
    ASSERT_TRUE(CreateDirectoryW(u"\\dst", NULL));
    ASSERT_TRUE(CopyFileExW(u"\\src\\a.bin", u"\\dst\\a.bin", CopyProgressRoutine, NULL, NULL,
                            COPY_FILE_RESTARTABLE));
    ASSERT_TRUE(CopyFileExW(u"\\src\\sub\\b.bin", u"\\dst\\b.bin", CopyProgressRoutine, NULL, NULL,
                            COPY_FILE_RESTARTABLE));
    ShowPercent(100);
    // The copies report every 64 KiB, each file first with 0.
    EXPECT_EQ(ShownPercents(), (std::vector<int>{0, 25, 50, 75, 100, 100}));
}

TEST_F(ProgressLine, TreeOfEmptyFilesEndsWithOneHundred)
{
    device.PutFile("\\src\\a.txt", "");
    device.PutFile("\\src\\sub\\b.txt", "");
    gullTotalSize = (ULONGLONG)GetFolderSize(u"\\src\\");
    EXPECT_EQ(gullTotalSize, 0u);
    ASSERT_TRUE(CreateDirectoryW(u"\\dst", NULL));
    ASSERT_TRUE(CopyFileExW(u"\\src\\a.txt", u"\\dst\\a.txt", CopyProgressRoutine, NULL, NULL,
                            COPY_FILE_RESTARTABLE));
    ASSERT_TRUE(CopyFileExW(u"\\src\\sub\\b.txt", u"\\dst\\b.txt", CopyProgressRoutine, NULL, NULL,
                            COPY_FILE_RESTARTABLE));
    ShowPercent(100);
    EXPECT_EQ(ShownPercents(), (std::vector<int>{0, 100}));
}

TEST(ProgressLineRefused, CountingAndLaterLinesGoOn)
{
    qs_test::TempDevice device(nlohmann::json{
        {"braille",
         {{"faults", nlohmann::json::array({{{"code", "BRL_IOCTL_WRITE_LINE"}, {"nth", 2}}})}}}});
    ResetShellState();
    ghBrlDevice = CreateFileW(BRAILLE_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                              OPEN_EXISTING, 0, NULL);
    ASSERT_NE(ghBrlDevice, INVALID_HANDLE_VALUE);
    gullTotalSize = 100;
    EXPECT_EQ(Report(10), (DWORD)PROGRESS_CONTINUE);
    EXPECT_EQ(Report(20), (DWORD)PROGRESS_CONTINUE);  // the display refuses this line
    EXPECT_EQ(Report(30), (DWORD)PROGRESS_CONTINUE);
    EXPECT_TRUE(CloseHandle(ghBrlDevice));
    ghBrlDevice = INVALID_HANDLE_VALUE;

    std::vector<int> shown;
    for (const auto &event : device.EventsOf("braille"))
        shown.push_back(ShownPercent(event["cells"]));
    EXPECT_EQ(shown, (std::vector<int>{10, 30}));
    EXPECT_EQ(gullCopiedSize, 30u);
    EXPECT_EQ(gnLastPercent, 30);
    EXPECT_EQ(device.DescribeIoctls("BRL1:", true).size(), 3u);
}

class FolderSize : public ::testing::Test {
protected:
    void SetUp() override { ResetShellState(); }
    void TearDown() override
    {
        EXPECT_EQ(ce_host::Held().handles, 0u);
        EXPECT_EQ(ce_host::Held().heapBlocks, 0u);
    }
    qs_test::TempDevice device;
};

TEST_F(FolderSize, SumsEveryLevel)
{
    device.PutFile("\\app\\a.bin", std::string(10, 'a'));
    device.PutFile("\\app\\x\\b.bin", std::string(200, 'b'));
    device.PutFile("\\app\\x\\y\\c.bin", std::string(3000, 'c'));
    device.PutFolder("\\app\\empty");
    device.PutFile("\\other\\d.bin", std::string(7, 'd'));
    EXPECT_EQ(GetFolderSize(u"\\app\\"), 3210.0f);
    EXPECT_EQ(GetFolderSize(u"\\app\\x\\"), 3200.0f);
    EXPECT_EQ(GetFolderSize(u"\\app\\empty\\"), 0.0f);
    EXPECT_EQ(GetFolderSize(u"\\missing\\"), 0.0f);
}

TEST_F(FolderSize, SumIsRoundedToSinglePrecisionAbove16MiB)
{
    device.PutFile("\\app\\small.bin", "xy");
    device.PutFile("\\app\\big\\big.bin", "");
    // Sparse, so the test does not write 16 MiB.
    std::filesystem::resize_file(device.Host("\\app\\big\\big.bin"), 16777217);
    // 2^24 + 1 becomes 2^24 (halfway, to even); 2^24 + 2 is exact: 16777218, not 16777219.
    EXPECT_EQ(GetFolderSize(u"\\app\\"), 16777218.0f);
}

TEST_F(FolderSize, HighSizeWordCounts)
{
    device.PutFile("\\app\\huge.bin", "");
    // 2^32 + 5 bytes: the high word gives 2^32, and 5 is below single precision's step there.
    std::filesystem::resize_file(device.Host("\\app\\huge.bin"), 4294967301ull);
    EXPECT_EQ(GetFolderSize(u"\\app\\"), 4294967296.0f);
}

}  // namespace
