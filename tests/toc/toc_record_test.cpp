// The TOC record's defaults at their byte offsets, its signatures and its dump.
#include <map>

#include "tests/support/flash_fixture.h"
#include "toc/toc.h"

namespace {

using FlashTest = qs_test::FlashTest;

uint32_t WordAt(const BYTE *record, size_t offset)
{
    return record[offset] | record[offset + 1] << 8 | record[offset + 2] << 16 |
           uint32_t(record[offset + 3]) << 24;
}

TEST_F(FlashTest, InitLaysEveryDefaultAtItsOffset)
{
    Open();
    memset(&g_TOC, 0xA5, sizeof(g_TOC));  // whatever was there before goes
    EXPECT_EQ(TOC_Init(), 1u);
    const BYTE *record = reinterpret_cast<const BYTE *>(&g_TOC);

    // Offset of each nonzero word of the defaults; every other byte of the 2048 is zero.
    const std::map<size_t, uint32_t> words = {{0, 0x434F544E},
                                              {4, 0x07020317},
                                              {8, 0x2020},
                                              {28, 5},
                                              {80, 1},
                                              {88, 1},
                                              {92, 1},
                                              {244, 0x20005},
                                              {248, 0x544F4245},
                                              {512, 1},
                                              {516, 0x100},
                                              {520, 0x87700000},
                                              {524, 0x87700000},
                                              {640, 1},
                                              {1444, 1},
                                              {1448, 0x48534643},
                                              {1712, 8},
                                              {1716, 0x6000},
                                              {1720, 0x80020000},
                                              {1724, 0x80020000}};
    const std::map<size_t, std::string> strings = {{252, "eboot.bin"}, {1452, "nk.bin"}};
    std::vector<bool> expectedNonzero(sizeof(TOC), false);
    for (const auto &[offset, value] : words) {
        EXPECT_EQ(WordAt(record, offset), value) << "word at " << offset;
        for (size_t i = 0; i < 4; ++i)
            expectedNonzero[offset + i] = true;
    }
    for (const auto &[offset, text] : strings) {
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(record + offset)), text);
        for (size_t i = 0; i < text.size(); ++i)
            expectedNonzero[offset + i] = true;
    }
    for (size_t i = 0; i < sizeof(TOC); ++i) {
        if (!expectedNonzero[i]) {
            EXPECT_EQ(record[i], 0) << "byte " << i;
        }
    }
    EXPECT_EQ(g_pBootCfg, &g_TOC.BootCfg);
    EXPECT_EQ(TOC_Init(), 1u);
}

TEST_F(FlashTest, DumpShowsTheRecordLineByLine)
{
    Open();
    TOC_Init();
    memcpy(g_TOC.BootCfg.MacAddress, "\x00\x11\x22\x33\x44\x55", 6);
    ForgetSetup();
    TOC_Print();
    std::vector<std::string> expected = {"TOC {\r\n",
                                         "dwSignature: 0x434f544e\r\n",
                                         "BootCfg\r\n",
                                         "{\r\n",
                                         "  ConfigFlags: 0x2020\r\n",
                                         "  dwBootDelay: 0x5\r\n",
                                         "  MAC Address: B:B:B:B:B:B\r\n",
                                         "}\r\n"};
    struct Descriptor {
        const char *version, *signature, *string, *type, *sectors, *address, *store;
    };
    const Descriptor descriptors[] = {
        {"0x20005", "0x544F4245", "eboot.bin", "0x1", "0x100", "0x87700000", "0x1"},
        {"0x0", "0x0", "", "0x0", "0x0", "0x0", "0x0"},
        {"0x0", "0x0", "", "0x0", "0x0", "0x0", "0x0"},
        {"0x1", "0x48534643", "nk.bin", "0x8", "0x6000", "0x80020000", "0x0"}};
    for (int k = 0; k < 4; ++k) {
        const Descriptor &d = descriptors[k];
        for (std::string line :
             {"ID[" + std::to_string(k) + "]", std::string("{"),
              std::string("  dwVersion: ") + d.version,
              std::string("  dwSignature: ") + d.signature, std::string("  String: ") + d.string,
              std::string("  dwImageType: ") + d.type, std::string("  dwTtlSectors: ") + d.sectors,
              std::string("  dwLoadAddress: ") + d.address,
              std::string("  dwJumpAddress: ") + d.address,
              std::string("  dwStoreOffset: ") + d.store, std::string("}")})
            expected.push_back(line + "\r\n");
    }
    EXPECT_EQ(Log(), expected);  // "TOC {" stays unclosed
}

TEST_F(FlashTest, DumpStopsAStringAtItsField)
{
    Open();
    TOC_Init();
    memset(g_TOC.ID[3].String, 'x', sizeof(g_TOC.ID[3].String));  // no terminator
    ForgetSetup();
    TOC_Print();
    EXPECT_EQ(Log()[8 + 11 * 3 + 4], "  String: " + std::string(260, 'x') + "\r\n");
}

TEST(ImageSignature, ValidOnlyForTheThreeKnownOnes)
{
    IMAGE_DESCRIPTOR descriptor = {};
    const std::pair<DWORD, DWORD> cases[] = {{0x544F4245, 1}, {0x48534643, 1}, {0x5049584D, 1},
                                             {0, 0},          {0x434F544E, 0}, {0x544F4246, 0}};
    for (const auto &[signature, valid] : cases) {
        descriptor.dwSignature = signature;
        EXPECT_EQ(IsValidImageSignature(&descriptor), valid) << std::hex << signature;
    }
    EXPECT_EQ(IsValidImageSignature(NULL), 0u);
}

}  // namespace
