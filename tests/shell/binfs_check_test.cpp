// The BINFS size check against the simulated store: the storage manager's calls and the partition
// dump in order, the size decision, and the check log's bytes on the flash disk.
#include <optional>

#include "common/qs_common.h"
#include "shell/binfs_check.h"
#include "tests/support/expect.h"
#include "tests/support/temp_device.h"

// Named, so that the area's files can share one unity build.
namespace binfs_check_test {
namespace {

using nlohmann::json;
using qs_test::Join;
using qs_test::Lines;

const std::string kLogPath = "\\flashdisk\\BINFS_CHECK.log";
const std::string kExists = "[QuorShell]CheckBINFS: BINFS is exist \r\n";
const std::string kWrongSize = "[QuorShell]CheckBINFS: BINFS size is wrong size \r\n";
const std::string kOpened = "store OpenStore DSK1: ok";
const std::string kClosed = "store FindClosePartition ok";
// An earlier finding, longer than one line, whose tail tells whether it was kept.
const std::string kOldLog = std::string(64, 'o') + "0123456789TAIL";

// The first partition's dump between the store's calls, and the lines that follow it.
Lines Found(const std::string &name, const std::string &fileSystem, const std::string &sectors,
            const Lines &after = {})
{
    return Join({{kOpened, "store FindFirstPartition " + name + " ok",
                  "===============Partition Info====================\r\n",
                  "PartitionName\t==" + name + " \r\n", "FileSys\t\t\t==" + fileSystem + " \r\n",
                  "NumSectors\t\t==" + sectors + " \r\n",
                  "==================================================\r\n"},
                 after,
                 {kClosed}});
}

// Text as the log holds it: UTF-16 little-endian, no byte-order mark.
std::string Utf16(const std::string &ascii)
{
    std::string bytes;
    for (char c : ascii)
        bytes += std::string{c, '\0'};
    return bytes;
}

json Store(std::vector<std::pair<std::string, uint64_t>> partitions,
           const std::string &fileSystem = "BINFS")
{
    json list = json::array();
    for (const auto &[name, sectors] : partitions)
        list.push_back({{"name", name}, {"file_system", fileSystem}, {"sectors", sectors}});
    return {{"store", {{"partitions", list}}}};
}
json Part00(uint64_t sectors)
{
    return Store({{"Part00", sectors}});
}
json At(const char *utc, int offsetMinutes, uint64_t sectors)
{
    json device = Part00(sectors);
    device["clock"] = {{"utc", utc}, {"local_offset_minutes", offsetMinutes}};
    return device;
}

struct BinfsRow {
    const char *name;
    json device;
    std::optional<std::string> before;  // the log's content before the check; none: no log
    Lines seen;                         // store calls and debug-log entries, in order
    std::optional<std::string> after;   // none: no log afterwards
};

// Failures name the row rather than dumping its bytes.
void PrintTo(const BinfsRow &row, std::ostream *out)
{
    *out << row.name;
}

class BinfsCheck : public testing::TestWithParam<BinfsRow> {};

TEST_P(BinfsCheck, DumpsDecidesAndKeepsTheLog)
{
    const BinfsRow &row = GetParam();
    qs_test::TempDevice device(row.device);
    device.PutFolder("\\flashdisk");
    if (row.before)
        device.PutFile(kLogPath, *row.before);
    ResetShellState();
    CheckBINFS();

    Lines seen;
    for (const auto &event : device.device().Events().Events()) {
        if (event["event"] == "log")
            seen.push_back(event["text"]);
        else if (event["event"] == "store")
            seen.push_back("store " + event["call"].get<std::string>() +
                           (event["detail"] == "" ? "" : " " + event["detail"].get<std::string>()) +
                           (event["ok"] ? " ok" : " failed"));
    }
    EXPECT_EQ(seen, row.seen);
    EXPECT_EQ(std::filesystem::exists(device.Host(kLogPath)), row.after.has_value());
    if (row.after) {
        EXPECT_EQ(device.ReadFile(kLogPath), *row.after);
    }
    if (row.after && row.after != row.before) {
        // A log the check writes stays writable for the next boot's check.
        HANDLE log = CreateFileW(u"\\flashdisk\\BINFS_CHECK.log", GENERIC_WRITE, 0, NULL,
                                 OPEN_EXISTING, 0, NULL);
        EXPECT_NE(log, INVALID_HANDLE_VALUE);
        CloseHandle(log);
    }
    qs_test::ExpectNothingHeld();
}

// The default clock: 2026-12-05 08:30 UTC, local time the same.
const std::string kLine = Utf16("Check BINFS: 2026/12/ 5  8:30 \r\n");
const std::optional<std::string> kNoLog;

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, BinfsCheck,
    testing::Values(
        BinfsRow{"ExactlyTheMinimumDeletesTheLog", json::object(), kOldLog,
                 Found("Part00", "BINFS", "0x55C0", {kExists}), kNoLog},
        // One 64-byte line.
        BinfsRow{"OneBelowWritesOneLine", Part00(21951), kNoLog,
                 Found("Part00", "BINFS", "0x55BF", {kExists, kWrongSize}), kLine},
        // The dump prints the low word only; the decision takes all 64 bits.
        BinfsRow{"TwoToTheThirtySecond", Part00(0x100000000ULL), kOldLog,
                 Found("Part00", "BINFS", "0x0", {kExists}), kNoLog},
        // The file system is printed only.
        BinfsRow{"OtherFileSystemTooSmall", Store({{"Part00", 100}}, "FATFS"), kNoLog,
                 Found("Part00", "FATFS", "0x64", {kExists, kWrongSize}), kLine},
        // Local time, each field blank-filled to its width.
        BinfsRow{"LocalTimeAfterMidnight", At("2027-01-09T23:58:00Z", 5, 1), kNoLog,
                 Found("Part00", "BINFS", "0x1", {kExists, kWrongSize}),
                 Utf16("Check BINFS: 2027/ 1/10  0: 3 \r\n")},
        // The last day of a four-year cycle of the calendar.
        BinfsRow{"LeapDay", At("2028-02-29T12:00:00Z", 0, 1), kNoLog,
                 Found("Part00", "BINFS", "0x1", {kExists, kWrongSize}),
                 Utf16("Check BINFS: 2028/ 2/29 12: 0 \r\n")},
        // Written over the start of an older, longer log, whose tail stays.
        BinfsRow{"LocalTimeWithTwoDigitFields", At("2031-11-27T22:45:00Z", -60, 21951), kOldLog,
                 Found("Part00", "BINFS", "0x55BF", {kExists, kWrongSize}),
                 Utf16("Check BINFS: 2031/11/27 21:45 \r\n") + "0123456789TAIL"},
        // Any other name, letter case included: the dump only; the log is left alone.
        BinfsRow{"NameInLowerCase", Store({{"part00", 100}}), kOldLog,
                 Found("part00", "BINFS", "0x64"), kOldLog},
        BinfsRow{"NameWithOtherDigit", Store({{"Part01", 100}}), kNoLog,
                 Found("Part01", "BINFS", "0x64"), kNoLog},
        BinfsRow{"NameOneShorter", Store({{"Part0", 100}}), kOldLog,
                 Found("Part0", "BINFS", "0x64"), kOldLog},
        BinfsRow{"NameOneLonger", Store({{"Part00 ", 100}}), kOldLog,
                 Found("Part00 ", "BINFS", "0x64"), kOldLog},
        // Only the first partition is looked at.
        BinfsRow{"SecondPart00NeverSeen", Store({{"Part01", 21952}, {"Part00", 100}}, "FATFS"),
                 kOldLog, Found("Part01", "FATFS", "0x55C0"), kOldLog},
        BinfsRow{"NoPartition", Store({}), kOldLog,
                 {kOpened, "store FindFirstPartition failed",
                  "[QuorShell]CheckBINFS: FindFirstPartition fail \r\n"}, kOldLog},
        BinfsRow{"StoreAbsent", {{"store", {{"present", false}}}}, kOldLog,
                 {"store OpenStore DSK1: failed"}, kOldLog},
        // A log held open elsewhere: the finding stays in the debug log only.
        BinfsRow{"LockedLogTooSmall",
                 {{"files", {{"locked", {kLogPath}}}}, {"store", Part00(21951)["store"]}}, kOldLog,
                 Found("Part00", "BINFS", "0x55BF", {kExists, kWrongSize}), kOldLog}),
    [](const testing::TestParamInfo<BinfsRow> &info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
}  // namespace binfs_check_test
