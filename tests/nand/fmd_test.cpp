// The shell's flash operations: what they send to DSK1:, in what order, what they log and what
// lands on the flash, against tests/golden/nand_NAME.log.
#include "nand/fmd.h"
#include "tests/support/expect.h"
#include "tests/support/flash_fixture.h"

namespace {

using nlohmann::json;
using qs_test::Lines;

// A block's worth of data whose bytes tell their offset apart.
std::vector<BYTE> Pattern(BYTE seed)
{
    std::vector<BYTE> data(NAND_BLOCK_SIZE);
    for (size_t i = 0; i < data.size(); ++i)
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

class Fmd : public qs_test::FlashTest {
protected:
    // Each operation's result after the lines it caused.
    void Note(const char *operation, DWORD result)
    {
        Lines lines = qs_test::Transcript();
        seen_.insert(seen_.end(), lines.begin(), lines.end());
        seen_.push_back(std::string(operation) + " -> " + std::to_string(result) + "\r\n");
        ForgetSetup();
    }

    Lines seen_;
};

TEST_F(Fmd, OperationsInOrder)
{
    Open();
    ForgetSetup();
    BYTE page[NAND_SECTOR_SIZE];
    SectorInfo record;
    DWORD status = 0x55;
    // Byte i of the StepLoader is (i * 7 + 1 + i / 2048) mod 256. Summed once, outside this code:
    // bytes 16 to 16383 add up to 0x1fdca8; the words at 0, 4 and 12 are the bytes 01 08 0f 16,
    // 1d 24 2b 32 and 55 5c 63 6a, little-endian.
    std::vector<BYTE> stepLoader = Pattern(1), block = Pattern(3), back(NAND_BLOCK_SIZE);
    std::vector<SectorInfo> info = NumberedInfo(), readInfo(NAND_SECTORS_PER_BLOCK);

    Note("read page 320", NandReadPage(disk_, 320, page, &record));
    EXPECT_EQ(page[0], 0xFF);
    EXPECT_EQ(record.dwReserved, 0xFFFFFFFFu);
    Note("read page 7 without buffers", NandReadPage(disk_, 7, NULL, NULL));
    Note("EBoot flag on", NandSetEbootFlag(disk_, 1));
    Note("write block 0", NandWriteBlock(disk_, 0, stepLoader.data(), info.data()));
    Note("TOC flag 7", NandSetTocFlag(disk_, 7));
    Note("NK flag on", NandSetNkFlag(disk_, 1));
    Note("write block 7", NandWriteBlock(disk_, 7, block.data(), info.data()));
    Note("read block 7", NandReadBlock(disk_, 7, back.data(), readInfo.data()));
    EXPECT_EQ(back, block);
    for (DWORD n = 0; n < NAND_SECTORS_PER_BLOCK; ++n)
        EXPECT_TRUE(readInfo[n].dwReserved == n && readInfo[n].wReserved == 0x100 + n) << n;
    // Without a data buffer all 64 sectors are still read, only the SectorInfo delivered.
    readInfo.assign(NAND_SECTORS_PER_BLOCK, SectorInfo{});
    Note("read block 7 records", NandReadBlock(disk_, 7, NULL, readInfo.data()));
    EXPECT_EQ(readInfo[63].dwReserved, 63u);
    Note("status of 3 without a pointer", NandGetBlockStatus(disk_, 3, NULL));
    Note("status of 3", NandGetBlockStatus(disk_, 3, &status));
    EXPECT_EQ(status, 0u);
    Note("NK flag off", NandSetNkFlag(disk_, 0));
    Note("TOC flag off", NandSetTocFlag(disk_, 0));
    Note("EBoot flag off", NandSetEbootFlag(disk_, 0));
    qs_test::ExpectGoldenLog(seen_, "nand_operations");

    // The caller's buffer carries the sum at offset 8, and so does the flash; sector 8 of the
    // StepLoader block stays erased.
    const std::vector<BYTE> stamped = {0x01, 0x08, 0x0f, 0x16, 0x1d, 0x24, 0x2b, 0x32,
                                       0xa8, 0xdc, 0x1f, 0x00, 0x55, 0x5c, 0x63, 0x6a};
    EXPECT_EQ(std::vector<BYTE>(stepLoader.begin(), stepLoader.begin() + 16), stamped);
    std::vector<uint8_t> first = RawSector(0);
    EXPECT_EQ(std::vector<BYTE>(first.begin(), first.begin() + 16), stamped);
    EXPECT_EQ(RawSector(7)[0], stepLoader[7 * 2048]);
    EXPECT_EQ(RawSector(8)[0], 0xFF);
}

TEST_F(Fmd, FailureInTheMiddleOfABlockKeepsTheSectorsBefore)
{
    Open(json::parse(R"([{"op": "write", "sector": 458}])"));  // block 7, sector 10
    std::vector<BYTE> image = Pattern(5);
    std::vector<SectorInfo> info = NumberedInfo();
    NandSetNkFlag(disk_, 1);
    ForgetSetup();
    Note("write block 7", NandWriteBlock(disk_, 7, image.data(), info.data()));
    qs_test::ExpectGoldenLog(seen_, "nand_write_fails_in_block");
    EXPECT_EQ(RawSector(457)[0], image[9 * 2048]);
    EXPECT_EQ(RawSector(458)[0], 0xFF);
    EXPECT_EQ(RawSector(459)[0], 0xFF);
}

// Nine operations, each with the codes it sends: a page read (address, read), a page write
// (address, write), a block read (address, 64 reads), a block write (address, 64 writes), an
// erase, a status and the three flags. An operation stops at its first refused code, and only
// that code's line is logged. The flash is unprotected, so that a failing flag code does not
// refuse the writes as well. Every row's lines go to tests/golden/nand_code_fails.log.
TEST_F(Fmd, RefusedCodesFailTheOperationsThatSendThem)
{
    const std::vector<std::pair<const char *, const char *>> rows = {
        {"EbootFlag", R"([{"code": "IOCTL_FMD_SET_EBOOT_FLAG"}])"},
        {"TocFlag", R"([{"code": "IOCTL_FMD_SET_TOC_FLAG"}])"},
        {"NkFlag", R"([{"code": "IOCTL_FMD_SET_NK_FLAG"}])"},
        {"BlockStatus", R"([{"code": "IOCTL_FMD_GET_BLOCK_STATUS"}])"},
        {"Erase", R"([{"code": "IOCTL_FMD_ERASE_BLOCK"}])"},
        {"SectorAddress", R"([{"code": "IOCTL_FMD_SET_SECTOR_ADDR"}])"},
        {"ReadSector", R"([{"code": "IOCTL_FMD_READ_SECTOR"}])"},
        {"WriteSector", R"([{"code": "IOCTL_FMD_WRITE_SECTOR"}])"},
        // The page read takes the first read; the block read fails at its first sector.
        {"SecondReadOnly", R"([{"code": "IOCTL_FMD_READ_SECTOR", "nth": 2}])"},
        // The block write's 40th sector is the 41st write.
        {"WriteInTheMiddleOfABlock", R"([{"code": "IOCTL_FMD_WRITE_SECTOR", "nth": 41}])"},
        // The lines come in the order of the operations that failed.
        {"BlockReadAddressThenErase",
         R"([{"code": "IOCTL_FMD_SET_SECTOR_ADDR", "nth": 3}, {"code": "IOCTL_FMD_ERASE_BLOCK"}])"}};
    for (const auto &[name, faults] : rows) {
        seen_.push_back(std::string("== ") + name + "\r\n");
        Close();
        device_.reset();  // detached before the next one attaches
        Open(json::parse(faults), false);
        ForgetSetup();
        std::vector<BYTE> data(NAND_BLOCK_SIZE, 0);
        std::vector<SectorInfo> info = NumberedInfo();
        DWORD status = 0;
        Note("read page", NandReadPage(disk_, 9, data.data(), info.data()));
        Note("write page", NandWritePage(disk_, 400, data.data(), info.data()));
        Note("read block", NandReadBlock(disk_, 6, data.data(), info.data()));
        Note("write block", NandWriteBlock(disk_, 7, data.data(), info.data()));
        Note("erase", NandEraseBlock(disk_, 8));
        Note("status", NandGetBlockStatus(disk_, 8, &status));
        Note("EBoot flag off", NandSetEbootFlag(disk_, 0));
        Note("TOC flag off", NandSetTocFlag(disk_, 0));
        Note("NK flag off", NandSetNkFlag(disk_, 0));
    }
    qs_test::ExpectGoldenLog(seen_, "nand_code_fails");
}

}  // namespace
