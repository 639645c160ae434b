// files.fail_writes: a write that would take its file past after_bytes fails as on a full disk,
// keeping the bytes below the limit, and each one is journaled as a fault.
#include <gtest/gtest.h>

#include "platform/ce.h"
#include "platform/host/host.h"
#include "tests/support/temp_device.h"

namespace write_fault_test {
namespace {

using nlohmann::json;

constexpr DWORD kDiskFull = 112;

struct Write {
    LONG at;     // file position set before the write
    DWORD size;  // bytes of the pattern from that position
    DWORD written;
    bool ok;
};

struct WriteRow {
    const char *name;
    const char *faultPath;  // as written in device.json
    uint64_t afterBytes;
    const char *existing;  // the file's content before, or null when it is missing
    std::vector<Write> writes;
    std::string after;  // the file's content after
    size_t faults;
};

void PrintTo(const WriteRow &row, std::ostream *out)
{
    *out << row.name;
}

class WriteFaultTable : public testing::TestWithParam<WriteRow> {};

TEST_P(WriteFaultTable, KeepsTheBytesBelowTheLimit)
{
    const WriteRow &row = GetParam();
    qs_test::TempDevice device(
        json{{"files",
              {{"fail_writes", {{{"path", row.faultPath}, {"after_bytes", row.afterBytes}}}}}}});
    device.PutFolder("\\NAND");
    if (row.existing)
        device.PutFile("\\NAND\\M7LITE_0020240315.sys", row.existing);
    HANDLE file = CreateFileW(u"\\NAND\\M7LITE_0020240315.sys", GENERIC_READ | GENERIC_WRITE, 0,
                              NULL, OPEN_ALWAYS, 0, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const std::string pattern = "0123456789abcdef";
    for (const Write &w : row.writes) {
        SCOPED_TRACE("write of " + std::to_string(w.size) + " at " + std::to_string(w.at));
        ASSERT_EQ(SetFilePointer(file, w.at, NULL, FILE_BEGIN), DWORD(w.at));
        SetLastError(0);
        DWORD written = 99;
        EXPECT_EQ(WriteFile(file, pattern.data() + w.at, w.size, &written, NULL) != FALSE, w.ok);
        EXPECT_EQ(written, w.written);
        EXPECT_EQ(GetLastError(), w.ok ? 0u : kDiskFull);
        // The position moves by what was written, as after any short write.
        EXPECT_EQ(SetFilePointer(file, 0, NULL, FILE_CURRENT), DWORD(w.at) + w.written);
    }
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(device.ReadFile("\\NAND\\M7LITE_0020240315.sys"), row.after);
    std::vector<json> faults;
    for (const auto &event : device.EventsOf("fault"))
        faults.push_back(json{{"device", event["device"]}, {"what", event["what"]}});
    json expected = {{"device", "files"},
                     {"what", std::string("write to ") + row.faultPath + " failed past byte " +
                                  std::to_string(row.afterBytes)}};
    EXPECT_EQ(faults, std::vector<json>(row.faults, expected));
}

INSTANTIATE_TEST_SUITE_P(
    Table, WriteFaultTable,
    testing::Values(
        WriteRow{"EndingAtTheLimit",
                 "\\NAND\\M7LITE_0020240315.sys",
                 6,
                 nullptr,
                 {{0, 6, 6, true}},
                 "012345",
                 0},
        WriteRow{"PassingItHalfway",
                 "\\NAND\\M7LITE_0020240315.sys",
                 3,
                 nullptr,
                 {{0, 6, 3, false}},
                 "012",
                 1},
        WriteRow{"AtTheFirstByte",
                 "\\NAND\\M7LITE_0020240315.sys",
                 0,
                 nullptr,
                 {{0, 6, 0, false}},
                 "",
                 1},
        // Every write past the limit fails, not only the first.
        WriteRow{"WritesInPieces",
                 "\\NAND\\M7LITE_0020240315.sys",
                 4,
                 nullptr,
                 {{0, 2, 2, true}, {2, 2, 2, true}, {4, 2, 0, false}, {4, 1, 0, false}},
                 "0123",
                 2},
        WriteRow{"SecondWriteCrossesIt",
                 "\\NAND\\M7LITE_0020240315.sys",
                 5,
                 nullptr,
                 {{0, 4, 4, true}, {4, 4, 1, false}},
                 "01234",
                 1},
        // Bytes already there beyond the limit stay; only the write's end counts.
        WriteRow{"OverALongerFile",
                 "\\NAND\\M7LITE_0020240315.sys",
                 4,
                 "ABCDEFGH",
                 {{0, 4, 4, true}, {2, 4, 2, false}},
                 "0123EFGH",
                 1},
        WriteRow{"StartingBeyondIt",
                 "\\NAND\\M7LITE_0020240315.sys",
                 4,
                 "ABCDEFGH",
                 {{6, 2, 0, false}},
                 "ABCDEFGH",
                 1},
        WriteRow{"PathInOtherCaseAndSlashes",
                 "nand/m7lite_0020240315.SYS",
                 2,
                 nullptr,
                 {{0, 6, 2, false}},
                 "01",
                 1},
        WriteRow{"AnotherFile",
                 "\\NAND\\M7LITE_9999999999.sys",
                 2,
                 nullptr,
                 {{0, 6, 6, true}},
                 "012345",
                 0},
        WriteRow{
            "AnEmptyWrite", "\\NAND\\M7LITE_0020240315.sys", 0, nullptr, {{0, 0, 0, true}}, "", 0}),
    [](const testing::TestParamInfo<WriteRow> &info) { return std::string(info.param.name); });

// A copy writes its destination through the same calls: the full disk stops it too.
TEST(WriteFault, CopyIntoTheFileStopsAtTheLimit)
{
    qs_test::TempDevice device(
        json{{"files", {{"fail_writes", {{{"path", "\\dst.bin"}, {"after_bytes", 70000}}}}}}});
    std::string data(100000, 'd');
    device.PutFile("\\src.bin", data);
    EXPECT_FALSE(CopyFileExW(u"\\src.bin", u"\\dst.bin", NULL, NULL, NULL, 0));
    EXPECT_EQ(GetLastError(), kDiskFull);
    EXPECT_EQ(device.ReadFile("\\dst.bin"), data.substr(0, 70000));
    EXPECT_EQ(ce_host::Held().handles, 0u);
    EXPECT_TRUE(CopyFileExW(u"\\dst.bin", u"\\other.bin", NULL, NULL, NULL, 0))
        << "reading the file and writing elsewhere are not limited";
    EXPECT_EQ(device.EventsOf("fault").size(), 1u);
}

}  // namespace
}  // namespace write_fault_test
