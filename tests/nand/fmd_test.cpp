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
    std::vector<BYTE> image = Pattern(NAND_BLOCK_SIZE, 1);
    std::vector<SectorInfo> info = NumberedInfo();
    DWORD sum = 0;
    for (size_t i = 16; i < 16384; ++i)
        sum += image[i];
    ASSERT_EQ(NandSetEbootFlag(disk_, 1), 1u);
    ForgetSetup();

    ASSERT_EQ(NandWriteBlock(disk_, 0, image.data(), info.data()), 1u);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"IOCTL_FMD_SET_SECTOR_ADDR in=00000000",
                                                 "IOCTL_FMD_WRITE_SECTOR 0+8"}));
    // The caller's buffer carries the sum at offset 8, and so does the flash.
    DWORD stored = image[8] | image[9] << 8 | image[10] << 16 | DWORD(image[11]) << 24;
    EXPECT_EQ(stored, sum);
    EXPECT_EQ(RawSector(0)[8], BYTE(sum));
    EXPECT_EQ(RawSector(7)[0], image[7 * 2048]);
    EXPECT_EQ(RawSector(8)[0], 0xFF);  // sector 8 stays erased
    char header[128];
    snprintf(header, sizeof(header), "Checksum = %x,  header = %x %x %x %x\r\n", sum,
             image[0] | image[1] << 8 | image[2] << 16 | image[3] << 24,
             image[4] | image[5] << 8 | image[6] << 16 | image[7] << 24, sum,
             image[12] | image[13] << 8 | image[14] << 16 | image[15] << 24);
    EXPECT_EQ(Log(),
              (std::vector<std::string>{header, "OSUPDATE NandWriteBlock StepLoader break \r\n"}));
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
    const char *code;
    const char *line;
};

class FlashCodeFails : public FlashTest, public testing::WithParamInterface<CodeFailure> {};

// Each operation that uses the failing code returns 0 with the code's own line. The flash is
// unprotected, so that a failing flag code does not refuse the writes as well.
TEST_P(FlashCodeFails, LogsTheCodesLine)
{
    Open(json::array({json{{"code", GetParam().code}}}), false);
    std::vector<BYTE> block(NAND_BLOCK_SIZE, 0);
    std::vector<SectorInfo> info = NumberedInfo();
    DWORD status = 0;
    DWORD results[] = {NandReadPage(disk_, 9, block.data(), info.data()),
                       NandWritePage(disk_, 400, block.data(), info.data()),
                       NandReadBlock(disk_, 6, block.data(), info.data()),
                       NandWriteBlock(disk_, 7, block.data(), info.data()),
                       NandEraseBlock(disk_, 8),
                       NandGetBlockStatus(disk_, 8, &status),
                       NandSetEbootFlag(disk_, 0),
                       NandSetTocFlag(disk_, 0),
                       NandSetNkFlag(disk_, 0)};
    size_t failed = 0;
    for (DWORD result : results)
        failed += result == 0;
    std::vector<std::string> log = Log();
    EXPECT_EQ(log.size(), failed);
    for (const std::string &line : log)
        EXPECT_EQ(line, GetParam().line);
    EXPECT_GT(failed, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FlashCodeFails,
    testing::Values(
        CodeFailure{"IOCTL_FMD_SET_EBOOT_FLAG",
                    "[QuorShell]FMD DeviceIoControl IOCTL_FMD_SET_EBOOT_FLAG fail \r\n"},
        CodeFailure{"IOCTL_FMD_SET_TOC_FLAG",
                    "[QuorShell]FMD DeviceIoControl IOCTL_FMD_SET_TOC_FLAG fail \r\n"},
        CodeFailure{"IOCTL_FMD_SET_NK_FLAG",
                    "[QuorShell]FMD DeviceIoControl IOCTL_FMD_SET_NK_FLAG fail \r\n"},
        CodeFailure{"IOCTL_FMD_GET_BLOCK_STATUS",
                    "[QuorShell]FMD DeviceIoControl IOCTL_FMD_GET_BLOCK_STATUS fail \r\n"},
        CodeFailure{"IOCTL_FMD_ERASE_BLOCK",
                    "[QuorShell]FMD DeviceIoControl IOCTL_FMD_ERASE_BLOCK fail \r\n"},
        CodeFailure{"IOCTL_FMD_SET_SECTOR_ADDR",
                    "[QuorShell]FMD DeviceIoControl IOCTL_FMD_SET_SECTOR_ADDR fail \r\n"},
        CodeFailure{"IOCTL_FMD_READ_SECTOR",
                    "[QuorShell]FMD DeviceIoControl IOCTL_FMD_READ_SECTOR fail \r\n"},
        CodeFailure{"IOCTL_FMD_WRITE_SECTOR",
                    "[QuorShell]FMD DeviceIoControl IOCTL_FMD_WRITE_SECTOR fail \r\n"}));

}  // namespace
