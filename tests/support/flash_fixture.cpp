#include "tests/support/flash_fixture.h"

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

}  // namespace qs_test
