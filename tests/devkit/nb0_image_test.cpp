// The .nb0 the kit builds: its size, parts, fill and the StepLoader checksum word.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "devkit/nb0_image.h"
#include "sim/error.h"
#include "tests/devkit/flash_layout.h"

namespace {

uint32_t WordAt(const std::vector<uint8_t> &bytes, size_t offset)
{
    uint32_t word = 0;
    std::memcpy(&word, &bytes[offset], 4);
    return word;
}

uint32_t SumFrom16To16383(const std::vector<uint8_t> &bytes)
{
    uint32_t sum = 0;
    for (size_t i = 16; i <= 16383; ++i)
        sum += bytes[i];
    return sum;
}

std::string TextAt(const std::vector<uint8_t> &bytes, size_t offset, size_t size)
{
    return std::string(bytes.begin() + std::ptrdiff_t(offset),
                       bytes.begin() + std::ptrdiff_t(offset + size));
}

TEST(Nb0Image, GeneratedContentLabelsEverySectorAndCarriesTheChecksum)
{
    std::vector<uint8_t> nb0 = devkit::MakeNb0(std::nullopt, std::nullopt);
    ASSERT_EQ(nb0.size(), 0x84000u);
    EXPECT_EQ(WordAt(nb0, 8), SumFrom16To16383(nb0));
    EXPECT_NE(WordAt(nb0, 8), 0u);
    EXPECT_EQ(TextAt(nb0, 16, 27), "StepLoader block 0 sector 0");
    EXPECT_EQ(TextAt(nb0, 0x4000, 22), "EBoot block 1 sector 0");
    // The last sector of the fourth EBoot block.
    EXPECT_EQ(TextAt(nb0, 0x84000 - 2048, 23), "EBoot block 4 sector 63");
    EXPECT_NE(TextAt(nb0, 0x4000 + 100, 1900), TextAt(nb0, 0x4800 + 100, 1900));
}

TEST(Nb0Image, GivenPartsArePlacedAndFilledUpWithErasedBytes)
{
    std::vector<uint8_t> step = qs_test::PatternBytes(0x1000, 1);
    std::vector<uint8_t> eboot = qs_test::PatternBytes(0x30001, 2);
    std::vector<uint8_t> nb0 = devkit::MakeNb0(step, eboot);
    ASSERT_EQ(nb0.size(), 0x84000u);
    EXPECT_TRUE(std::equal(step.begin(), step.begin() + 8, nb0.begin()));
    EXPECT_TRUE(std::equal(step.begin() + 12, step.end(), nb0.begin() + 12));
    EXPECT_EQ(nb0[0x1000], 0xFF);
    EXPECT_EQ(nb0[0x3FFF], 0xFF);
    EXPECT_TRUE(std::equal(eboot.begin(), eboot.end(), nb0.begin() + 0x4000));
    EXPECT_EQ(nb0[0x4000 + 0x30001], 0xFF);
    EXPECT_EQ(nb0.back(), 0xFF);
    // The given word at offset 8 is replaced, as the flash writer replaces it.
    EXPECT_EQ(WordAt(nb0, 8), SumFrom16To16383(nb0));
}

TEST(Nb0Image, PartsLargerThanTheirRoomAreRefused)
{
    std::vector<uint8_t> tooLongStep(0x4001, 1), tooLongEboot(0x80001, 1), fits(0x4000, 1);
    EXPECT_THROW(devkit::MakeNb0(tooLongStep, std::nullopt), sim::DeviceError);
    EXPECT_THROW(devkit::MakeNb0(fits, tooLongEboot), sim::DeviceError);
    EXPECT_NO_THROW(devkit::MakeNb0(fits, std::vector<uint8_t>(0x80000, 1)));
}

}  // namespace
