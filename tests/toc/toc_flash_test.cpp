// Reading the TOC from sector 320 with its checks, and writing it with read-back verification.
#include "tests/support/flash_fixture.h"
#include "toc/toc.h"

namespace {

using nlohmann::json;
using FlashTest = qs_test::FlashTest;

const SectorInfo kBootArea = {0xFFFFFFFF, 0xFE, 0xFF, 0xFFFF};

class TocFlash : public FlashTest {
protected:
    // Puts a record and its SectorInfo into sector 320, then forgets how it got there.
    void PlaceSector(const TOC &record, const SectorInfo &info)
    {
        NandSetTocFlag(disk_, 1);
        ASSERT_EQ(NandEraseBlock(disk_, TOC_BLOCK), 1u);
        ASSERT_EQ(NandWritePage(disk_, TOC_SECTOR, reinterpret_cast<const BYTE *>(&record), &info),
                  1u);
        NandSetTocFlag(disk_, 0);
        ForgetSetup();
    }

    // The default record with the changes a case makes.
    TOC DefaultRecord()
    {
        TOC_Init();
        TOC record = g_TOC;
        ResetShellState();
        ForgetSetup();
        return record;
    }

    std::vector<std::string> TocFlagWords()
    {
        std::vector<std::string> words;
        for (const std::string &call : Calls())
            if (call.rfind("IOCTL_FMD_SET_TOC_FLAG", 0) == 0)
                words.push_back(call.substr(call.find("in=") + 3));
        return words;
    }
};

struct ReadCase {
    const char *name;
    DWORD signature;
    BYTE oemFlags;
    DWORD ebootVersion;
    std::vector<std::string> log;
    DWORD result;
};

class TocRead : public TocFlash, public testing::WithParamInterface<ReadCase> {};

TEST_P(TocRead, ChecksSignatureThenBootAreaThenVersion)
{
    Open();
    TOC record = DefaultRecord();
    record.dwSignature = GetParam().signature;
    record.ID[0].dwVersion = GetParam().ebootVersion;
    record.ID[3].dwImageType = 0x2A;
    SectorInfo info = kBootArea;
    info.bOemFlags = GetParam().oemFlags;
    PlaceSector(record, info);

    EXPECT_EQ(TOC_Read(disk_), GetParam().result);
    EXPECT_EQ(Log(), GetParam().log);
    // Accepted or refused, g_TOC holds the sector as read.
    EXPECT_EQ(memcmp(&g_TOC, &record, sizeof(TOC)), 0);
    EXPECT_EQ(g_ImageType, GetParam().result ? 0x2Au : 0u);
    EXPECT_EQ(g_pBootCfg, GetParam().result ? &g_TOC.BootCfg : nullptr);
}

const std::string kReadStart = "TOC_Read: 5 \r\n";

INSTANTIATE_TEST_SUITE_P(
    Table, TocRead,
    testing::Values(
        ReadCase{"Accepted",
                 0x434F544E,
                 0xFE,
                 0x20005,
                 {kReadStart, " [QuorShell] g_ImageType: 0x2a \r\n", " - TOC_Read \r\n"},
                 1},
        ReadCase{"WrongSignature",
                 0x12345678,
                 0xFE,
                 0x20005,
                 {kReadStart, "TOC_Read ERROR: INVALID_TOC Signature: 0x12345678\r\n"},
                 0},
        ReadCase{"WrongSignatureAndNotBootArea",
                 0,
                 0xFF,
                 0x20005,
                 {kReadStart, "TOC_Read ERROR: INVALID_TOC Signature: 0x0\r\n"},
                 0},
        ReadCase{"NotBootArea",
                 0x434F544E,
                 0xFD,
                 0x20005,
                 {kReadStart, "TOC_Read ERROR: SectorInfo verify failed: ffffffff fd ff ffff\r\n"},
                 0},
        ReadCase{"NotBootAreaAndOldVersion",
                 0x434F544E,
                 0xFF,
                 0x20004,
                 {kReadStart, "TOC_Read ERROR: SectorInfo verify failed: ffffffff ff ff ffff\r\n"},
                 0},
        ReadCase{"OldVersion",
                 0x434F544E,
                 0xFE,
                 0x20004,
                 {kReadStart,
                  "TOC_Read WARN: Eboot version mismatch: TOC->dwVersion: 0x20004 , Expected: "
                  "0x20005\r\n",
                  "Invalidating TOC for re-initializing.\r\n"},
                 0}),
    [](const testing::TestParamInfo<ReadCase> &info) { return std::string(info.param.name); });

TEST_F(TocFlash, FailedReadLeavesTheRecordInMemoryAlone)
{
    Open(json::parse(R"([{"op": "read", "sector": 320}])"));
    TOC before = DefaultRecord();
    g_TOC = before;
    EXPECT_EQ(TOC_Read(disk_), 0u);
    EXPECT_EQ(Log(),
              (std::vector<std::string>{
                  kReadStart, "[QuorShell]FMD DeviceIoControl IOCTL_FMD_READ_SECTOR fail \r\n",
                  "TOC_Read ERROR: Unable to read TOC\r\n"}));
    EXPECT_EQ(memcmp(&g_TOC, &before, sizeof(TOC)), 0);
}

TEST_F(TocFlash, WriteStoresTheRecordAloneInItsBlock)
{
    Open();
    // Something to be erased: the block held data in a later sector too.
    PlaceSector(DefaultRecord(), kBootArea);
    std::vector<BYTE> stale(NAND_SECTOR_SIZE, 0x3C);
    NandSetTocFlag(disk_, 1);
    ASSERT_EQ(NandWritePage(disk_, TOC_SECTOR + 10, stale.data(), &kBootArea), 1u);
    NandSetTocFlag(disk_, 0);
    TOC_Init();
    memcpy(g_TOC.BootCfg.MacAddress, "\x00\x11\x22\x33\x44\x55", 6);
    ForgetSetup();

    EXPECT_EQ(TOC_Write(disk_), 1u);
    EXPECT_EQ(Log(), (std::vector<std::string>{"+ TOC_Write\r\n", "- TOC_Write\r\n"}));
    EXPECT_EQ(Calls(),
              (std::vector<std::string>{
                  "IOCTL_FMD_SET_TOC_FLAG in=ecac0000", "IOCTL_FMD_ERASE_BLOCK in=05000000",
                  "IOCTL_FMD_SET_SECTOR_ADDR in=40010000", "IOCTL_FMD_WRITE_SECTOR 320+1",
                  "IOCTL_FMD_SET_SECTOR_ADDR in=40010000", "IOCTL_FMD_READ_SECTOR 320+1",
                  "IOCTL_FMD_SET_TOC_FLAG in=00000000"}));
    std::vector<uint8_t> sector = RawSector(TOC_SECTOR);
    EXPECT_EQ(memcmp(sector.data(), &g_TOC, sizeof(TOC)), 0);
    EXPECT_EQ(std::vector<uint8_t>(sector.begin() + 2048, sector.end()),
              (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF}));
    for (uint32_t s = TOC_SECTOR + 1; s < TOC_SECTOR + NAND_SECTORS_PER_BLOCK; ++s)
        EXPECT_EQ(RawSector(s), std::vector<uint8_t>(2056, 0xFF)) << "sector " << s;
    // And it reads back as a TOC the shell accepts.
    EXPECT_EQ(TOC_Read(disk_), 1u);
}

struct Refusal {
    const char *name;
    DWORD tocSignature;
    DWORD imageSignature;
    std::string line;
};

class TocWriteRefusal : public TocFlash, public testing::WithParamInterface<Refusal> {};

TEST_P(TocWriteRefusal, TouchesNeitherFlagNorFlash)
{
    Open();
    TOC_Init();
    g_TOC.dwSignature = GetParam().tocSignature;
    g_TOC.ID[3].dwSignature = GetParam().imageSignature;
    ForgetSetup();
    EXPECT_EQ(TOC_Write(disk_), 0u);
    EXPECT_EQ(Log(), (std::vector<std::string>{"+ TOC_Write\r\n", GetParam().line}));
    EXPECT_TRUE(Calls().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, TocWriteRefusal,
    testing::Values(Refusal{"TocSignature", 0x434F544F, 0x48534643,
                            "TOC_Write ERROR: INVALID_TOC Signature: 0x434f544f\r\n"},
                    Refusal{"ZeroImageSignature", 0x434F544E, 0,
                            "TOC_Write ERROR: INVALID_IMAGE[3] Signature: 0x0\r\n"},
                    Refusal{"BothWrong", 0, 0, "TOC_Write ERROR: INVALID_TOC Signature: 0x0\r\n"}),
    [](const testing::TestParamInfo<Refusal> &info) { return std::string(info.param.name); });

struct WriteFailure {
    const char *name;
    const char *faults;
    std::vector<std::string> lines;  // between "+ TOC_Write" and "- TOC_Write fail "
};

class TocWriteFailure : public TocFlash, public testing::WithParamInterface<WriteFailure> {};

TEST_P(TocWriteFailure, ClearsTheFlagAndReportsOnce)
{
    Open(json::parse(GetParam().faults));
    TOC_Init();
    ForgetSetup();
    EXPECT_EQ(TOC_Write(disk_), 0u);
    std::vector<std::string> expected = {"+ TOC_Write\r\n"};
    expected.insert(expected.end(), GetParam().lines.begin(), GetParam().lines.end());
    expected.push_back("- TOC_Write fail \r\n");
    EXPECT_EQ(Log(), expected);
    EXPECT_EQ(TocFlagWords(), (std::vector<std::string>{"ecac0000", "00000000"}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, TocWriteFailure,
    testing::Values(WriteFailure{"Erase",
                                 R"([{"op": "erase", "block": 5}])",
                                 {"[QuorShell]FMD DeviceIoControl IOCTL_FMD_ERASE_BLOCK fail \r\n",
                                  "TOC_Write ERROR: EraseBlock[5] \r\n"}},
                    WriteFailure{"Write",
                                 R"([{"op": "write", "sector": 320}])",
                                 {"[QuorShell]FMD DeviceIoControl IOCTL_FMD_WRITE_SECTOR fail \r\n",
                                  "TOC_Write ERROR: Unable to save TOC\r\n"}},
                    WriteFailure{"ReadBack",
                                 R"([{"op": "read", "sector": 320}])",
                                 {"[QuorShell]FMD DeviceIoControl IOCTL_FMD_READ_SECTOR fail \r\n",
                                  "TOC_Write ERROR: Unable to read/verify TOC\r\n"}},
                    WriteFailure{"DataDiffers",
                                 R"([{"op": "corrupt", "sector": 320, "offset": 1000}])",
                                 {"TOC_Write ERROR: TOC verify failed\r\n"}},
                    WriteFailure{
                        "SectorInfoDiffers",
                        R"([{"op": "corrupt", "sector": 320, "offset": 2053}])",
                        {"TOC_Write ERROR: SectorInfo verify failed: ffffffff fe ff ffff\r\n"}}),
    [](const testing::TestParamInfo<WriteFailure> &info) { return std::string(info.param.name); });

}  // namespace
