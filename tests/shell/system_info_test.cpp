// The serial number between the TOC on the flash and the name of the system-information file:
// what is logged, which file appears with which bytes, and what the TOC sector holds afterwards.
#include <sys/resource.h>

#include <array>
#include <csignal>
#include <fstream>
#include <map>

#include "devkit/toc_record.h"
#include "shell/system_info.h"
#include "tests/support/flash_fixture.h"

// Named, so that the area's files can share one unity build.
namespace system_info_test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Lines = std::vector<std::string>;
using Serial = std::array<uint8_t, 16>;
using Files = std::map<std::string, std::string>;  // name in \NAND -> content

const devkit::MacAddress kMac = {0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
const std::string kMacBytes = "\x02\x1A\x2B\x3C\x4D\x5E";
// The sector record: the TOC's signature word, then BootCfg with SerialNumber at its offset 44.
constexpr size_t kSerialAt = 4 + 44;
constexpr uint32_t kTocSector = 320;

const Serial kNoSerial = {};
const Serial kSerial2024 = {0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2, 4, 0, 3, 1, 5};

const Lines kTocRead = {"TOC_Read: 5 \r\n", " [QuorShell] g_ImageType: 0x8 \r\n",
                        " - TOC_Read \r\n"};
const Lines kTocWritten = {"+ TOC_Write\r\n", "- TOC_Write\r\n"};
const std::string kPresent = "Serial Number is exist in TOC \r\n";
const std::string kAbsent = "Serial Number is not exist in TOC \r\n";
const std::string kCreating = "Sys info is not exist. But SN is exist in TOC \r\n";
const std::string kRestoring = "SN is not exist in TOC. But sys info is exist \r\n";
const std::string kFromFile = "Serial Number from Sys Info File \r\n";
const std::string kNeither = "SN is not exist in TOC. And sys info is not exist either \r\n";
const std::string kCreateFail = "CreateFile Sys Info File fail \r\n";
const std::string kWriteFail = "WriteFile Sys Info File fail \r\n";
const std::string kInitializing =
    "[QuorShell]CheckSystemInfo: TOC_Read fail. So Initialize TOC \r\n";

Lines Join(std::initializer_list<Lines> parts)
{
    Lines all;
    for (const Lines &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The sixteen bytes as the check prints them: one "%x" entry each, then the line's end.
Lines Dump(const std::string &heading, const Serial &serial)
{
    Lines lines = {heading};
    char hex[4];
    for (uint8_t byte : serial) {
        snprintf(hex, sizeof(hex), "%x", byte);
        lines.push_back(hex);
    }
    lines.push_back("\r\n");
    return lines;
}

Lines DeviceSerial(const Serial &serial)
{
    return Dump("Device Serial \r\n", serial);
}

Lines PathLine(const std::string &name)
{
    return {"Sys Info Path \\NAND\\" + name + " \r\n"};
}

class SystemInfo : public qs_test::FlashTest {
protected:
    // A device whose TOC sector holds the factory record with the given serial bytes.
    void MakeDevice(const Serial &serial, const json &deviceJson = json::object())
    {
        json description = {{"flash", {{"blocks", 16}}}};
        description.merge_patch(deviceJson);
        OpenDevice(description);
        device().PutFolder("\\NAND");
        LayToc(WithSerial(devkit::EncodeFactoryToc(kMac, {}), serial));
    }

    static devkit::SectorRecord WithSerial(devkit::SectorRecord record, const Serial &serial)
    {
        std::copy(serial.begin(), serial.end(), record.begin() + kSerialAt);
        return record;
    }

    // Written through the flash driver, as the factory would, onto the erased sector.
    void LayToc(const devkit::SectorRecord &record)
    {
        SectorInfo info;
        memcpy(&info, record.data() + NAND_SECTOR_SIZE, sizeof(info));
        NandSetTocFlag(disk_, 1);
        ASSERT_EQ(NandWritePage(disk_, kTocSector, record.data(), &info), 1u);
        NandSetTocFlag(disk_, 0);
    }

    void PutSysInfo(const std::string &name, const std::string &content = "old")
    {
        device().PutFile("\\NAND\\" + name, content);
    }

    Lines Run()
    {
        ForgetSetup();
        ResetShellState();
        CheckSystemInfo();
        return Log();
    }

    Files NandFiles()
    {
        Files files;
        fs::path nand = device().Host("\\NAND");
        if (fs::exists(nand))
            for (const auto &entry : fs::directory_iterator(nand))
                files[entry.path().filename().string()] =
                    device().ReadFile("\\NAND\\" + entry.path().filename().string());
        return files;
    }

    devkit::TocRecord FlashToc()
    {
        std::vector<uint8_t> sector = RawSector(kTocSector);
        return devkit::DecodeToc(
            std::span<const uint8_t, sim::kSectorRecordSize>(sector.data(), sector.size()));
    }
};

struct CaseRow {
    const char *name;
    Serial serial;    // in the TOC on the flash
    Files before;     // in \NAND
    Lines afterDump;  // what follows the TOC read and the serial dump
    Files after;      // in \NAND
    Serial onFlash;   // the TOC's serial bytes afterwards
    bool tocRewritten;
};

// Failures name the row rather than dumping its bytes.
void PrintTo(const CaseRow &row, std::ostream *out)
{
    *out << row.name;
}

class Cases : public SystemInfo, public testing::WithParamInterface<CaseRow> {};

TEST_P(Cases, LogFileAndTocAsTheTablesSay)
{
    const CaseRow &row = GetParam();
    MakeDevice(row.serial);
    for (const auto &[name, content] : row.before)
        PutSysInfo(name, content);
    KeepBlocks(6);

    EXPECT_EQ(Run(), Join({kTocRead, DeviceSerial(row.serial), row.afterDump}));
    EXPECT_EQ(NandFiles(), row.after);
    devkit::TocRecord toc = FlashToc();
    EXPECT_EQ(toc.serialNumber, row.onFlash);
    EXPECT_EQ(toc.mac, kMac);
    EXPECT_FALSE(devkit::TocRefusal(toc).has_value());
    if (!row.tocRewritten)
        ExpectAsBefore(5);
    ExpectNothingLeft();
}

Serial LastTen(std::array<uint8_t, 10> digits, Serial serial = {})
{
    std::copy(digits.begin(), digits.end(), serial.begin() + 6);
    return serial;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Cases,
    testing::Values(
        // 1: both present, nothing touched.
        CaseRow{"SerialAndFile",
                kSerial2024,
                {{"M7LITE_0020240315.sys", "old"}},
                {kPresent},
                {{"M7LITE_0020240315.sys", "old"}},
                kSerial2024,
                false},
        // 1: a file naming another serial is not told apart.
        CaseRow{"SerialAndFileOfAnotherSerial",
                kSerial2024,
                {{"M7LITE_9999999999.sys", "x"}},
                {kPresent},
                {{"M7LITE_9999999999.sys", "x"}},
                kSerial2024,
                false},
        // 2: the file is created, named with the serial, holding the MAC address.
        CaseRow{"SerialWithoutFile",
                kSerial2024,
                {},
                Join({{kPresent, kCreating}, PathLine("M7LITE_0020240315.sys")}),
                {{"M7LITE_0020240315.sys", kMacBytes}},
                kSerial2024,
                false},
        // 2: other files in \NAND neither count nor change.
        CaseRow{"SerialWithUnrelatedFiles",
                kSerial2024,
                {{"M7LITE.sys", "a"}, {"M7LITE_1.txt", "b"}, {"X7LITE_1.sys", "c"}},
                Join({{kPresent, kCreating}, PathLine("M7LITE_0020240315.sys")}),
                {{"M7LITE.sys", "a"},
                 {"M7LITE_1.txt", "b"},
                 {"X7LITE_1.sys", "c"},
                 {"M7LITE_0020240315.sys", kMacBytes}},
                kSerial2024,
                false},
        // 2: the first six bytes alone make a serial; its name carries ten "0".
        CaseRow{"FirstSixBytesOnly",
                {1, 2, 3, 4, 5, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                {},
                Join({{kPresent, kCreating}, PathLine("M7LITE_0000000000.sys")}),
                {{"M7LITE_0000000000.sys", kMacBytes}},
                {1, 2, 3, 4, 5, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                false},
        // 2: one nonzero byte is enough.
        CaseRow{"OneByteOnly",
                {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7},
                {},
                Join({{kPresent, kCreating}, PathLine("M7LITE_0000000007.sys")}),
                {{"M7LITE_0000000007.sys", kMacBytes}},
                {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7},
                false},
        // 2: 11 and 13 become ";" and "=", not letters.
        CaseRow{"BytesElevenAndThirteen",
                LastTen({11, 13, 11, 13, 0, 1, 2, 3, 4, 5}),
                {},
                Join({{kPresent, kCreating}, PathLine("M7LITE_;=;=012345.sys")}),
                {{"M7LITE_;=;=012345.sys", kMacBytes}},
                LastTen({11, 13, 11, 13, 0, 1, 2, 3, 4, 5}),
                false},
        // 2: 10 to 15 give ":" to "?", a name the file system refuses.
        CaseRow{"BytesTenToFifteen",
                LastTen({10, 11, 12, 13, 14, 15, 0, 1, 2, 3}),
                {},
                Join({{kPresent, kCreating}, PathLine("M7LITE_:;<=>?0123.sys"), {kCreateFail}}),
                {},
                LastTen({10, 11, 12, 13, 14, 15, 0, 1, 2, 3}),
                false},
        // 3: "1", "2", "a", "b" set four bytes; ".sys" sets nothing.
        CaseRow{"NameWithDigitsAndLetters",
                kNoSerial,
                {{"M7LITE_12ab.sys", "m"}},
                Join({{kAbsent, kRestoring},
                      Dump(kFromFile, LastTen({1, 2, 10, 11, 0, 0, 0, 0, 0, 0})),
                      kTocWritten,
                      kTocRead}),
                {{"M7LITE_12ab.sys", "m"}},
                LastTen({1, 2, 10, 11, 0, 0, 0, 0, 0, 0}),
                true},
        // 3: upper-case letters count as lower-case ones.
        CaseRow{"NameWithUpperCaseLetters",
                kNoSerial,
                {{"M7LITE_ABCDEF9876.sys", ""}},
                Join({{kAbsent, kRestoring},
                      Dump(kFromFile, LastTen({10, 11, 12, 13, 14, 15, 9, 8, 7, 6})),
                      kTocWritten,
                      kTocRead}),
                {{"M7LITE_ABCDEF9876.sys", ""}},
                LastTen({10, 11, 12, 13, 14, 15, 9, 8, 7, 6}),
                true},
        // 3: letters past "f" and signs set nothing; only ten characters are read.
        CaseRow{"NameWithOtherCharacters",
                kNoSerial,
                {{"M7LITE_1g2G-x3456789.sys", ""}},
                Join({{kAbsent, kRestoring},
                      Dump(kFromFile, LastTen({1, 0, 2, 0, 0, 0, 3, 4, 5, 6})),
                      kTocWritten,
                      kTocRead}),
                {{"M7LITE_1g2G-x3456789.sys", ""}},
                LastTen({1, 0, 2, 0, 0, 0, 3, 4, 5, 6}),
                true},
        // 3: a pattern match in other letter case; the characters after its first "_" count.
        CaseRow{"LowerCaseNameWithTwoUnderscores",
                kNoSerial,
                {{"m7lite_9_8.SYS", ""}},
                Join({{kAbsent, kRestoring},
                      Dump(kFromFile, LastTen({9, 0, 8, 0, 0, 0, 0, 0, 0, 0})),
                      kTocWritten,
                      kTocRead}),
                {{"m7lite_9_8.SYS", ""}},
                LastTen({9, 0, 8, 0, 0, 0, 0, 0, 0, 0}),
                true},
        // 3: ten "0" restore nothing visible; the TOC is written all the same.
        CaseRow{"NameOfZeros",
                kNoSerial,
                {{"M7LITE_0000000000.sys", ""}},
                Join({{kAbsent, kRestoring}, Dump(kFromFile, kNoSerial), kTocWritten, kTocRead}),
                {{"M7LITE_0000000000.sys", ""}},
                kNoSerial,
                true},
        // 4: neither.
        CaseRow{"Neither", kNoSerial, {}, {kAbsent, kNeither}, {}, kNoSerial, false}),
    [](const testing::TestParamInfo<CaseRow> &info) { return std::string(info.param.name); });

TEST_F(SystemInfo, DumpsEachSerialByteInLowerCaseHexWithoutPadding)
{
    MakeDevice({0x00, 0x0F, 0xA0, 0xFF, 0x10, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x3C});
    PutSysInfo("M7LITE_x.sys");
    Lines log = Run();
    ASSERT_GE(log.size(), 21u);
    EXPECT_EQ(Lines(log.begin() + 3, log.begin() + 21),
              (Lines{"Device Serial \r\n", "0", "f", "a0", "ff", "10", "1", "0", "0", "0", "0", "0",
                     "0", "0", "0", "0", "3c", "\r\n"}));
}

// The name's characters go back into the TOC; a serial of all zero is taken on every start.
TEST_F(SystemInfo, ZeroNameIsRestoredOnEveryStart)
{
    MakeDevice(kNoSerial);
    PutSysInfo("M7LITE_0000000000.sys");
    for (int start = 0; start < 2; ++start) {
        Lines log = Run();
        EXPECT_NE(std::find(log.begin(), log.end(), kRestoring), log.end()) << "start " << start;
        EXPECT_EQ(FlashToc().serialNumber, kNoSerial);
    }
}

// Once restored, the serial is on the flash: the next start finds both and does nothing more.
TEST_F(SystemInfo, RestoredSerialHoldsOnTheNextStart)
{
    MakeDevice(kNoSerial);
    PutSysInfo("M7LITE_0020240315.sys", "mac");
    Run();
    EXPECT_EQ(FlashToc().serialNumber, kSerial2024);
    EXPECT_EQ(Run(), Join({kTocRead, DeviceSerial(kSerial2024), {kPresent}}));
    EXPECT_EQ(NandFiles(), (Files{{"M7LITE_0020240315.sys", "mac"}}));
}

// The first entry the file system returns is the one used, in either order it enumerates.
struct OrderRow {
    const char *order;
    Serial restored;
};

class SeveralFiles : public SystemInfo, public testing::WithParamInterface<OrderRow> {};

TEST_P(SeveralFiles, FirstEnumeratedNameWins)
{
    MakeDevice(kNoSerial, {{"files", {{"find_order", GetParam().order}}}});
    PutSysInfo("M7LITE_1111111111.sys");
    PutSysInfo("M7LITE_2222222222.sys");
    PutSysInfo("M7LITE_3333333333.sys");
    Run();
    EXPECT_EQ(FlashToc().serialNumber, GetParam().restored);
    ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(
    Table, SeveralFiles,
    testing::Values(OrderRow{"name", LastTen({1, 1, 1, 1, 1, 1, 1, 1, 1, 1})},
                    OrderRow{"reverse", LastTen({3, 3, 3, 3, 3, 3, 3, 3, 3, 3})}),
    [](const testing::TestParamInfo<OrderRow> &info) { return std::string(info.param.order); });

// A TOC that TOC_Read refuses is replaced in memory by the defaults; they reach the flash only
// together with a serial restored from a file.
struct RefusedRow {
    const char *name;
    size_t offset;  // of the byte changed in the factory record
    uint8_t value;
    std::string refusal;  // TOC_Read's line
};

class RefusedToc : public SystemInfo, public testing::WithParamInterface<RefusedRow> {
protected:
    devkit::SectorRecord Refused()
    {
        devkit::SectorRecord record = WithSerial(devkit::EncodeFactoryToc(kMac, {}), kSerial2024);
        record[GetParam().offset] = GetParam().value;
        return record;
    }

    void MakeRefusedDevice()
    {
        OpenDevice({{"flash", {{"blocks", 16}}}});
        device().PutFolder("\\NAND");
        LayToc(Refused());
    }

    // The lines up to the dump: the refusal and the switch to the defaults.
    void ExpectRefusedThenDefaults(const Lines &log)
    {
        ASSERT_GE(log.size(), 4u);
        EXPECT_EQ(log[0], "TOC_Read: 5 \r\n");
        EXPECT_EQ(log[1], GetParam().refusal);
        auto init = std::find(log.begin(), log.end(), kInitializing);
        ASSERT_NE(init, log.end());
        EXPECT_EQ(*(init + 1), "+BootConfigInit\r\n");
        auto dump = std::find(log.begin(), log.end(), "Device Serial \r\n");
        ASSERT_NE(dump, log.end());
        EXPECT_EQ(Lines(dump, dump + 18), DeviceSerial(kNoSerial));
        EXPECT_EQ(*(dump + 18), kAbsent);
    }
};

TEST_P(RefusedToc, WithoutFileTheFlashKeepsTheRefusedRecord)
{
    MakeRefusedDevice();
    KeepBlocks(6);
    Lines log = Run();
    ExpectRefusedThenDefaults(log);
    EXPECT_EQ(log.back(), kNeither);
    ExpectAsBefore(5);
    EXPECT_EQ(NandFiles(), Files{});
    ExpectNothingLeft();
}

TEST_P(RefusedToc, WithFileTheDefaultsAreWrittenWithTheSerial)
{
    MakeRefusedDevice();
    PutSysInfo("M7LITE_0020240315.sys");
    Lines log = Run();
    ExpectRefusedThenDefaults(log);
    EXPECT_EQ(Lines(log.end() - 25, log.end()),
              Join({{kAbsent, kRestoring}, Dump(kFromFile, kSerial2024), kTocWritten, kTocRead}));
    devkit::TocRecord toc = FlashToc();
    EXPECT_FALSE(devkit::TocRefusal(toc).has_value());
    EXPECT_EQ(toc.serialNumber, kSerial2024);
    EXPECT_EQ(toc.mac, devkit::MacAddress{});  // the defaults carry no MAC address
    EXPECT_EQ(toc.bootCfgId, 0x07020317u);
    EXPECT_EQ(toc.images[3].name, "nk.bin");
    ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedToc,
    testing::Values(
        RefusedRow{"Signature", 0, 'X', "TOC_Read ERROR: INVALID_TOC Signature: 0x434f5458\r\n"},
        RefusedRow{"EbootVersion", 244, 0x06,
                   "TOC_Read WARN: Eboot version mismatch: TOC->dwVersion: 0x20006 , Expected: "
                   "0x20005\r\n"},
        // The SectorInfo's OEM flags, bit 0 set: not a boot-area sector.
        RefusedRow{"NotBootArea", 2048 + 4, 0xFF,
                   "TOC_Read ERROR: SectorInfo verify failed: ffffffff ff ff ffff\r\n"}),
    [](const testing::TestParamInfo<RefusedRow> &info) { return std::string(info.param.name); });

TEST_F(SystemInfo, UnreadableTocIsReplacedByTheDefaults)
{
    MakeDevice(kSerial2024, {{"flash", {{"faults", {{{"op", "read"}, {"sector", 320}}}}}}});
    Lines log = Run();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(
        Lines(log.begin(), log.begin() + 4),
        (Lines{"TOC_Read: 5 \r\n", "[QuorShell]FMD DeviceIoControl IOCTL_FMD_READ_SECTOR fail \r\n",
               "TOC_Read ERROR: Unable to read TOC\r\n", kInitializing}));
    EXPECT_EQ(log.back(), kNeither);
    EXPECT_EQ(NandFiles(), Files{});
    ExpectNothingLeft();
}

// A TOC write that fails leaves the serial absent on the flash: the next start restores it again.
TEST_F(SystemInfo, FailedTocWriteIsRetriedOnTheNextStart)
{
    MakeDevice(kNoSerial, {{"flash", {{"faults", {{{"op", "erase"}, {"block", 5}, {"nth", 1}}}}}}});
    PutSysInfo("M7LITE_0020240315.sys");
    Lines log = Run();
    EXPECT_EQ(
        Lines(log.end() - 7, log.end()),
        Join({{"+ TOC_Write\r\n", "[QuorShell]FMD DeviceIoControl IOCTL_FMD_ERASE_BLOCK fail \r\n",
               "TOC_Write ERROR: EraseBlock[5] \r\n", "- TOC_Write fail \r\n"},
              kTocRead}));
    EXPECT_EQ(FlashToc().serialNumber, kNoSerial);
    ExpectNothingLeft();

    log = Run();
    EXPECT_NE(std::find(log.begin(), log.end(), kRestoring), log.end());
    EXPECT_EQ(FlashToc().serialNumber, kSerial2024);
}

// A NAND volume that is not mounted yet: the file cannot be created, the TOC is not touched.
TEST_F(SystemInfo, CreationFailureLogsOneLineAndTheNextStartTriesAgain)
{
    MakeDevice(kSerial2024, {{"files", {{"mount_after_ms", {{"NAND", 5000}}}}}});
    KeepBlocks(6);
    EXPECT_EQ(Run(),
              Join({kTocRead,
                    DeviceSerial(kSerial2024),
                    {kPresent, kCreating, PathLine("M7LITE_0020240315.sys")[0], kCreateFail}}));
    ExpectAsBefore(5);
    ExpectNothingLeft();

    Sleep(5000);
    Lines log = Run();
    EXPECT_EQ(log.back(), PathLine("M7LITE_0020240315.sys")[0]);
    EXPECT_EQ(NandFiles(), (Files{{"M7LITE_0020240315.sys", kMacBytes}}));
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

// The file is opened but the MAC address cannot be written: one line, an empty file, and the
// TOC untouched.
TEST_F(SystemInfo, WriteFailureLogsOneLine)
{
    MakeDevice(kSerial2024);
    KeepBlocks(6);
    ForgetSetup();
    {
        NoFileGrowth limit;
        ResetShellState();
        CheckSystemInfo();
    }
    EXPECT_EQ(Log(),
              Join({kTocRead,
                    DeviceSerial(kSerial2024),
                    {kPresent, kCreating, PathLine("M7LITE_0020240315.sys")[0], kWriteFail}}));
    EXPECT_EQ(NandFiles(), (Files{{"M7LITE_0020240315.sys", ""}}));
    ExpectAsBefore(5);
    ExpectNothingLeft();
}

// A name that does not narrow to single bytes restores nothing.
TEST_F(SystemInfo, NameThatDoesNotNarrowRestoresNothing)
{
    MakeDevice(kNoSerial);
    PutSysInfo(
        "M7LITE_12\xE2\x82\xAC"
        "34.sys");  // a euro sign between the digits
    Lines log = Run();
    auto restored = std::find(log.begin(), log.end(), kFromFile);
    ASSERT_NE(restored, log.end());
    EXPECT_EQ(Lines(restored, restored + 18), Dump(kFromFile, kNoSerial));
    EXPECT_EQ(FlashToc().serialNumber, kNoSerial);
    ExpectNothingLeft();
}

}  // namespace
}  // namespace system_info_test
