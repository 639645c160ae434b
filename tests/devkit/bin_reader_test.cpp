// Reading .BIN files strictly, as the shell's loader places them in RAM.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "devkit/bin_image.h"
#include "devkit/bin_reader.h"
#include "sim/error.h"

namespace {

using ::testing::HasSubstr;

// A .BIN file written byte by byte.
class BinBytes {
public:
    BinBytes &Raw(const std::string &text)
    {
        bytes_ += text;
        return *this;
    }
    BinBytes &Word(uint32_t word)
    {
        for (int i = 0; i < 4; ++i)
            bytes_ += char(uint8_t(word >> (8 * i)));
        return *this;
    }
    BinBytes &Header(uint32_t start, uint32_t length)
    {
        return Raw("B000FF\n").Word(start).Word(length);
    }
    BinBytes &Record(uint32_t address, const std::string &data, int checksumError = 0)
    {
        uint32_t sum = 0;
        for (unsigned char c : data)
            sum += c;
        return Word(address).Word(uint32_t(data.size())).Word(sum + checksumError).Raw(data);
    }
    BinBytes &End(uint32_t launch) { return Word(0).Word(launch).Word(0); }
    devkit::LoadedBinImage Read() const
    {
        std::istringstream in(bytes_);
        return devkit::ReadBinImage(in);
    }
    std::string Refusal() const
    {
        try {
            Read();
        } catch (const sim::DeviceError &error) {
            return error.what();
        }
        return "accepted";
    }

private:
    std::string bytes_;
};

TEST(BinReader, RecordsLandAtTheirOffsetsAndTheRestIsTheLoadersFill)
{
    devkit::LoadedBinImage image = BinBytes()
                                       .Header(0x80020000, 16)
                                       .Record(0x80020000, "\x01\x02\x03")
                                       .Record(0x80020008, "abcd")
                                       .Record(0x80020004, "")
                                       .End(0x80021000)
                                       .Raw(std::string(30, 'T'))
                                       .Read();
    EXPECT_EQ(image.start, 0x80020000u);
    EXPECT_EQ(image.length, 16u);
    EXPECT_EQ(image.launch, 0x80021000u);
    ASSERT_EQ(image.records.size(), 3u);
    EXPECT_EQ(image.records[0].checksum, 6u);
    EXPECT_EQ(image.bytes, (std::vector<uint8_t>{1, 2, 3, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b',
                                                 'c', 'd', 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(image.CoveredBytes(), 7u);
}

TEST(BinReader, ARecordWithOnlyOneOfAddressAndChecksumZeroIsData)
{
    // Address 0 with a nonzero checksum is a data record, and one outside the image.
    EXPECT_THAT(BinBytes().Header(0x80020000, 4).Record(0, "\x05").End(0).Refusal(),
                HasSubstr("record 1 at 0x0 length 0x1 lies outside the image"));
    // Checksum 0 with a nonzero address is data too: zero bytes sum to 0.
    devkit::LoadedBinImage image = BinBytes()
                                       .Header(0x80020000, 4)
                                       .Record(0x80020001, std::string(2, '\0'))
                                       .End(0x80020000)
                                       .Read();
    EXPECT_EQ(image.CoveredBytes(), 2u);
    EXPECT_EQ(image.bytes, (std::vector<uint8_t>{0xFF, 0, 0, 0xFF}));
}

TEST(BinReader, BadFilesAreRefusedWithOneLineNamingTheRecord)
{
    struct Case {
        const char *name;
        BinBytes file;
        const char *reason;
    };
    const Case cases[] = {
        {"carriage return", BinBytes().Raw("B000FF\r").Word(0x80020000).Word(4).End(0),
         "not a .BIN file"},
        {"short signature", BinBytes().Raw("B000F"), "not a .BIN file"},
        {"no length", BinBytes().Raw("B000FF\n").Word(0x80020000), "ends inside the header"},
        {"no first record", BinBytes().Header(0x80020000, 4), "ends inside the header of record 1"},
        {"data cut short",
         BinBytes().Header(0x80020000, 4).Raw(std::string("\0\0\2\x80\4\0\0\0\x0A\0\0\0\1\2", 14)),
         "ends inside record 1 at 0x80020000"},
        {"checksum one off",
         BinBytes().Header(0x80020000, 4).Record(0x80020000, "\1\2\3", 1).End(0),
         "record 1 at 0x80020000 has checksum 0x7 but its bytes sum to 0x6"},
        {"past ImageLen", BinBytes().Header(0x80020000, 4).Record(0x80020002, "\1\2\3").End(0),
         "record 1 at 0x80020002 length 0x3 lies outside the image 0x80020000..0x80020003"},
        {"below the base", BinBytes().Header(0x80020000, 4).Record(0x8001FFFF, "\1").End(0),
         "lies outside the image"},
        {"no terminating record", BinBytes().Header(0x80020000, 4).Record(0x80020000, "\1"),
         "ends inside the header of record 2"},
        {"empty image", BinBytes().Header(0x80020000, 0).End(0), "image length is 0"},
        {"larger than RAM", BinBytes().Header(0x80020000, 0x2AE0001).End(0),
         "exceeds the RAM buffer's 0x2AE0000"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string refusal = c.file.Refusal();
        EXPECT_THAT(refusal, HasSubstr(c.reason));
        EXPECT_EQ(refusal.find('\n'), std::string::npos);
    }
}

TEST(BinReader, ReadsWhatTheKitsEncoderWritesWithItsGaps)
{
    devkit::BinImageLayout layout;
    layout.image.resize(0x25000);
    for (size_t i = 0; i < layout.image.size(); ++i)
        layout.image[i] = uint8_t(i * 7 + 1);
    layout.recordSize = 0x8000;
    layout.gaps = {{0x1000, 0x800}};
    layout.launch = 0x80022000;
    std::vector<uint8_t> file = devkit::EncodeBinImage(layout);
    std::istringstream in(std::string(file.begin(), file.end()));
    devkit::LoadedBinImage image = devkit::ReadBinImage(in);
    EXPECT_EQ(image.length, 0x25000u);
    EXPECT_EQ(image.launch, 0x80022000u);
    EXPECT_EQ(image.CoveredBytes(), 0x25000u - 0x800u);
    for (size_t i = 0; i < layout.image.size(); ++i) {
        bool inGap = i >= 0x1000 && i < 0x1800;
        ASSERT_EQ(image.bytes[i], inGap ? 0xFF : layout.image[i]) << i;
    }
}

}  // namespace
