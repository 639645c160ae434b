// The serial number between the TOC on the flash and the name of the system-information file: the
// whole log (tests/golden/shell_sysinfo_NAME.log), which file appears with which bytes, and what
// the TOC block holds afterwards.
#include <sys/resource.h>

#include <array>
#include <csignal>
#include <map>

#include "devkit/toc_record.h"
#include "shell/system_info.h"
#include "tests/support/expect.h"
#include "tests/support/flash_fixture.h"

// Named, so that the area's files can share one unity build.
namespace system_info_test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Serial = std::array<uint8_t, 16>;
using Files = std::map<std::string, std::string>;  // name in \NAND -> content

const devkit::MacAddress kMac = {0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
const std::string kMacBytes = "\x02\x1A\x2B\x3C\x4D\x5E";
// The sector record: the TOC's signature word, then BootCfg with SerialNumber at its offset 44.
constexpr size_t kSerialAt = 4 + 44;
constexpr uint32_t kTocSector = 320;
const Serial kNoSerial = {};
const Serial kSerial2024 = {0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2, 4, 0, 3, 1, 5};
const std::string k2024 = "M7LITE_0020240315.sys";

Serial LastTen(std::array<uint8_t, 10> digits)
{
    Serial serial = {};
    std::copy(digits.begin(), digits.end(), serial.begin() + 6);
    return serial;
}

// Files may not grow while it is in force: the next write of a byte fails as on a full volume.
class NoFileGrowth {
public:
    NoFileGrowth()
    {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = signal(SIGXFSZ, SIG_IGN);
        rlimit none = saved_;
        none.rlim_cur = 0;
        setrlimit(RLIMIT_FSIZE, &none);
    }
    ~NoFileGrowth()
    {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, previous_);
    }

private:
    rlimit saved_{};
    void (*previous_)(int) = nullptr;
};

struct Row {
    const char *name;
    Serial serial;                   // in the factory TOC on the flash
    std::vector<std::string> files;  // in \NAND before the check, each holding "old"
    Files added;                     // in \NAND after it
    std::optional<Serial> written;   // the TOC's serial once rewritten; none: block 5 unchanged
    json device = json::object();
    // A byte of the factory record changed so that TOC_Read refuses it.
    std::optional<std::pair<size_t, uint8_t>> spoiled{};
    bool noFileGrowth = false;
};

// Failures name the row rather than dumping its bytes.
void PrintTo(const Row &row, std::ostream *out)
{
    *out << row.name;
}

class SystemInfo : public qs_test::FlashTest, public testing::WithParamInterface<Row> {};

TEST_P(SystemInfo, LogFileAndTocAsTheTablesSay)
{
    const Row &row = GetParam();
    json description = {{"flash", {{"blocks", 16}}}};
    description.merge_patch(row.device);
    OpenDevice(description);
    device().PutFolder("\\NAND");
    // The factory's record, written through the flash driver onto the erased sector.
    devkit::SectorRecord record = devkit::EncodeFactoryToc(kMac, {});
    std::copy(row.serial.begin(), row.serial.end(), record.begin() + kSerialAt);
    if (row.spoiled)
        record[row.spoiled->first] = row.spoiled->second;
    SectorInfo info;
    memcpy(&info, record.data() + NAND_SECTOR_SIZE, sizeof(info));
    NandSetTocFlag(disk_, 1);
    ASSERT_EQ(NandWritePage(disk_, kTocSector, record.data(), &info), 1u);
    NandSetTocFlag(disk_, 0);
    Files files;
    for (const std::string &name : row.files)
        device().PutFile("\\NAND\\" + name, files[name] = "old");
    KeepBlocks(6);
    ForgetSetup();
    {
        std::optional<NoFileGrowth> limit;
        if (row.noFileGrowth)
            limit.emplace();
        ResetShellState();
        CheckSystemInfo();
    }

    qs_test::ExpectGoldenLog(Log(), std::string("shell_sysinfo_") + row.name);
    files.insert(row.added.begin(), row.added.end());
    Files after;
    for (const auto &entry : fs::directory_iterator(device().Host("\\NAND")))
        after[entry.path().filename()] =
            device().ReadFile("\\NAND\\" + entry.path().filename().string());
    EXPECT_EQ(after, files);
    if (row.written) {
        std::vector<uint8_t> sector = RawSector(kTocSector);
        devkit::TocRecord toc = devkit::DecodeToc(
            std::span<const uint8_t, sim::kSectorRecordSize>(sector.data(), sector.size()));
        EXPECT_FALSE(devkit::TocRefusal(toc).has_value());
        EXPECT_EQ(toc.serialNumber, *row.written);
        // The defaults that replace a refused record carry no MAC address.
        EXPECT_EQ(toc.mac, row.spoiled ? devkit::MacAddress{} : kMac);
    } else {
        ExpectAsBefore(5);
    }
    ExpectNothingLeft();
}

json Faults(const json &fault)
{
    return {{"flash", {{"faults", {fault}}}}};
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, SystemInfo,
    testing::Values(
        // 1: both present, nothing touched, also when the file names another serial.
        Row{"SerialAndFile", kSerial2024, {k2024}, {}, {}},
        Row{"SerialAndFileOfAnotherSerial", kSerial2024, {"M7LITE_9999999999.sys"}, {}, {}},
        // Each byte in lower-case hexadecimal without padding.
        Row{"DumpInLowerCaseHex", {0x00, 0x0F, 0xA0, 0xFF, 0x10, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x3C},
            {"M7LITE_x.sys"}, {}, {}},
        // 2: the file is created, named with the serial, holding the MAC address; other files
        // in \NAND neither count nor change.
        Row{"SerialWithoutFile", kSerial2024, {}, {{k2024, kMacBytes}}, {}},
        Row{"SerialWithUnrelatedFiles", kSerial2024, {"M7LITE.sys", "M7LITE_1.txt", "X7LITE_1.sys"},
            {{k2024, kMacBytes}}, {}},
        // 2: the first six bytes alone make a serial, whose name carries ten "0"; so does one
        // byte.
        Row{"FirstSixBytesOnly", {1, 2, 3, 4, 5, 6}, {}, {{"M7LITE_0000000000.sys", kMacBytes}}, {}},
        Row{"OneByteOnly", LastTen({0, 0, 0, 0, 0, 0, 0, 0, 0, 7}), {},
            {{"M7LITE_0000000007.sys", kMacBytes}}, {}},
        // 2: 11 and 13 become ";" and "=", not letters; 10 to 15 give ":" to "?", a name the
        // file system refuses.
        Row{"BytesElevenAndThirteen", LastTen({11, 13, 11, 13, 0, 1, 2, 3, 4, 5}), {},
            {{"M7LITE_;=;=012345.sys", kMacBytes}}, {}},
        Row{"BytesTenToFifteen", LastTen({10, 11, 12, 13, 14, 15, 0, 1, 2, 3}), {}, {}, {}},
        // 2: the volume is not mounted yet, or the file cannot grow: one line each, the TOC is
        // not touched.
        Row{"NandNotMountedYet", kSerial2024, {}, {}, {},
            {{"files", {{"mount_after_ms", {{"NAND", 5000}}}}}}},
        Row{"WriteFails", kSerial2024, {}, {{k2024, ""}}, {}, json::object(), {}, true},
        // 3: "1", "2", "a", "b" set four bytes; ".sys" sets nothing.
        Row{"NameWithDigitsAndLetters", kNoSerial, {"M7LITE_12ab.sys"}, {},
            LastTen({1, 2, 10, 11, 0, 0, 0, 0, 0, 0})},
        Row{"NameWithUpperCaseLetters", kNoSerial, {"M7LITE_ABCDEF9876.sys"}, {},
            LastTen({10, 11, 12, 13, 14, 15, 9, 8, 7, 6})},
        // 3: letters past "f" and signs set nothing; only ten characters are read.
        Row{"NameWithOtherCharacters", kNoSerial, {"M7LITE_1g2G-x3456789.sys"}, {},
            LastTen({1, 0, 2, 0, 0, 0, 3, 4, 5, 6})},
        // 3: a pattern match in other letter case; the characters after its first "_" count, a
        // lower-case "f" as 15.
        Row{"LowerCaseNameWithTwoUnderscores", kNoSerial, {"m7lite_9_f.SYS"}, {},
            LastTen({9, 0, 15, 0, 0, 0, 0, 0, 0, 0})},
        // 3: ten "0", or a name that does not narrow to single bytes (a euro sign), restore
        // nothing visible; the TOC is written all the same.
        Row{"NameOfZeros", kNoSerial, {"M7LITE_0000000000.sys"}, {}, kNoSerial},
        Row{"NameThatDoesNotNarrow", kNoSerial, {"M7LITE_12\xE2\x82\xAC" "34.sys"}, {}, kNoSerial},
        // 3: the first entry the file system returns is used, in either order it enumerates.
        Row{"FirstOfSeveralByName", kNoSerial,
            {"M7LITE_1111111111.sys", "M7LITE_2222222222.sys", "M7LITE_3333333333.sys"}, {},
            LastTen({1, 1, 1, 1, 1, 1, 1, 1, 1, 1})},
        Row{"FirstOfSeveralInReverse", kNoSerial,
            {"M7LITE_1111111111.sys", "M7LITE_2222222222.sys", "M7LITE_3333333333.sys"}, {},
            LastTen({3, 3, 3, 3, 3, 3, 3, 3, 3, 3}), {{"files", {{"find_order", "reverse"}}}}},
        // 3: a failed TOC write leaves the serial absent on the flash, for the next start.
        Row{"TocWriteFails", kNoSerial, {k2024}, {}, {},
            Faults({{"op", "erase"}, {"block", 5}, {"nth", 1}})},
        // 4: neither.
        Row{"Neither", kNoSerial, {}, {}, {}},
        // A TOC that TOC_Read refuses or cannot read is replaced in memory by the defaults; they
        // reach the flash only together with a serial restored from a file.
        Row{"UnreadableToc", kSerial2024, {}, {}, {}, Faults({{"op", "read"}, {"sector", 320}})},
        Row{"RefusedSignature", kSerial2024, {}, {}, {}, json::object(), {{0, 'X'}}},
        Row{"RefusedSignatureWithFile", kSerial2024, {k2024}, {}, kSerial2024, json::object(),
            {{0, 'X'}}},
        Row{"RefusedEbootVersionWithFile", kSerial2024, {k2024}, {}, kSerial2024, json::object(),
            {{244, 0x06}}},
        // The SectorInfo's OEM flags, bit 0 set: not a boot-area sector.
        Row{"RefusedNotBootArea", kSerial2024, {}, {}, {}, json::object(), {{2048 + 4, 0xFF}}}),
    [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
}  // namespace system_info_test
