#include "tests/support/flash_fixture.h"

#include "platform/host/host.h"
#include "sim/flash_driver.h"

namespace qs_test {

std::vector<uint8_t> FlashTest::RawSector(uint32_t sector)
{
    auto bytes = sim::DeviceFlash(device_->device()).Flash().Sector(sector);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

std::vector<uint8_t> FlashTest::RawBlock(uint32_t block)
{
    std::vector<uint8_t> bytes;
    for (uint32_t sector = 0; sector < NAND_SECTORS_PER_BLOCK; ++sector) {
        std::vector<uint8_t> one = RawSector(block * NAND_SECTORS_PER_BLOCK + sector);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    return bytes;
}

std::vector<std::string> FlashTest::FlagsLeftOn()
{
    return sim::DeviceFlash(device_->device()).FlagsLeftOn();
}

std::vector<std::string> FlashTest::ControlInputs(const std::string &name)
{
    std::vector<std::string> inputs;
    for (const std::string &call : Calls())
        if (call.rfind(name + " in=", 0) == 0)
            inputs.push_back(call.substr(name.size() + 4));
    return inputs;
}

void FlashTest::FillBlock(uint32_t block, BYTE firstOemFlags, BYTE firstBadBlockMark)
{
    DWORD(*setFlag)
    (HANDLE, DWORD) = block < TOC_BLOCK    ? NandSetEbootFlag
                      : block == TOC_BLOCK ? NandSetTocFlag
                                           : NandSetNkFlag;
    setFlag(disk_, 1);
    ASSERT_EQ(NandEraseBlock(disk_, block), 1u) << "block " << block;
    for (uint32_t s = 0; s < NAND_SECTORS_PER_BLOCK; ++s) {
        uint32_t sector = block * NAND_SECTORS_PER_BLOCK + s;
        std::vector<BYTE> data(NAND_SECTOR_SIZE, BYTE(sector));
        SectorInfo info = OldRecord(sector);
        if (s == 0) {
            info.bOemFlags = firstOemFlags;
            info.bBadBlockMark = firstBadBlockMark;
        }
        ASSERT_EQ(NandWritePage(disk_, sector, data.data(), &info), 1u) << "sector " << sector;
    }
    setFlag(disk_, 0);
}

void FlashTest::KeepBlocks(uint32_t count)
{
    kept_.clear();
    for (uint32_t block = 0; block < count; ++block)
        kept_.push_back(RawBlock(block));
}

void FlashTest::ExpectAsBefore(uint32_t block)
{
    ASSERT_LT(block, kept_.size());
    EXPECT_TRUE(RawBlock(block) == kept_[block]) << "block " << block << " changed";
}

void FlashTest::ExpectNothingLeft()
{
    EXPECT_EQ(FlagsLeftOn(), std::vector<std::string>{});
    ce_host::Holdings held = ce_host::Held();
    EXPECT_EQ(held.handles, 1u) << "only the test's own DSK1: handle";
    EXPECT_EQ(held.heapBlocks, 0u);
}

}  // namespace qs_test
