// The percentage line on the braille display: the cells of each line, when the progress routine
// writes one, the byte counts behind the percentage, and the folder sums it is measured against.
#include <algorithm>
#include <climits>

#include <gtest/gtest.h>

#include "appupdate/progress.h"
#include "devkit/braille_reading.h"
#include "platform/host/host.h"
#include "tests/support/expect.h"
#include "tests/support/temp_device.h"

namespace progress_test {
namespace {

using nlohmann::json;

// The progress routine as a copy calls it; only the transferred count is read.
DWORD Report(ULONGLONG transferred)
{
    LARGE_INTEGER zero{}, bytes{};
    bytes.QuadPart = (LONGLONG)transferred;
    return CopyProgressRoutine(zero, bytes, zero, bytes, 1, CALLBACK_CHUNK_FINISHED, NULL, NULL,
                               NULL);
}

HANDLE OpenDisplay()
{
    return CreateFileW(BRAILLE_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0,
                       NULL);
}

// Every line is what a transcriber writes for "progress N%" in grade 1, blank to the end; the
// layout has no form outside 0 to 100, so such a value shows its nearest end. The progress
// routine's memory is left alone.
TEST(ShowPercent, WritesTheGradeOneLineOfEachPercentage)
{
    qs_test::TempDevice device;
    ResetShellState();
    ghBrlDevice = OpenDisplay();
    std::vector<std::string> expected;
    for (int percent = -3; percent <= 250; ++percent) {
        ShowPercent(percent);
        expected.push_back(
            devkit::BrailleOfText("progress " + std::to_string(std::clamp(percent, 0, 100)) + "%"));
        while (expected.back().size() < 32 * 3)  // a blank pattern is three bytes of UTF-8
            expected.back() += "\u2800";
    }
    EXPECT_TRUE(CloseHandle(ghBrlDevice));
    std::vector<nlohmann::ordered_json> lines = device.EventsOf("braille");
    std::vector<std::string> shown;
    for (const auto &line : lines)
        shown.push_back(line["text"]);
    EXPECT_EQ(shown, expected);
    // Whole lines as the layout gives them for 7, 42 and 100 (the lines start at -3).
    const std::string blank(32, '0');
    EXPECT_EQ(lines.at(10)["cells"], "8e4e4acc4e48868600e2cc80448e0000" + blank);
    EXPECT_EQ(lines.at(45)["cells"], "8e4e4acc4e48868600e2c80c80448e00" + blank);
    EXPECT_EQ(lines.at(103)["cells"], "8e4e4acc4e48868600e208c4c480448e" + blank);
    EXPECT_EQ(gnLastPercent, -1);
}

constexpr int64_t kShow100 = -1;  // ShowPercent(100)
constexpr int64_t kClose = -2;    // the display closed
constexpr int64_t kOpen = -3;     // and opened again

struct RoutineRow {
    const char *name;
    ULONGLONG total;
    std::vector<int64_t> steps;  // transferred counts reported, or one of the above
    std::vector<int> shown;      // the percentage each line written reads
    ULONGLONG copied;
    int lastPercent;
    json device = json::object();
};

class ProgressRoutine : public testing::TestWithParam<RoutineRow> {};

TEST_P(ProgressRoutine, WritesALineAtEachNewWholePercent)
{
    const RoutineRow &row = GetParam();
    qs_test::TempDevice device(row.device);
    ResetShellState();
    ghBrlDevice = OpenDisplay();
    gullTotalSize = row.total;
    for (int64_t step : row.steps) {
        if (step == kShow100) {
            ShowPercent(100);
        } else if (step == kClose) {
            EXPECT_TRUE(CloseHandle(ghBrlDevice));
            ghBrlDevice = INVALID_HANDLE_VALUE;
        } else if (step == kOpen) {
            ghBrlDevice = OpenDisplay();
        } else {
            EXPECT_EQ(Report(ULONGLONG(step)), DWORD(PROGRESS_CONTINUE));
        }
    }
    EXPECT_TRUE(CloseHandle(ghBrlDevice));

    std::vector<std::string> shown, read;  // as a braille reader reads each line
    for (int percent : row.shown)
        shown.push_back("progress " + std::to_string(percent) + "%");
    for (const auto &event : device.EventsOf("braille"))
        read.push_back(devkit::TextOfBraille(event["text"]));
    EXPECT_EQ(read, shown);
    EXPECT_EQ(gullCopiedSize, row.copied);
    EXPECT_EQ(gnLastPercent, row.lastPercent);
    qs_test::ExpectNothingHeld();
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, ProgressRoutine,
    testing::Values(
        // gnLastPercent starts at -1: the first report writes even 0.
        RoutineRow{"FirstReportShowsZero", 1000, {0}, {0}, 0, 0},
        // Two files of 500 bytes: each starts again from 0, which adds nothing.
        RoutineRow{"OnlyWhenTheWholePercentChanges", 1000,
                   {0, 1, 9, 10, 15, 19, 500, 0, 5, 250, 499, 500}, {0, 1, 50, 75, 99, 100}, 1000,
                   100},
        // A file already 20 in counts nothing and is the new baseline: 30 + 25.
        RoutineRow{"NewFileResetsTheBaseline", 100, {30, 20, 45}, {30, 55}, 55, 55},
        // 7 / 10 in single precision is 0.699999988, so 69; 9 / 10 gives 89.
        RoutineRow{"QuotientInSinglePrecision", 10, {7, 9}, {69, 89}, 9, 89},
        // 2^24 + 1 is kept as 2^24, so 3 more count.
        RoutineRow{"BaselineOf24BitsAbove16MiB", 100000000, {16777217, 16777219}, {16}, 16777220,
                   16},
        // The application folder copied again takes the count past the total: a line at each
        // new value (1.4 in single precision gives 139), each reading 100, up to INT_MAX.
        RoutineRow{"PastTheTotal", 100, {100, 0, 40, 41, 0, 2000000000}, {100, 100, 100, 100},
                   2000000141, 2000000200},
        RoutineRow{"PastAnIntSaturates", 1, {1, 100000000000, 200000000000}, {100, 100},
                   200000002048, INT_MAX},
        RoutineRow{"NothingToCopyShowsZero", 0, {0, 5, kShow100}, {0, 100}, 5, 0},
        RoutineRow{"ShowOneHundredAfterTheRoutine", 10, {10, kShow100}, {100, 100}, 10, 100},
        // Closed, the display gets nothing, but the count and the percentage shown go on.
        RoutineRow{"ClosedDisplayKeepsCounting", 100, {kClose, 10, kShow100, kOpen, 10, 20}, {20},
                   20, 20},
        RoutineRow{"RefusedLineChangesNothing", 100, {10, 20, 30}, {10, 30}, 30, 30,
                   {{"braille",
                     {{"faults",
                       json::array({{{"code", "BRL_IOCTL_WRITE_LINE"}, {"nth", 2}}})}}}}}),
    [](const auto &info) { return std::string(info.param.name); });
// clang-format on

// The sum below \app\ of each tree: 2^24 + 1 becomes 2^24 (halfway, to even) and 2^24 + 2 is
// exact; of 2^32 + 5 the high word counts, and 5 is below single precision's step there.
struct SizeRow {
    qs_test::Entries files;
    float size;
};
// clang-format off
const SizeRow kSizeRows[] = {
    {{}, 0.0f},
    {{{"\\app", qs_test::kFolder}}, 0.0f},
    {{{"\\app\\a.bin", std::string(10, 'a')}, {"\\app\\x\\b.bin", std::string(200, 'b')},
      {"\\app\\x\\y\\c.bin", std::string(3000, 'c')}, {"\\app\\empty", qs_test::kFolder},
      {"\\other\\d.bin", "d"}}, 3210.0f},
    {{{"\\app\\small.bin", "xy"}, {"\\app\\big\\big.bin", qs_test::Sparse(16777217)}}, 16777218.0f},
    {{{"\\app\\huge.bin", qs_test::Sparse(4294967301ull)}}, 4294967296.0f},
};
// clang-format on

TEST(FolderSize, SumsEveryFileBelowInSinglePrecision)
{
    for (const SizeRow &row : kSizeRows) {
        qs_test::TempDevice device;
        ResetShellState();
        qs_test::LayEntries(device.folder(), row.files);
        EXPECT_EQ(GetFolderSize(u"\\app\\"), row.size) << testing::PrintToString(row.files);
        qs_test::ExpectNothingHeld();
    }
}

}  // namespace
}  // namespace progress_test
