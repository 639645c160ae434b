// The storage manager as the BINFS check reaches it: the store of DSK1:, its first partition in
// a PARTINFO, the closing calls, what device.json makes fail, and the journal of each call.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <optional>

#include "platform/ce.h"
#include "platform/host/host.h"
#include "tests/support/temp_device.h"

namespace store_test {
namespace {

using nlohmann::json;
using Lines = std::vector<std::string>;

// "OpenStore DSK1: ok", "FindFirstPartition failed 259": one line per store event.
Lines StoreCalls(qs_test::TempDevice &device)
{
    Lines calls;
    for (const auto &event : device.EventsOf("store")) {
        std::string detail = event["detail"];
        std::string line = event["call"].get<std::string>() + (detail.empty() ? "" : " " + detail);
        line += event["ok"] ? " ok" : " failed " + std::to_string(event["error"].get<int>());
        calls.push_back(line);
    }
    return calls;
}

struct Partition {
    std::string name;
    std::string fileSystem;
    ULONGLONG sectors;
};

struct StoreRow {
    const char *name;
    json description;
    std::u16string storeName;
    DWORD openError;       // 0: the store opens
    DWORD partitionError;  // 0: the first partition is found
    DWORD closeError;      // 0: the partition search closes
    std::optional<Partition> found;
    Lines calls;
    size_t faults;  // fault events
};

void PrintTo(const StoreRow &row, std::ostream *out)
{
    *out << row.name;
}

class StoreCallTable : public testing::TestWithParam<StoreRow> {};

// Open, first partition, close both, in the BINFS check's order; every handle is gone after.
TEST_P(StoreCallTable, AnswerAndJournalAsDescribed)
{
    const StoreRow &row = GetParam();
    qs_test::TempDevice device(row.description);
    SetLastError(0);
    HANDLE store = OpenStore(row.storeName.c_str());
    ASSERT_EQ(store == INVALID_HANDLE_VALUE, row.openError != 0);
    if (row.openError) {
        EXPECT_EQ(GetLastError(), row.openError);
    } else {
        PARTINFO info;
        std::memset(&info, 0xCC, sizeof(info));
        info.cbSize = sizeof(PARTINFO);
        HANDLE search = FindFirstPartition(store, &info);
        ASSERT_EQ(search == INVALID_HANDLE_VALUE, row.partitionError != 0);
        if (row.partitionError) {
            EXPECT_EQ(GetLastError(), row.partitionError);
        } else {
            ASSERT_TRUE(row.found.has_value());
            EXPECT_EQ(qs_test::Narrow(info.szPartitionName), row.found->name);
            EXPECT_EQ(qs_test::Narrow(info.szFileSys), row.found->fileSystem);
            EXPECT_EQ(info.snNumSectors, row.found->sectors);
        }
        EXPECT_TRUE(CloseHandle(store));
        if (search != INVALID_HANDLE_VALUE) {
            EXPECT_EQ(FindClosePartition(search) != FALSE, row.closeError == 0);
            if (row.closeError) {
                EXPECT_EQ(GetLastError(), row.closeError);
            }
        }
    }
    EXPECT_EQ(ce_host::Held().handles, 0u) << testing::PrintToString(ce_host::DescribeHeld());
    EXPECT_EQ(StoreCalls(device), row.calls);
    EXPECT_EQ(device.EventsOf("fault").size(), row.faults);
}

const Lines kAllWell = {"OpenStore DSK1: ok", "FindFirstPartition Part00 ok",
                        "FindClosePartition ok"};
const Partition kDefault{"Part00", "BINFS", 21952};

json Partitions(json list)
{
    return {{"store", {{"partitions", std::move(list)}}}};
}

INSTANTIATE_TEST_SUITE_P(
    Table, StoreCallTable,
    testing::Values(
        StoreRow{"TheDefaultStore", json::object(), u"DSK1:", 0, 0, 0, kDefault, kAllWell, 0},
        StoreRow{
            "NameWithoutRegardToCase", json::object(), u"dsk1:", 0, 0, 0, kDefault,
            Lines{"OpenStore dsk1: ok", "FindFirstPartition Part00 ok", "FindClosePartition ok"},
            0},
        StoreRow{"AnotherDisk", json::object(), u"DSK2:", ERROR_FILE_NOT_FOUND, 0, 0, std::nullopt,
                 Lines{"OpenStore DSK2: failed 2"}, 0},
        StoreRow{"NoName", json::object(), u"", ERROR_FILE_NOT_FOUND, 0, 0, std::nullopt,
                 Lines{"OpenStore failed 2"}, 0},
        StoreRow{"StoreAbsent", json{{"store", {{"present", false}}}}, u"DSK1:",
                 ERROR_FILE_NOT_FOUND, 0, 0, std::nullopt, Lines{"OpenStore DSK1: failed 2"}, 0},
        // The store is the flash disk's: without the disk's driver there is no store either.
        StoreRow{"FlashAbsent", json{{"flash", {{"present", false}}}}, u"DSK1:",
                 ERROR_FILE_NOT_FOUND, 0, 0, std::nullopt, Lines{"OpenStore DSK1: failed 2"}, 1},
        StoreRow{"OpenFault", json{{"store", {{"faults", {{{"op", "open"}}}}}}}, u"DSK1:",
                 ERROR_GEN_FAILURE, 0, 0, std::nullopt, Lines{"OpenStore DSK1: failed 31"}, 0},
        StoreRow{"PartitionFault", json{{"store", {{"faults", {{{"op", "partition"}}}}}}}, u"DSK1:",
                 0, ERROR_GEN_FAILURE, 0, std::nullopt,
                 Lines{"OpenStore DSK1: ok", "FindFirstPartition failed 31"}, 0},
        StoreRow{"NoPartition", Partitions(json::array()), u"DSK1:", 0, ERROR_NO_MORE_ITEMS, 0,
                 std::nullopt, Lines{"OpenStore DSK1: ok", "FindFirstPartition failed 259"}, 0},
        // A failed close still ends the search.
        StoreRow{"CloseFault", json{{"store", {{"faults", {{{"op", "close"}}}}}}}, u"DSK1:", 0, 0,
                 ERROR_GEN_FAILURE, kDefault,
                 Lines{"OpenStore DSK1: ok", "FindFirstPartition Part00 ok",
                       "FindClosePartition failed 31"},
                 0},
        StoreRow{
            "OnlyTheFirstPartition",
            Partitions({{{"name", "Part01"}, {"file_system", "FATFS"}, {"sectors", 7}},
                        {{"name", "Part00"}, {"file_system", "BINFS"}, {"sectors", 21952}}}),
            u"DSK1:", 0, 0, 0, Partition{"Part01", "FATFS", 7},
            Lines{"OpenStore DSK1: ok", "FindFirstPartition Part01 ok", "FindClosePartition ok"},
            0},
        StoreRow{"LargestSectorCount",
                 Partitions({{{"name", "Part00"},
                              {"file_system", "BINFS"},
                              {"sectors", 18446744073709551615ULL}}}),
                 u"DSK1:", 0, 0, 0, Partition{"Part00", "BINFS", 18446744073709551615ULL}, kAllWell,
                 0},
        StoreRow{"LongestNamesKeepTheirTerminator",
                 Partitions({{{"name", std::string(31, 'n')},
                              {"file_system", std::string(31, 'f')},
                              {"sectors", 1}}}),
                 u"DSK1:", 0, 0, 0, Partition{std::string(31, 'n'), std::string(31, 'f'), 1},
                 Lines{"OpenStore DSK1: ok", "FindFirstPartition " + std::string(31, 'n') + " ok",
                       "FindClosePartition ok"},
                 0}),
    [](const testing::TestParamInfo<StoreRow> &info) { return std::string(info.param.name); });

// A fault with nth fires on that call only; the calls before and after it succeed.
TEST(StoreFaults, NthCountsTheCallsOfItsOwnOp)
{
    qs_test::TempDevice device(json{
        {"store", {{"faults", {{{"op", "open"}, {"nth", 2}}, {{"op", "close"}, {"nth", 1}}}}}}});
    std::vector<bool> opened;
    for (int i = 0; i < 3; ++i) {
        HANDLE store = OpenStore(u"DSK1:");
        opened.push_back(store != INVALID_HANDLE_VALUE);
        if (store == INVALID_HANDLE_VALUE)
            continue;
        PARTINFO info = {};
        info.cbSize = sizeof(info);
        HANDLE search = FindFirstPartition(store, &info);
        ASSERT_NE(search, INVALID_HANDLE_VALUE);
        FindClosePartition(search);
        CloseHandle(store);
    }
    EXPECT_EQ(opened, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(StoreCalls(device), (Lines{"OpenStore DSK1: ok", "FindFirstPartition Part00 ok",
                                         "FindClosePartition failed 31",
                                         "OpenStore DSK1: failed 31", "OpenStore DSK1: ok",
                                         "FindFirstPartition Part00 ok", "FindClosePartition ok"}));
    EXPECT_EQ(ce_host::Held().handles, 0u);
}

// Calls made with the wrong handle or record are refused and journaled; nothing is taken.
TEST(StoreMisuse, WrongHandlesAndRecordSizesAreRefused)
{
    qs_test::TempDevice device;
    device.PutFile("\\x.txt", "x");
    HANDLE store = OpenStore(u"DSK1:");
    ASSERT_NE(store, INVALID_HANDLE_VALUE);
    HANDLE file = CreateFileW(u"\\x.txt", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);

    struct Refusal {
        const char *what;
        HANDLE handle;
        DWORD cbSize;
        DWORD error;
    };
    for (const Refusal &r :
         {Refusal{"record one byte short", store, 295, ERROR_INVALID_PARAMETER},
          Refusal{"record one byte long", store, 297, ERROR_INVALID_PARAMETER},
          Refusal{"size left at zero", store, 0, ERROR_INVALID_PARAMETER},
          Refusal{"a file handle", file, 296, ERROR_INVALID_HANDLE},
          Refusal{"no handle", INVALID_HANDLE_VALUE, 296, ERROR_INVALID_HANDLE}}) {
        SCOPED_TRACE(r.what);
        PARTINFO info = {};
        info.cbSize = r.cbSize;
        EXPECT_EQ(FindFirstPartition(r.handle, &info), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), r.error);
        EXPECT_EQ(info.szPartitionName[0], 0) << "nothing is filled in";
    }
    EXPECT_EQ(FindFirstPartition(store, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

    PARTINFO info = {};
    info.cbSize = sizeof(info);
    HANDLE search = FindFirstPartition(store, &info);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(FindClosePartition(store)) << "a store is not a partition search";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(search)) << "a partition search has its own close";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(ce_host::Held().handles, 3u);

    EXPECT_TRUE(FindClosePartition(search));
    EXPECT_FALSE(FindClosePartition(search)) << "closed already";
    EXPECT_TRUE(CloseHandle(store));
    EXPECT_FALSE(CloseHandle(store)) << "closed already";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    CloseHandle(file);
    EXPECT_EQ(ce_host::Held().handles, 0u);
    EXPECT_EQ(
        StoreCalls(device),
        (Lines{"OpenStore DSK1: ok", "FindFirstPartition failed 87", "FindFirstPartition failed 87",
               "FindFirstPartition failed 87", "FindFirstPartition failed 6",
               "FindFirstPartition failed 6", "FindFirstPartition failed 87",
               "FindFirstPartition Part00 ok", "FindClosePartition failed 6",
               "FindClosePartition ok", "FindClosePartition failed 6"}));
}

// The record the shell declares, field by field, as the device's 32-bit ABI lays it out.
TEST(PartInfo, FieldsLieAtTheDeviceOffsets)
{
    EXPECT_EQ(sizeof(PARTINFO), 296u);
    EXPECT_EQ(offsetof(PARTINFO, cbSize), 0u);
    EXPECT_EQ(offsetof(PARTINFO, szPartitionName), 4u);
    EXPECT_EQ(offsetof(PARTINFO, szFileSys), 68u);
    EXPECT_EQ(offsetof(PARTINFO, szVolumeName), 132u);
    EXPECT_EQ(offsetof(PARTINFO, snNumSectors), 264u);
    EXPECT_EQ(offsetof(PARTINFO, ftCreated), 272u);
    EXPECT_EQ(offsetof(PARTINFO, dwAttributes), 288u);
    EXPECT_EQ(offsetof(PARTINFO, bPartType), 292u);
}

// Every byte of the filled record: the size, the two names as UTF-16LE with their terminators,
// the sector count little-endian, and zeros everywhere else, whatever the record held before.
TEST(PartInfo, FilledRecordByteForByte)
{
    qs_test::TempDevice device(Partitions(
        {{{"name", "Part00"}, {"file_system", "BINFS"}, {"sectors", 0x0123456789ABCDEFULL}}}));
    HANDLE store = OpenStore(u"DSK1:");
    ASSERT_NE(store, INVALID_HANDLE_VALUE);
    PARTINFO info;
    std::memset(&info, 0xCC, sizeof(info));
    info.cbSize = sizeof(PARTINFO);
    HANDLE search = FindFirstPartition(store, &info);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    FindClosePartition(search);
    CloseHandle(store);

    std::vector<uint8_t> expected(296, 0);
    expected[0] = 0x28;  // 296
    expected[1] = 0x01;
    auto put = [&](size_t offset, const std::string &ascii) {
        for (size_t i = 0; i < ascii.size(); ++i)
            expected[offset + 2 * i] = uint8_t(ascii[i]);
    };
    put(4, "Part00");
    put(68, "BINFS");
    const uint8_t sectors[] = {0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01};
    std::memcpy(&expected[264], sectors, sizeof(sectors));
    const auto *bytes = reinterpret_cast<const uint8_t *>(&info);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + sizeof(info)), expected);
}

}  // namespace
}  // namespace store_test
