// The BINFS size check against the simulated store: the partition dump, the size decision, and
// the check log's bytes on the flash disk.
#include <optional>

#include "common/qs_common.h"
#include "platform/host/host.h"
#include "shell/binfs_check.h"
#include "tests/support/temp_device.h"

// Named, so that the area's files can share one unity build.
namespace binfs_check_test {
namespace {

using nlohmann::json;
using Lines = std::vector<std::string>;

const std::string kLogPath = "\\flashdisk\\BINFS_CHECK.log";
const std::string kExists = "[QuorShell]CheckBINFS: BINFS is exist \r\n";
const std::string kWrongSize = "[QuorShell]CheckBINFS: BINFS size is wrong size \r\n";
const std::string kNoPartition = "[QuorShell]CheckBINFS: FindFirstPartition fail \r\n";
// An earlier finding, longer than one line, whose tail tells whether it was kept.
const std::string kOldLog = std::string(64, 'o') + "0123456789TAIL";

Lines Dump(const std::string &name, const std::string &fileSystem, const std::string &sectors)
{
    return {"===============Partition Info====================\r\n",
            "PartitionName\t==" + name + " \r\n", "FileSys\t\t\t==" + fileSystem + " \r\n",
            "NumSectors\t\t==" + sectors + " \r\n",
            "==================================================\r\n"};
}

Lines Join(Lines first, const Lines &second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// Text as the log holds it: UTF-16 little-endian, no byte-order mark.
std::string Utf16(const std::string &ascii)
{
    std::string bytes;
    for (char c : ascii) {
        bytes += c;
        bytes += '\0';
    }
    return bytes;
}

json Partition(const std::string &name, uint64_t sectors, const std::string &fileSystem = "BINFS")
{
    return {{"name", name}, {"file_system", fileSystem}, {"sectors", sectors}};
}

json Store(std::initializer_list<json> partitions)
{
    json list = json::array();
    for (const json &partition : partitions)
        list.push_back(partition);
    return {{"store", {{"partitions", list}}}};
}

struct BinfsRow {
    const char *name;
    json device;
    std::optional<std::string> before;  // the log's content before the check; none: no log
    Lines log;
    std::optional<std::string> after;  // none: no log afterwards
    Lines storeCalls;                  // "OpenStore ok", "FindFirstPartition Part00 ok", ...
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

    EXPECT_EQ(device.LogEntries(), row.log);
    bool exists = std::filesystem::exists(device.Host(kLogPath));
    EXPECT_EQ(exists, row.after.has_value());
    if (exists && row.after) {
        EXPECT_EQ(device.ReadFile(kLogPath), *row.after);
    }
    Lines calls;
    for (const auto &event : device.EventsOf("store")) {
        std::string detail = event["detail"];
        calls.push_back(event["call"].get<std::string>() + (detail.empty() ? "" : " " + detail) +
                        (event["ok"] ? " ok" : " failed"));
    }
    EXPECT_EQ(calls, row.storeCalls);
    EXPECT_EQ(ce_host::Held().handles, 0u) << testing::PrintToString(ce_host::DescribeHeld());
    EXPECT_EQ(ce_host::Held().heapBlocks, 0u);
}

const Lines kFound = {"OpenStore DSK1: ok", "FindFirstPartition Part00 ok",
                      "FindClosePartition ok"};
// The default clock: 2026-12-05 08:30 UTC, local time the same.
const std::string kLine = "Check BINFS: 2026/12/ 5  8:30 \r\n";

INSTANTIATE_TEST_SUITE_P(
    Table, BinfsCheck,
    testing::Values(
        BinfsRow{"ExactlyTheMinimumDeletesTheLog", Store({Partition("Part00", 21952)}), kOldLog,
                 Join(Dump("Part00", "BINFS", "0x55C0"), {kExists}), std::nullopt, kFound},
        BinfsRow{"ExactlyTheMinimumWithoutLog", Store({Partition("Part00", 21952)}), std::nullopt,
                 Join(Dump("Part00", "BINFS", "0x55C0"), {kExists}), std::nullopt, kFound},
        BinfsRow{"TheDefaultStore", json::object(), kOldLog,
                 Join(Dump("Part00", "BINFS", "0x55C0"), {kExists}), std::nullopt, kFound},
        BinfsRow{"OneBelowWritesOneLine", Store({Partition("Part00", 21951)}), std::nullopt,
                 Join(Dump("Part00", "BINFS", "0x55BF"), {kExists, kWrongSize}), Utf16(kLine),
                 kFound},
        BinfsRow{"OneBelowOverAnOlderLongerLog", Store({Partition("Part00", 21951)}), kOldLog,
                 Join(Dump("Part00", "BINFS", "0x55BF"), {kExists, kWrongSize}),
                 Utf16(kLine) + "0123456789TAIL", kFound},
        BinfsRow{"EmptyPartition", Store({Partition("Part00", 0)}), std::nullopt,
                 Join(Dump("Part00", "BINFS", "0x0"), {kExists, kWrongSize}), Utf16(kLine), kFound},
        // The dump prints the low word only; the decision takes all 64 bits.
        BinfsRow{"TwoToTheThirtySecond", Store({Partition("Part00", 0x100000000ULL)}), kOldLog,
                 Join(Dump("Part00", "BINFS", "0x0"), {kExists}), std::nullopt, kFound},
        BinfsRow{"HighWordWithSmallLowWord", Store({Partition("Part00", 0x300000005ULL)}), kOldLog,
                 Join(Dump("Part00", "BINFS", "0x5"), {kExists}), std::nullopt, kFound},
        // The file system is printed only.
        BinfsRow{"OtherFileSystemTooSmall", Store({Partition("Part00", 100, "FATFS")}),
                 std::nullopt, Join(Dump("Part00", "FATFS", "0x64"), {kExists, kWrongSize}),
                 Utf16(kLine), kFound},
        BinfsRow{"OtherFileSystemLargeEnough", Store({Partition("Part00", 30000, "")}), kOldLog,
                 Join(Dump("Part00", "", "0x7530"), {kExists}), std::nullopt, kFound},
        // Local time, each field blank-filled to its width.
        BinfsRow{"LocalTimeAfterMidnight",
                 {{"clock", {{"utc", "2027-01-09T23:58:00Z"}, {"local_offset_minutes", 5}}},
                  {"store", {{"partitions", json::array({Partition("Part00", 1)})}}}},
                 std::nullopt,
                 Join(Dump("Part00", "BINFS", "0x1"), {kExists, kWrongSize}),
                 Utf16("Check BINFS: 2027/ 1/10  0: 3 \r\n"),
                 kFound},
        BinfsRow{"LocalTimeWithTwoDigitFields",
                 {{"clock", {{"utc", "2031-11-27T22:45:00Z"}, {"local_offset_minutes", -60}}},
                  {"store", {{"partitions", json::array({Partition("Part00", 21951)})}}}},
                 kOldLog,
                 Join(Dump("Part00", "BINFS", "0x55BF"), {kExists, kWrongSize}),
                 Utf16("Check BINFS: 2031/11/27 21:45 \r\n") + "0123456789TAIL",
                 kFound},
        // Any other name, letter case included: the dump only; the log is left alone.
        BinfsRow{"NameInLowerCase",
                 Store({Partition("part00", 100)}),
                 kOldLog,
                 Dump("part00", "BINFS", "0x64"),
                 kOldLog,
                 {"OpenStore DSK1: ok", "FindFirstPartition part00 ok", "FindClosePartition ok"}},
        BinfsRow{"NameInUpperCase",
                 Store({Partition("PART00", 21952)}),
                 kOldLog,
                 Dump("PART00", "BINFS", "0x55C0"),
                 kOldLog,
                 {"OpenStore DSK1: ok", "FindFirstPartition PART00 ok", "FindClosePartition ok"}},
        BinfsRow{"NameWithOtherDigit",
                 Store({Partition("Part01", 100)}),
                 std::nullopt,
                 Dump("Part01", "BINFS", "0x64"),
                 std::nullopt,
                 {"OpenStore DSK1: ok", "FindFirstPartition Part01 ok", "FindClosePartition ok"}},
        BinfsRow{"NameOneShorter",
                 Store({Partition("Part0", 100)}),
                 kOldLog,
                 Dump("Part0", "BINFS", "0x64"),
                 kOldLog,
                 {"OpenStore DSK1: ok", "FindFirstPartition Part0 ok", "FindClosePartition ok"}},
        BinfsRow{"NameOneLonger",
                 Store({Partition("Part00 ", 100)}),
                 kOldLog,
                 Dump("Part00 ", "BINFS", "0x64"),
                 kOldLog,
                 {"OpenStore DSK1: ok", "FindFirstPartition Part00  ok", "FindClosePartition ok"}},
        // Only the first partition is looked at.
        BinfsRow{"SecondPart00NeverSeen",
                 Store({Partition("Part01", 21952, "FATFS"), Partition("Part00", 100)}),
                 kOldLog,
                 Dump("Part01", "FATFS", "0x55C0"),
                 kOldLog,
                 {"OpenStore DSK1: ok", "FindFirstPartition Part01 ok", "FindClosePartition ok"}},
        BinfsRow{"NoPartition",
                 Store({}),
                 kOldLog,
                 {kNoPartition},
                 kOldLog,
                 {"OpenStore DSK1: ok", "FindFirstPartition failed"}},
        BinfsRow{"PartitionSearchFails",
                 {{"store", {{"faults", {{{"op", "partition"}}}}}}},
                 kOldLog,
                 {kNoPartition},
                 kOldLog,
                 {"OpenStore DSK1: ok", "FindFirstPartition failed"}},
        BinfsRow{"StoreAbsent",
                 {{"store", {{"present", false}}}},
                 kOldLog,
                 {},
                 kOldLog,
                 {"OpenStore DSK1: failed"}},
        BinfsRow{"StoreOpenFails",
                 {{"store",
                   {{"faults", {{{"op", "open"}}}},
                    {"partitions", json::array({Partition("Part00", 1)})}}}},
                 std::nullopt,
                 {},
                 std::nullopt,
                 {"OpenStore DSK1: failed"}},
        // A log held open elsewhere: the finding stays in the debug log only, and a right size
        // cannot delete it either.
        BinfsRow{"LockedLogTooSmall",
                 {{"files", {{"locked", {kLogPath}}}},
                  {"store", {{"partitions", json::array({Partition("Part00", 21951)})}}}},
                 kOldLog,
                 Join(Dump("Part00", "BINFS", "0x55BF"), {kExists, kWrongSize}),
                 kOldLog,
                 kFound},
        BinfsRow{"LockedLogRightSize",
                 {{"files", {{"locked", {kLogPath}}}}},
                 kOldLog,
                 Join(Dump("Part00", "BINFS", "0x55C0"), {kExists}),
                 kOldLog,
                 kFound}),
    [](const testing::TestParamInfo<BinfsRow> &info) { return std::string(info.param.name); });

// The line is 32 characters, 64 bytes, whatever the date, and the file is never truncated.
TEST(BinfsCheckLog, LatestFindingOverwritesOnlyTheStart)
{
    qs_test::TempDevice device(Store({Partition("Part00", 21000)}));
    device.PutFolder("\\flashdisk");
    ResetShellState();
    CheckBINFS();
    ASSERT_EQ(device.ReadFile(kLogPath).size(), 64u);
    device.PutFile(kLogPath, Utf16(kLine) + "later bytes");
    Sleep(61 * 60 * 1000);  // an hour and a minute on
    CheckBINFS();
    EXPECT_EQ(device.ReadFile(kLogPath),
              Utf16("Check BINFS: 2026/12/ 5  9:31 \r\n") + "later bytes");
}

// Without a flash disk folder the log cannot be opened: the finding stays in the debug log.
TEST(BinfsCheckLog, MissingFolderLeavesTheDebugLineOnly)
{
    qs_test::TempDevice device(Store({Partition("Part00", 10)}));
    ResetShellState();
    CheckBINFS();
    EXPECT_EQ(device.LogEntries(), Join(Dump("Part00", "BINFS", "0xA"), {kExists, kWrongSize}));
    EXPECT_FALSE(std::filesystem::exists(device.Host("\\flashdisk")));
    EXPECT_EQ(ce_host::Held().handles, 0u);
}

}  // namespace
}  // namespace binfs_check_test
