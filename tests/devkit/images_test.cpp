// The kit's images: .BIN files as its encoder writes or refuses them and as its strict reader
// places them in RAM (against tests/golden/devkit_bin_image.log), the .nb0 and the CRC value of
// its side file.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "devkit/bin_image.h"
#include "devkit/bin_reader.h"
#include "devkit/image_crc.h"
#include "devkit/nb0_image.h"
#include "sim/error.h"
#include "tests/devkit/flash_layout.h"
#include "tests/support/expect.h"
#include "tests/tools/tool_run.h"

namespace images_test {
namespace {

using qs_test::Hex;
using qs_test::Words;
constexpr uint32_t kBase = 0x80020000;

std::string Header(uint32_t length)
{
    return "B000FF\n" + Words({kBase, length});
}

std::string Record(uint32_t address, const std::string &data, int checksumError = 0)
{
    uint32_t sum = 0;
    for (unsigned char c : data)
        sum += c;
    return Words({address, uint32_t(data.size()), sum + checksumError}) + data;
}

std::string End(uint32_t launch)
{
    return Words({0, launch, 0});
}

// The reader's view of a file in one line: header, records, the image's bytes (up to 64) and
// what follows the terminating record, or its refusal.
std::string Reading(const std::string &file)
{
    std::istringstream in(file);
    try {
        devkit::LoadedBinImage image = devkit::ReadBinImage(in);
        std::string text = "start 0x" + Hex(image.start) + " length 0x" + Hex(image.length) +
                           " launch 0x" + Hex(image.launch) + " covered " +
                           std::to_string(image.CoveredBytes()) + " records";
        for (const auto &record : image.records)
            text +=
                " 0x" + Hex(record.address) + "+" + Hex(record.length) + "/" + Hex(record.checksum);
        text += " bytes";
        for (size_t i = 0; i < image.bytes.size() && i < 64; ++i)
            text += " " + Hex(image.bytes[i]);
        text += " then";
        for (auto at = size_t(in.tellg()); at < file.size(); ++at) {
            const auto c = uint8_t(file[at]);
            text += std::isgraph(c) ? std::string(" ") + char(c)
                                    : std::string(c < 16 ? " \\x0" : " \\x") + Hex(c);
        }
        return text;
    } catch (const sim::DeviceError &error) {
        EXPECT_EQ(std::string(error.what()).find('\n'), std::string::npos) << "one line";
        return std::string("refused: ") + error.what();
    }
}

TEST(BinImage, ReadingsAndRefusalsAsGolden)
{
    const std::vector<std::pair<const char *, std::string>> files = {
        {"records land at their offsets, the trailer is not read",
         Header(16) + Record(kBase, "\x01\x02\x03") + Record(kBase + 8, "abcd") +
             Record(kBase + 4, "") + End(0x80021000) + std::string(30, 'T')},
        // Only both address and checksum 0 end the image.
        {"address 0 with a checksum", Header(4) + Record(0, "\x05") + End(0)},
        {"checksum 0 at an address",
         Header(4) + Record(kBase + 1, std::string(2, '\0')) + End(kBase)},
        {"carriage return", "B000FF\r" + Words({kBase, 4}) + End(0)},
        {"short signature", "B000F"},
        {"no length", "B000FF\n" + Words({kBase})},
        {"no first record", Header(4)},
        {"data cut short", Header(4) + Words({kBase, 4, 10}) + "\1\2"},
        {"checksum one off", Header(4) + Record(kBase, "\1\2\3", 1) + End(0)},
        {"past ImageLen", Header(4) + Record(kBase + 2, "\1\2\3") + End(0)},
        {"below the base", Header(4) + Record(kBase - 1, "\1") + End(0)},
        {"no terminating record", Header(4) + Record(kBase, "\1")},
        {"empty image", Header(0) + End(0)},
        {"larger than RAM", Header(0x2AE0001) + End(0)}};
    qs_test::Lines lines;
    for (const auto &[name, file] : files)
        lines.push_back(std::string(name) + ": " + Reading(file) + "\r\n");

    // What the encoder builds from an image of 20 bytes (unless a row gives one), read back, or
    // refuses for a reason a command can show.
    using Layout = devkit::BinImageLayout;
    const std::vector<std::pair<const char *, std::function<void(Layout &)>>> layouts = {
        {"defaults", [](Layout &) {}},
        {"records of 6, a gap at 4, a trailer",
         [](Layout &l) {
             l.recordSize = 6;
             l.gaps.emplace_back(4, 3);
             l.launch = 0x80022000;
             l.trailer = devkit::BinTrailer{"QUOR", "K275D", "240315", "KOR"};
         }},
        {"no trailer", [](Layout &l) { l.trailer.reset(); }},
        {"a gap to the end", [](Layout &l) { l.gaps.emplace_back(10, 10); }},
        {"records of 64 KiB at most", [](Layout &l) { l.image.assign(70000, 3); }},
        {"ending at the address space's end", [](Layout &l) { l.start = 0xFFFFFFEC; }},
        {"record size 0", [](Layout &l) { l.recordSize = 0; }},
        {"gap past the end", [](Layout &l) { l.gaps.emplace_back(10, 11); }},
        {"gap starts past the end", [](Layout &l) { l.gaps.emplace_back(21, 0); }},
        {"past the address space", [](Layout &l) { l.start = 0xFFFFFFED; }},
        {"zero record at address 0",
         [](Layout &l) {
             l.start = 0;
             l.image.assign(20, 0);
         }},
        {"company too long", [](Layout &l) { l.trailer->company = "QUORS"; }},
        {"product too long", [](Layout &l) { l.trailer->product = "K275D-2024X"; }},
        {"version too long", [](Layout &l) { l.trailer->version = "2403150"; }},
        {"language of four letters", [](Layout &l) { l.trailer->language = "KORE"; }},
        {"language too long", [](Layout &l) { l.trailer->language = "KOREA"; }}};
    for (const auto &[name, change] : layouts) {
        Layout layout;
        layout.image = qs_test::PatternBytes(20, 0);
        change(layout);
        try {
            std::vector<uint8_t> file = devkit::EncodeBinImage(layout);
            lines.push_back(std::string(name) + ": " + std::to_string(file.size()) +
                            " bytes: " + Reading(std::string(file.begin(), file.end())) + "\r\n");
        } catch (const std::invalid_argument &error) {
            lines.push_back(std::string(name) + ": refused: " + error.what() + "\r\n");
        }
    }
    qs_test::ExpectGoldenLog(lines, "devkit_bin_image");
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

TEST(Nb0Image, LabelledOrGivenPartsWithTheChecksum)
{
    std::vector<uint8_t> nb0 = devkit::MakeNb0(std::nullopt, std::nullopt);
    ASSERT_EQ(nb0.size(), 0x84000u);
    EXPECT_EQ(devkit::ReadWord(nb0, 8), SumFrom16To16383(nb0));
    EXPECT_EQ(TextAt(nb0, 16, 27), "StepLoader block 0 sector 0");
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
    EXPECT_EQ(devkit::ReadWord(nb0, 8), SumFrom16To16383(nb0));

    std::vector<uint8_t> tooLongEboot(0x80001, 1), fits(0x4000, 1);
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
}

}  // namespace
}  // namespace images_test
