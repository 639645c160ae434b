// The TOC record's defaults, signatures and dump; reading it from sector 320 with its checks and
// writing it with read-back verification. Logs, codes and records against tests/golden/toc_*.log.
#include "tests/support/expect.h"
#include "tests/support/flash_fixture.h"
#include "toc/toc.h"

namespace {

using nlohmann::json;
using qs_test::Lines;

const SectorInfo kBootArea = {0xFFFFFFFF, 0xFE, 0xFF, 0xFFFF};

class Toc : public qs_test::FlashTest {
protected:
    void Reopen(const char *faults = "[]")
    {
        Close();
        device_.reset();  // detached before the next one attaches
        Open(json::parse(faults));
        ForgetSetup();
    }

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

    static TOC DefaultRecord()
    {
        TOC_Init();
        TOC record = g_TOC;
        ResetShellState();
        return record;
    }

    // The transcript so far and a line of what the operation left, starting afresh.
    void Note(const std::string &what)
    {
        Lines lines = qs_test::Transcript();
        seen_.insert(seen_.end(), lines.begin(), lines.end());
        seen_.push_back(what + "\r\n");
        ForgetSetup();
    }

    Lines seen_;
};

// Every 16 bytes of the defaults that are not all zero, as hex, then the dump of the record.
TEST_F(Toc, DefaultsAndTheirDump)
{
    Open();
    memset(&g_TOC, 0xA5, sizeof(g_TOC));  // whatever was there before goes
    EXPECT_EQ(TOC_Init(), 1u);
    EXPECT_EQ(g_pBootCfg, &g_TOC.BootCfg);
    const BYTE *record = reinterpret_cast<const BYTE *>(&g_TOC);
    for (size_t row = 0; row < sizeof(TOC); row += 16) {
        std::string hex;
        for (size_t i = row; i < row + 16; ++i)
            hex += " " + std::string(record[i] < 16 ? "0" : "") + qs_test::Hex(record[i]);
        if (std::any_of(record + row, record + row + 16, [](BYTE b) { return b != 0; }))
            seen_.push_back(qs_test::Hex(row) + ":" + hex + "\r\n");
    }
    memcpy(g_TOC.BootCfg.MacAddress, "\x00\x11\x22\x33\x44\x55", 6);
    ForgetSetup();
    TOC_Print();
    Note("dumped");  // "TOC {" stays unclosed
    // A string without its terminator stops at its field.
    memset(g_TOC.ID[3].String, 'x', sizeof(g_TOC.ID[3].String));
    TOC_Print();
    Lines dump = qs_test::Transcript();
    EXPECT_EQ(dump.at(8 + 11 * 3 + 4), "  String: " + std::string(260, 'x') + "\r\n");
    qs_test::ExpectGoldenLog(seen_, "toc_defaults");
}

TEST(ImageSignature, ValidOnlyForTheThreeKnownOnes)
{
    IMAGE_DESCRIPTOR descriptor = {};
    for (auto [signature, valid] : {std::pair<DWORD, DWORD>{0x544F4245, 1},
                                    {0x48534643, 1},
                                    {0x5049584D, 1},
                                    {0, 0},
                                    {0x434F544E, 0},
                                    {0x544F4246, 0}}) {
        descriptor.dwSignature = signature;
        EXPECT_EQ(IsValidImageSignature(&descriptor), valid) << std::hex << signature;
    }
    EXPECT_EQ(IsValidImageSignature(NULL), 0u);
}

// Signature, then the boot-area bit, then the EBoot version; accepted or refused, g_TOC holds the
// sector as read, unless the sector cannot be read at all.
TEST_F(Toc, ReadChecksSignatureThenBootAreaThenVersion)
{
    struct Row {
        const char *name;
        DWORD signature;
        BYTE oemFlags;
        DWORD ebootVersion;
        const char *faults = "[]";
    };
    for (const Row &row :
         {Row{"Accepted", 0x434F544E, 0xFE, 0x20005},
          Row{"WrongSignature", 0x12345678, 0xFE, 0x20005},
          Row{"WrongSignatureAndNotBootArea", 0, 0xFF, 0x20005},
          Row{"NotBootArea", 0x434F544E, 0xFD, 0x20005},
          Row{"NotBootAreaAndOldVersion", 0x434F544E, 0xFF, 0x20004},
          Row{"OldVersion", 0x434F544E, 0xFE, 0x20004},
          Row{"Unreadable", 0x434F544E, 0xFE, 0x20005, R"([{"op": "read", "sector": 320}])"}}) {
        seen_.push_back(std::string("== ") + row.name + "\r\n");
        Reopen(row.faults);
        TOC record = DefaultRecord(), before = record;
        record.dwSignature = row.signature;
        record.ID[0].dwVersion = row.ebootVersion;
        record.ID[3].dwImageType = 0x2A;
        SectorInfo info = kBootArea;
        info.bOemFlags = row.oemFlags;
        PlaceSector(record, info);
        g_TOC = before;

        DWORD result = TOC_Read(disk_);
        Note("result " + std::to_string(result) + ", g_TOC " +
             (memcmp(&g_TOC, &record, sizeof(TOC)) == 0   ? "as read"
              : memcmp(&g_TOC, &before, sizeof(TOC)) == 0 ? "as before"
                                                          : "changed") +
             ", g_ImageType 0x" + qs_test::Hex(g_ImageType) + ", g_pBootCfg " +
             (g_pBootCfg == &g_TOC.BootCfg ? "set"
              : g_pBootCfg                 ? "elsewhere"
                                           : "none"));
    }
    qs_test::ExpectGoldenLog(seen_, "toc_read");
}

// A refused record touches neither flag nor flash; a failing step clears the flag and reports
// once; a stored record stands alone in its block and reads back as a TOC the shell accepts.
TEST_F(Toc, WriteRefusesFailsOrStoresTheRecordAlone)
{
    struct Row {
        const char *name;
        const char *faults = "[]";
        DWORD tocSignature = 0x434F544E, imageSignature = 0x48534643;
    };
    for (const Row &row :
         {Row{"Stored"}, Row{"TocSignature", "[]", 0x434F544F},
          Row{"ZeroImageSignature", "[]", 0x434F544E, 0}, Row{"BothSignaturesWrong", "[]", 0, 0},
          Row{"EraseFails", R"([{"op": "erase", "block": 5}])"},
          Row{"WriteFails", R"([{"op": "write", "sector": 320}])"},
          Row{"ReadBackFails", R"([{"op": "read", "sector": 320}])"},
          Row{"DataDiffers", R"([{"op": "corrupt", "sector": 320, "offset": 1000}])"},
          Row{"SectorInfoDiffers", R"([{"op": "corrupt", "sector": 320, "offset": 2053}])"}}) {
        seen_.push_back(std::string("== ") + row.name + "\r\n");
        Reopen(row.faults);
        // Something to be erased: the block held data in a later sector too.
        std::vector<BYTE> stale(NAND_SECTOR_SIZE, 0x3C);
        NandSetTocFlag(disk_, 1);
        ASSERT_EQ(NandWritePage(disk_, TOC_SECTOR + 10, stale.data(), &kBootArea), 1u);
        NandSetTocFlag(disk_, 0);
        KeepBlocks(TOC_BLOCK + 1);
        TOC_Init();
        memcpy(g_TOC.BootCfg.MacAddress, "\x00\x11\x22\x33\x44\x55", 6);
        g_TOC.dwSignature = row.tocSignature;
        g_TOC.ID[3].dwSignature = row.imageSignature;
        ForgetSetup();

        DWORD result = TOC_Write(disk_);
        std::vector<uint8_t> block = RawBlock(TOC_BLOCK), alone(block.size(), 0xFF);
        memcpy(alone.data(), &g_TOC, sizeof(TOC));
        memcpy(alone.data() + NAND_SECTOR_SIZE, &kBootArea, sizeof(SectorInfo));
        Note("result " + std::to_string(result) + ", block 5 " +
             (block == kept_[TOC_BLOCK] ? "as before"
              : block == alone          ? "holds the record alone with a boot-area SectorInfo"
                                        : "changed"));
        if (result)
            Note("read back " + std::to_string(TOC_Read(disk_)));
    }
    qs_test::ExpectGoldenLog(seen_, "toc_write");
    ExpectNothingLeft();
}

}  // namespace
