#include "tests/support/flash_fixture.h"

#include "sim/flash_driver.h"

namespace qs_test {

std::vector<uint8_t> FlashTest::RawSector(uint32_t sector)
{
    auto bytes = sim::DeviceFlash(device_->device()).Flash().Sector(sector);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

}  // namespace qs_test
