// The shell's flash operations: what they send to DSK1:, in what order, and what lands on flash.
#include "nand/fmd.h"
#include "tests/support/flash_fixture.h"

namespace {

using nlohmann::json;
using FlashTest = qs_test::FlashTest;

// A block's worth of data whose bytes tell their offset apart.
std::vector<BYTE> Pattern(size_t size, BYTE seed)
{
    std::vector<BYTE> data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = BYTE(i * 7 + seed + i / 2048);
    return data;
}

std::vector<SectorInfo> NumberedInfo()
{
    std::vector<SectorInfo> info(NAND_SECTORS_PER_BLOCK);
    for (DWORD n = 0; n < NAND_SECTORS_PER_BLOCK; ++n)
        info[n] = SectorInfo{n, 0xFF, 0xFF, WORD(0x100 + n)};
    return info;
}

TEST_F(FlashTest, ReadPageSetsTheAddressThenReadsOneSector)
{
    Open();
    BYTE data[NAND_SECTOR_SIZE];
    SectorInfo info;
    ASSERT_EQ(NandReadPage(disk_, 320, data, &info), 1u);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"IOCTL_FMD_SET_SECTOR_ADDR in=40010000",
                                                 "IOCTL_FMD_READ_SECTOR 320+1"}));
    EXPECT_EQ(data[0], 0xFF);
    EXPECT_EQ(info.dwReserved, 0xFFFFFFFFu);
    // Neither buffer given: the sector is read all the same.
    ASSERT_EQ(NandReadPage(disk_, 7, NULL, NULL), 1u);
    EXPECT_EQ(Calls().back(), "IOCTL_FMD_READ_SECTOR 7+1");
}

TEST_F(FlashTest, StepLoaderBlockTakesEightSectorsAndItsChecksum)
{
    Open();
    // Byte i of the block is (i * 7 + 1 + i / 2048) mod 256. Summed once, outside this code:
    // bytes 16 to 16383 add up to 0x1fdca8; the words at 0, 4 and 12 are the bytes 01 08 0f 16,
    // 1d 24 2b 32 and 55 5c 63 6a, little-endian.
    std::vector<BYTE> image = Pattern(NAND_BLOCK_SIZE, 1);
    std::vector<SectorInfo> info = NumberedInfo();
    ASSERT_EQ(NandSetEbootFlag(disk_, 1), 1u);
    ForgetSetup();

    ASSERT_EQ(NandWriteBlock(disk_, 0, image.data(), info.data()), 1u);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"IOCTL_FMD_SET_SECTOR_ADDR in=00000000",
                                                 "IOCTL_FMD_WRITE_SECTOR 0+8"}));
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "Checksum = 1fdca8,  header = 160f0801 322b241d 1fdca8 6a635c55\r\n",
                         "OSUPDATE NandWriteBlock StepLoader break \r\n"}));
    // The caller's buffer carries the sum at offset 8, and so does the flash.
    const std::vector<BYTE> stamped = {0x01, 0x08, 0x0f, 0x16, 0x1d, 0x24, 0x2b, 0x32,
                                       0xa8, 0xdc, 0x1f, 0x00, 0x55, 0x5c, 0x63, 0x6a};
    EXPECT_EQ(std::vector<BYTE>(image.begin(), image.begin() + 16), stamped);
    std::vector<uint8_t> first = RawSector(0);
    EXPECT_EQ(std::vector<BYTE>(first.begin(), first.begin() + 16), stamped);
    EXPECT_EQ(RawSector(7)[0], image[7 * 2048]);
    EXPECT_EQ(RawSector(8)[0], 0xFF);  // sector 8 stays erased
}

TEST_F(FlashTest, OtherBlocksTakeAllSectorsWithTheirSectorInfo)
{
    Open();
    std::vector<BYTE> image = Pattern(NAND_BLOCK_SIZE, 3);
    std::vector<SectorInfo> info = NumberedInfo();
    NandSetNkFlag(disk_, 1);
    ForgetSetup();
    ASSERT_EQ(NandWriteBlock(disk_, 7, image.data(), info.data()), 1u);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"IOCTL_FMD_SET_SECTOR_ADDR in=c0010000",
                                                 "IOCTL_FMD_WRITE_SECTOR 448+64"}));
    EXPECT_TRUE(Log().empty());

    std::vector<BYTE> data(NAND_BLOCK_SIZE);
    std::vector<SectorInfo> back(NAND_SECTORS_PER_BLOCK);
    ForgetSetup();
    ASSERT_EQ(NandReadBlock(disk_, 7, data.data(), back.data()), 1u);
    EXPECT_EQ(data, image);
    for (DWORD n = 0; n < NAND_SECTORS_PER_BLOCK; ++n) {
        EXPECT_EQ(back[n].dwReserved, n);
        EXPECT_EQ(back[n].wReserved, 0x100 + n);
    }
    // Without a data buffer, all 64 sectors are still read and only the SectorInfo delivered.
    std::vector<SectorInfo> onlyInfo(NAND_SECTORS_PER_BLOCK);
    ASSERT_EQ(NandReadBlock(disk_, 7, NULL, onlyInfo.data()), 1u);
    EXPECT_EQ(Calls().back(), "IOCTL_FMD_READ_SECTOR 448+64");
    EXPECT_EQ(onlyInfo[63].dwReserved, 63u);
}

TEST_F(FlashTest, FailureInTheMiddleOfABlockKeepsTheSectorsBefore)
{
    Open(json::parse(R"([{"op": "write", "sector": 458}])"));  // block 7, sector 10
    std::vector<BYTE> image = Pattern(NAND_BLOCK_SIZE, 5);
    std::vector<SectorInfo> info = NumberedInfo();
    NandSetNkFlag(disk_, 1);
    ForgetSetup();
    EXPECT_EQ(NandWriteBlock(disk_, 7, image.data(), info.data()), 0u);
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "[QuorShell]FMD DeviceIoControl IOCTL_FMD_WRITE_SECTOR fail \r\n"}));
    EXPECT_EQ(Calls().back(), "IOCTL_FMD_WRITE_SECTOR 458+1 failed");
    EXPECT_EQ(RawSector(457)[0], image[9 * 2048]);
    EXPECT_EQ(RawSector(458)[0], 0xFF);
    EXPECT_EQ(RawSector(459)[0], 0xFF);
}

TEST_F(FlashTest, StatusWithoutAPointerSendsNothing)
{
    Open();
    ForgetSetup();
    EXPECT_EQ(NandGetBlockStatus(disk_, 3, NULL), 0u);
    EXPECT_TRUE(Calls().empty());
    EXPECT_TRUE(Log().empty());
    DWORD status = 0x55;
    EXPECT_EQ(NandGetBlockStatus(disk_, 3, &status), 1u);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"IOCTL_FMD_GET_BLOCK_STATUS in=03000000 "
                                                 "out=00000000"}));
}

TEST_F(FlashTest, FlagWordsAreExactlyOnAndOff)
{
    Open();
    ForgetSetup();
    NandSetEbootFlag(disk_, 1);
    NandSetTocFlag(disk_, 7);
    NandSetNkFlag(disk_, 1);
    NandSetNkFlag(disk_, 0);
    NandSetTocFlag(disk_, 0);
    NandSetEbootFlag(disk_, 0);
    EXPECT_EQ(Calls(),
              (std::vector<std::string>{
                  "IOCTL_FMD_SET_EBOOT_FLAG in=ecac0000", "IOCTL_FMD_SET_TOC_FLAG in=ecac0000",
                  "IOCTL_FMD_SET_NK_FLAG in=ecac0000", "IOCTL_FMD_SET_NK_FLAG in=00000000",
                  "IOCTL_FMD_SET_TOC_FLAG in=00000000", "IOCTL_FMD_SET_EBOOT_FLAG in=00000000"}));
}

struct CodeFailure {
    const char *name;
    const char *faults;
    std::vector<DWORD> results;  // of the nine operations below, in order
    std::vector<std::string> log;
};

class FlashCodeFails : public FlashTest, public testing::WithParamInterface<CodeFailure> {};

std::string FailLine(const char *code)
{
    return std::string("[QuorShell]FMD DeviceIoControl ") + code + " fail \r\n";
}

// Nine operations, each with the codes it sends: a page read (address, read), a page write
// (address, write), a block read (address, 64 reads), a block write (address, 64 writes), an
// erase, a status and the three flags. An operation stops at its first refused code, and only
// that code's line is logged. The flash is unprotected, so that a failing flag code does not
// refuse the writes as well.
TEST_P(FlashCodeFails, FailTheOperationsThatSendItWithItsLine)
{
    Open(json::parse(GetParam().faults), false);
    std::vector<BYTE> block(NAND_BLOCK_SIZE, 0);
    std::vector<SectorInfo> info = NumberedInfo();
    DWORD status = 0;
    std::vector<DWORD> results = {NandReadPage(disk_, 9, block.data(), info.data()),
                                  NandWritePage(disk_, 400, block.data(), info.data()),
                                  NandReadBlock(disk_, 6, block.data(), info.data()),
                                  NandWriteBlock(disk_, 7, block.data(), info.data()),
                                  NandEraseBlock(disk_, 8),
                                  NandGetBlockStatus(disk_, 8, &status),
                                  NandSetEbootFlag(disk_, 0),
                                  NandSetTocFlag(disk_, 0),
                                  NandSetNkFlag(disk_, 0)};
    EXPECT_EQ(results, GetParam().results);
    EXPECT_EQ(Log(), GetParam().log);
}

const char *const kAddr = "IOCTL_FMD_SET_SECTOR_ADDR";
const char *const kRead = "IOCTL_FMD_READ_SECTOR";
const char *const kWrite = "IOCTL_FMD_WRITE_SECTOR";
const char *const kErase = "IOCTL_FMD_ERASE_BLOCK";

INSTANTIATE_TEST_SUITE_P(
    Table, FlashCodeFails,
    testing::Values(CodeFailure{"EbootFlag",
                                R"([{"code": "IOCTL_FMD_SET_EBOOT_FLAG"}])",
                                {1, 1, 1, 1, 1, 1, 0, 1, 1},
                                {FailLine("IOCTL_FMD_SET_EBOOT_FLAG")}},
                    CodeFailure{"TocFlag",
                                R"([{"code": "IOCTL_FMD_SET_TOC_FLAG"}])",
                                {1, 1, 1, 1, 1, 1, 1, 0, 1},
                                {FailLine("IOCTL_FMD_SET_TOC_FLAG")}},
                    CodeFailure{"NkFlag",
                                R"([{"code": "IOCTL_FMD_SET_NK_FLAG"}])",
                                {1, 1, 1, 1, 1, 1, 1, 1, 0},
                                {FailLine("IOCTL_FMD_SET_NK_FLAG")}},
                    CodeFailure{"BlockStatus",
                                R"([{"code": "IOCTL_FMD_GET_BLOCK_STATUS"}])",
                                {1, 1, 1, 1, 1, 0, 1, 1, 1},
                                {FailLine("IOCTL_FMD_GET_BLOCK_STATUS")}},
                    CodeFailure{"Erase",
                                R"([{"code": "IOCTL_FMD_ERASE_BLOCK"}])",
                                {1, 1, 1, 1, 0, 1, 1, 1, 1},
                                {FailLine(kErase)}},
                    CodeFailure{
                        "SectorAddress",
                        R"([{"code": "IOCTL_FMD_SET_SECTOR_ADDR"}])",
                        {0, 0, 0, 0, 1, 1, 1, 1, 1},
                        {FailLine(kAddr), FailLine(kAddr), FailLine(kAddr), FailLine(kAddr)}},
                    CodeFailure{"ReadSector",
                                R"([{"code": "IOCTL_FMD_READ_SECTOR"}])",
                                {0, 1, 0, 1, 1, 1, 1, 1, 1},
                                {FailLine(kRead), FailLine(kRead)}},
                    CodeFailure{"WriteSector",
                                R"([{"code": "IOCTL_FMD_WRITE_SECTOR"}])",
                                {1, 0, 1, 0, 1, 1, 1, 1, 1},
                                {FailLine(kWrite), FailLine(kWrite)}},
                    // The page read takes the first read; the block read fails at its first sector.
                    CodeFailure{"SecondReadOnly",
                                R"([{"code": "IOCTL_FMD_READ_SECTOR", "nth": 2}])",
                                {1, 1, 0, 1, 1, 1, 1, 1, 1},
                                {FailLine(kRead)}},
                    // The block write's 40th sector is the 41st write.
                    CodeFailure{"WriteInTheMiddleOfABlock",
                                R"([{"code": "IOCTL_FMD_WRITE_SECTOR", "nth": 41}])",
                                {1, 1, 1, 0, 1, 1, 1, 1, 1},
                                {FailLine(kWrite)}},
                    // The lines come in the order of the operations that failed.
                    CodeFailure{"BlockReadAddressThenErase",
                                R"([{"code": "IOCTL_FMD_SET_SECTOR_ADDR", "nth": 3},
                        {"code": "IOCTL_FMD_ERASE_BLOCK"}])",
                                {1, 1, 0, 1, 0, 1, 1, 1, 1},
                                {FailLine(kAddr), FailLine(kErase)}}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
