// The .nb0 the kit builds (its size, parts, fill and StepLoader checksum word) and the CRC value
// of its side file, against a bit-by-bit computation of the value's definition.
#include <gtest/gtest.h>

#include <fstream>

#include "devkit/image_crc.h"
#include "devkit/nb0_image.h"
#include "sim/error.h"
#include "tests/devkit/flash_layout.h"
#include "tests/tools/tool_run.h"

namespace {

using devkit::ReadWord;

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

TEST(Nb0Image, LabelledOrGivenPartsWithTheChecksum)
{
    std::vector<uint8_t> nb0 = devkit::MakeNb0(std::nullopt, std::nullopt);
    ASSERT_EQ(nb0.size(), 0x84000u);
    EXPECT_EQ(ReadWord(nb0, 8), SumFrom16To16383(nb0));
    EXPECT_NE(ReadWord(nb0, 8), 0u);
    EXPECT_EQ(TextAt(nb0, 16, 27), "StepLoader block 0 sector 0");
    EXPECT_EQ(TextAt(nb0, 0x4000, 22), "EBoot block 1 sector 0");
    EXPECT_EQ(TextAt(nb0, 0x84000 - 2048, 23), "EBoot block 4 sector 63");
    EXPECT_NE(TextAt(nb0, 0x4000 + 100, 1900), TextAt(nb0, 0x4800 + 100, 1900));

    // Given parts are placed and filled up with erased bytes; the word at offset 8 is replaced,
    // as the flash writer replaces it.
    std::vector<uint8_t> step = qs_test::PatternBytes(0x1000, 1);
    std::vector<uint8_t> eboot = qs_test::PatternBytes(0x30001, 2);
    nb0 = devkit::MakeNb0(step, eboot);
    ASSERT_EQ(nb0.size(), 0x84000u);
    EXPECT_TRUE(std::equal(step.begin(), step.begin() + 8, nb0.begin()));
    EXPECT_TRUE(std::equal(step.begin() + 12, step.end(), nb0.begin() + 12));
    EXPECT_TRUE(std::equal(eboot.begin(), eboot.end(), nb0.begin() + 0x4000));
    for (size_t at : {0x1000, 0x3FFF, 0x4000 + 0x30001, 0x84000 - 1})
        EXPECT_EQ(nb0[at], 0xFF) << at;
    EXPECT_EQ(ReadWord(nb0, 8), SumFrom16To16383(nb0));

    std::vector<uint8_t> tooLongStep(0x4001, 1), tooLongEboot(0x80001, 1), fits(0x4000, 1);
    EXPECT_THROW(devkit::MakeNb0(tooLongStep, std::nullopt), sim::DeviceError);
    EXPECT_THROW(devkit::MakeNb0(fits, tooLongEboot), sim::DeviceError);
    EXPECT_NO_THROW(devkit::MakeNb0(fits, std::vector<uint8_t>(0x80000, 1)));
}

// The register complemented on entry, shifted bit by bit, never complemented on exit; the file
// taken in chunks of 32768 bytes (chunk 0 only: the standard CRC-32's register).
uint32_t BitwiseFileValue(const std::vector<uint8_t> &bytes, size_t chunkSize = 32768)
{
    uint32_t value = 0;
    for (size_t chunk = 0; chunk < bytes.size(); chunk += chunkSize) {
        uint32_t reg = ~value;
        for (size_t i = chunk; i < std::min(bytes.size(), chunk + chunkSize); ++i) {
            reg ^= bytes[i];
            for (int bit = 0; bit < 8; ++bit)
                reg = (reg & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
        }
        value = reg;
    }
    return value;
}

TEST(ImageCrc, FilesOfEverySizeAroundTheChunkMatchTheDefinition)
{
    EXPECT_EQ(devkit::ImageCrc(std::vector<uint8_t>{'a', 'b', 'c'}), 0xCADBBE3Du);
    qs_test::TempFolder temp;
    for (size_t size : {0, 1, 32767, 32768, 32769, 65536, 100000}) {
        SCOPED_TRACE(size);
        std::vector<uint8_t> bytes = qs_test::PatternBytes(size, 3);
        std::ofstream(temp.path() / "image.nb0", std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(size));
        EXPECT_EQ(devkit::ImageCrc(bytes), BitwiseFileValue(bytes));
        EXPECT_EQ(devkit::ImageFileCrc(temp.path() / "image.nb0"), BitwiseFileValue(bytes));
    }
    // Past one chunk the value is not the standard CRC-32's register.
    std::vector<uint8_t> bytes = qs_test::PatternBytes(32769, 9);
    EXPECT_NE(devkit::ImageCrc(bytes), BitwiseFileValue(bytes, bytes.size()));
    EXPECT_EQ(devkit::CrcSideFile("a/R5boot_240315.nb0"), "a/R5boot_240315.nb0.crc");
    EXPECT_EQ(devkit::CrcSideFileBytes(0xCADBBE3D),
              (std::array<uint8_t, 4>{0x3D, 0xBE, 0xDB, 0xCA}));
}

}  // namespace
