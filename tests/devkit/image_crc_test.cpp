// The boot-loader image's CRC value, against a bit-by-bit computation of its definition.
#include <gtest/gtest.h>

#include <fstream>

#include "devkit/image_crc.h"
#include "tests/devkit/flash_layout.h"
#include "tests/tools/tool_run.h"

namespace {

// The register complemented on entry, shifted bit by bit, never complemented on exit; the file
// taken in chunks of 32768 bytes.
uint32_t BitwiseFileValue(const std::vector<uint8_t> &bytes)
{
    uint32_t value = 0;
    for (size_t chunk = 0; chunk < bytes.size(); chunk += 32768) {
        uint32_t reg = ~value;
        for (size_t i = chunk; i < std::min(bytes.size(), chunk + 32768); ++i) {
            reg ^= bytes[i];
            for (int bit = 0; bit < 8; ++bit)
                reg = (reg & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
        }
        value = reg;
    }
    return value;
}

TEST(ImageCrc, AbcGivesTheKnownValue)
{
    const std::vector<uint8_t> abc = {'a', 'b', 'c'};
    EXPECT_EQ(devkit::ImageCrc(abc), 0xCADBBE3Du);
    EXPECT_EQ(BitwiseFileValue(abc), 0xCADBBE3Du);
}

TEST(ImageCrc, FilesOfEverySizeAroundTheChunkMatchTheDefinition)
{
    qs_test::TempFolder temp;
    for (size_t size : {size_t(0), size_t(1), size_t(32767), size_t(32768), size_t(32769),
                        size_t(65536), size_t(100000)}) {
        SCOPED_TRACE(size);
        std::vector<uint8_t> bytes = qs_test::PatternBytes(size, 3);
        auto file = temp.path() / "image.nb0";
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(size));
        uint32_t expected = BitwiseFileValue(bytes);
        EXPECT_EQ(devkit::ImageCrc(bytes), expected);
        EXPECT_EQ(devkit::ImageFileCrc(file), expected);
    }
}

TEST(ImageCrc, TheChunkBoundaryComplementsTheRegister)
{
    // Up to one chunk the value is the complement of the standard CRC-32; one byte more breaks
    // that, which a plain CRC-32 over the whole file would not show.
    std::vector<uint8_t> bytes = qs_test::PatternBytes(32769, 9);
    uint32_t whole = 0xFFFFFFFF;
    for (uint8_t b : bytes) {
        whole ^= b;
        for (int bit = 0; bit < 8; ++bit)
            whole = (whole & 1) ? (whole >> 1) ^ 0xEDB88320u : whole >> 1;
    }
    EXPECT_NE(devkit::ImageCrc(bytes), whole);
    EXPECT_EQ(devkit::ImageCrc(bytes), BitwiseFileValue(bytes));
}

TEST(ImageCrc, SideFileIsTheImageNameWithCrcAndALittleEndianWord)
{
    EXPECT_EQ(devkit::CrcSideFile("a/R5boot_240315.nb0"), "a/R5boot_240315.nb0.crc");
    EXPECT_EQ(devkit::CrcSideFileBytes(0xCADBBE3D),
              (std::array<uint8_t, 4>{0x3D, 0xBE, 0xDB, 0xCA}));
}

}  // namespace
