// The kit's .BIN files: what its encoder writes and refuses, and its strict reader's view of a
// file as the shell's loader places it in RAM; readings and refusals against
// tests/golden/devkit_bin_image.log.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "devkit/bin_image.h"
#include "devkit/bin_reader.h"
#include "sim/error.h"
#include "tests/support/expect.h"
#include "tests/tools/tool_run.h"

namespace bin_reader_test {
namespace {

using qs_test::Hex;
using qs_test::Words;

std::string Header(uint32_t start, uint32_t length)
{
    return "B000FF\n" + Words({start, length});
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

// The reader's view of a file in one line: header, record checksums and the image's bytes, or
// its refusal.
std::string Reading(const std::string &file)
{
    std::istringstream in(file);
    try {
        devkit::LoadedBinImage image = devkit::ReadBinImage(in);
        std::string text = "start 0x" + Hex(image.start) + " length 0x" + Hex(image.length) +
                           " launch 0x" + Hex(image.launch) + " covered " +
                           std::to_string(image.CoveredBytes()) + " sums";
        for (const auto &record : image.records)
            text += " 0x" + Hex(record.checksum);
        text += " bytes";
        for (uint8_t byte : image.bytes)
            text += " " + Hex(byte);
        return text;
    } catch (const sim::DeviceError &error) {
        EXPECT_EQ(std::string(error.what()).find('\n'), std::string::npos) << "one line";
        return std::string("refused: ") + error.what();
    }
}

TEST(BinImage, ReadingsAndRefusalsAsGolden)
{
    const uint32_t kBase = 0x80020000;
    const std::vector<std::pair<const char *, std::string>> files = {
        {"records land at their offsets, the trailer is not read",
         Header(kBase, 16) + Record(kBase, "\x01\x02\x03") + Record(kBase + 8, "abcd") +
             Record(kBase + 4, "") + End(0x80021000) + std::string(30, 'T')},
        // Only both address and checksum 0 end the image.
        {"address 0 with a checksum", Header(kBase, 4) + Record(0, "\x05") + End(0)},
        {"checksum 0 at an address",
         Header(kBase, 4) + Record(kBase + 1, std::string(2, '\0')) + End(kBase)},
        {"carriage return", "B000FF\r" + Words({kBase, 4}) + End(0)},
        {"short signature", "B000F"},
        {"no length", "B000FF\n" + Words({kBase})},
        {"no first record", Header(kBase, 4)},
        {"data cut short", Header(kBase, 4) + Words({kBase, 4, 10}) + "\1\2"},
        {"checksum one off", Header(kBase, 4) + Record(kBase, "\1\2\3", 1) + End(0)},
        {"past ImageLen", Header(kBase, 4) + Record(kBase + 2, "\1\2\3") + End(0)},
        {"below the base", Header(kBase, 4) + Record(kBase - 1, "\1") + End(0)},
        {"no terminating record", Header(kBase, 4) + Record(kBase, "\1")},
        {"empty image", Header(kBase, 0) + End(0)},
        {"larger than RAM", Header(kBase, 0x2AE0001) + End(0)}};
    qs_test::Lines lines;
    for (const auto &[name, file] : files)
        lines.push_back(std::string(name) + ": " + Reading(file) + "\r\n");

    // What the encoder refuses to build, each for a reason a command can show.
    const std::vector<std::pair<const char *, std::function<void(devkit::BinImageLayout &)>>>
        layouts = {
            {"record size 0", [](auto &layout) { layout.recordSize = 0; }},
            {"gap past the end",
             [](auto &layout) {
                 layout.gaps = {{90, 11}};
             }},
            {"gap starts past the end",
             [](auto &layout) {
                 layout.gaps = {{101, 0}};
             }},
            {"past the address space", [](auto &layout) { layout.start = 0xFFFFFFA0; }},
            {"zero record at address 0",
             [](auto &layout) {
                 layout.start = 0;
                 layout.image.assign(100, 0);
             }},
            {"company too long", [](auto &layout) { layout.trailer->company = "QUORS"; }},
            {"product too long", [](auto &layout) { layout.trailer->product = "K275D-2024X"; }}};
    for (const auto &[name, change] : layouts) {
        devkit::BinImageLayout layout;
        layout.image.assign(100, 1);
        EXPECT_NO_THROW(devkit::EncodeBinImage(layout)) << name;
        change(layout);
        try {
            devkit::EncodeBinImage(layout);
            lines.push_back(std::string(name) + ": encoded\r\n");
        } catch (const std::invalid_argument &error) {
            lines.push_back(std::string(name) + ": refused: " + error.what() + "\r\n");
        }
    }
    qs_test::ExpectGoldenLog(lines, "devkit_bin_image");
}

// The encoder's records with their gaps read back byte for byte; its trailer carries the fields
// at the offsets the shell's check reads; the file is written whole through a temporary.
TEST(BinImage, EncodedWrittenAndReadBack)
{
    devkit::BinImageLayout layout;
    layout.image.resize(0x25000);
    for (size_t i = 0; i < layout.image.size(); ++i)
        layout.image[i] = uint8_t(i * 7 + 1);
    layout.recordSize = 0x8000;
    layout.gaps = {{0x1000, 0x800}};
    layout.launch = 0x80022000;
    layout.trailer = devkit::BinTrailer{"QUOR", "K275D", "240315", "KOR"};
    qs_test::TempFolder temp;
    devkit::WriteBinImage(temp.path() / "nk.bin", layout);
    std::vector<uint8_t> file = devkit::EncodeBinImage(layout);
    EXPECT_EQ(qs_test::FileText(temp.path() / "nk.bin"), std::string(file.begin(), file.end()));
    EXPECT_FALSE(std::filesystem::exists(temp.path() / "nk.bin.tmp"));
    EXPECT_EQ(std::string(file.end() - 30, file.end()), std::string("QUOR\0K275D\0\0\0\0\0\0"
                                                                    "240315\0KOR\0\0\0\0",
                                                                    30));

    std::istringstream in(std::string(file.begin(), file.end() - 30));
    devkit::LoadedBinImage image = devkit::ReadBinImage(in);
    EXPECT_EQ(image.length, 0x25000u);
    EXPECT_EQ(image.launch, 0x80022000u);
    EXPECT_EQ(image.CoveredBytes(), 0x25000u - 0x800u);
    for (size_t i = 0; i < layout.image.size(); ++i) {
        bool inGap = i >= 0x1000 && i < 0x1800;
        ASSERT_EQ(image.bytes[i], inGap ? 0xFF : layout.image[i]) << i;
    }
    layout.trailer.reset();
    EXPECT_TRUE(devkit::EncodeBinImage(layout) ==
                std::vector<uint8_t>(file.begin(), file.end() - 30));
    // Signature, header, records of at most 64 KiB, the terminator, the trailer.
    layout.image.assign(70000, 3);
    layout.gaps.clear();
    layout.recordSize = 0x10000;
    EXPECT_EQ(devkit::EncodeBinImage(layout).size(), 7u + 8 + 2 * 12 + 70000 + 12);
}

}  // namespace
}  // namespace bin_reader_test
