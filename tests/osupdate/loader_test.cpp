// Loading the NK image's .BIN records into the RAM image buffer.
#include <fstream>
#include <functional>

#include "devkit/bin_image.h"
#include "osupdate/OSUPDATE.h"
#include "osupdate/image_loader.h"
#include "platform/host/host.h"
#include "tests/support/temp_device.h"

namespace loader_test {

using qs_test::TempDevice;

const std::string kImage = "\\flashdisk\\K275D-Update\\R5nk_240315.bin";
const std::string kOpen = "Open OS update image file... " + kImage + " \r\n";
const std::string kEnd = "\r\nOS Image End!\r\n";
// What the buffer holds before a load: neither erased flash nor zero.
constexpr uint8_t kOld = 0xA5;

std::string Hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%X", value);
    return text;
}

std::string Words(std::initializer_list<uint32_t> words)
{
    std::string bytes;
    for (uint32_t word : words)
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<char>(word >> shift));
    return bytes;
}

std::string Header(uint32_t start, uint32_t length)
{
    return "B000FF\n" + Words({start, length});
}

std::string ImageStartLine(uint32_t start, uint32_t length)
{
    return "ImageStart: " + Hex(start) + " ImageLen: " + Hex(length) + " \r\n";
}

std::string RecordLine(uint32_t number, uint32_t addr, uint32_t len, uint32_t chk)
{
    return "RecNum:" + std::to_string(number) + " RecAddr:" + Hex(addr) + " RecLen:" + Hex(len) +
           " RecChk:" + Hex(chk) + " \r\n";
}

std::string ReadError(uint32_t count, uint32_t delivered)
{
    return "ERROR(0)- File Read Error cbData=" + Hex(count) + " dwReadByte=" + Hex(delivered) +
           "!\r\n";
}

class Loader : public testing::Test {
protected:
    static void SetUpTestSuite() { buffer_ = new std::vector<uint8_t>(RAM_IMAGE_BUFFER_SIZE); }
    static void TearDownTestSuite()
    {
        delete buffer_;
        buffer_ = nullptr;
    }

    void SetUp() override
    {
        device_ = std::make_unique<TempDevice>();
        ResetShellState();
        std::fill(buffer_->begin(), buffer_->end(), kOld);
        PathClear(g_ImagePath);
        PathCopy(g_ImagePath, std::u16string(kImage.begin(), kImage.end()).c_str());
    }

    DWORD Load(const std::string &file)
    {
        device_->PutFile(kImage, file);
        return LoadOSImage(buffer_->data());
    }

    // The buffer as it should be: the old content with the given bytes in place.
    static void ExpectBuffer(const std::vector<std::pair<uint32_t, std::string>> &placed)
    {
        std::vector<uint8_t> expected(RAM_IMAGE_BUFFER_SIZE, kOld);
        for (const auto &[offset, bytes] : placed)
            std::copy(bytes.begin(), bytes.end(), expected.begin() + offset);
        if (expected == *buffer_)
            return;
        auto [mine, theirs] = std::mismatch(buffer_->begin(), buffer_->end(), expected.begin());
        ADD_FAILURE() << "buffer differs first at offset " << Hex(mine - buffer_->begin()) << ": "
                      << Hex(*mine) << " instead of " << Hex(*theirs);
    }

    void ExpectNothingHeld()
    {
        EXPECT_EQ(ce_host::Held().handles, 0u);
        EXPECT_EQ(ce_host::Held().heapBlocks, 0u);
    }

    static std::vector<uint8_t> *buffer_;
    std::unique_ptr<TempDevice> device_;
};

std::vector<uint8_t> *Loader::buffer_ = nullptr;

struct LoadCase {
    const char *name;
    std::string file;
    std::vector<std::string> log;  // after the open line
    DWORD result;
    std::vector<std::pair<uint32_t, std::string>> placed;
    DWORD launch;
};

class LoadTable : public Loader, public testing::WithParamInterface<LoadCase> {};

TEST_P(LoadTable, LogsPlacesAndReleases)
{
    EXPECT_EQ(Load(GetParam().file), GetParam().result);

    std::vector<std::string> expected = {kOpen};
    expected.insert(expected.end(), GetParam().log.begin(), GetParam().log.end());
    EXPECT_EQ(device_->LogEntries(), expected);
    ExpectBuffer(GetParam().placed);
    EXPECT_EQ(g_LaunchAddr, GetParam().launch);
    ExpectNothingHeld();
}

const uint32_t kBase = 0x80020000;
const uint32_t kEndAddr = 0x82B00000;  // first address past the buffer
const std::string kTerminator = Words({0, 0x80021000, 0});
const std::string kFF(5, '\xFF');

INSTANTIATE_TEST_SUITE_P(
    Table, LoadTable,
    testing::Values(
        LoadCase{"CarriageReturnInSignature",
                 "B000FF\r" + Words({kBase, 0}) + kTerminator,
                 {"ERROR - This is not a .BIN file 0 42 30 30 30 46 46\r\n"},
                 0,
                 {},
                 0},
        LoadCase{"ShorterThanSignature",
                 "B000",
                 {ReadError(7, 4), "ERROR - This is not a .BIN file 0 42 30 30 30 0 0\r\n"},
                 0,
                 {},
                 0},
        LoadCase{"HeaderCut",
                 "B000FF\n" + Words({kBase}).substr(0, 2),
                 {ReadError(4, 2), "ERROR - Unable to read image start/length\r\n"},
                 0,
                 {},
                 0},
        LoadCase{"NoRecordHeader",
                 Header(kBase, 0),
                 {ImageStartLine(kBase, 0), ReadError(4, 0), "\r\n"},
                 0,
                 {},
                 0},
        LoadCase{"OnlyTerminator",
                 Header(kBase, 0) + kTerminator,
                 {ImageStartLine(kBase, 0), RecordLine(1, 0, 0x80021000, 0), kEnd},
                 1,
                 {},
                 0x80021000},
        // The image's span that no record covers reads as erased flash.
        LoadCase{"ThreeBytes",
                 Header(kBase, 8) + Words({kBase, 3, 6}) + "\x01\x02\x03" + kTerminator,
                 {ImageStartLine(kBase, 8), RecordLine(1, kBase, 3, 6),
                  RecordLine(2, 0, 0x80021000, 0), kEnd},
                 1,
                 {{0, "\x01\x02\x03" + kFF}},
                 0x80021000},
        LoadCase{"EmptyRecord",
                 Header(kBase, 0) + Words({kBase + 16, 0, 0}) + kTerminator,
                 {ImageStartLine(kBase, 0), RecordLine(1, kBase + 16, 0, 0),
                  RecordLine(2, 0, 0x80021000, 0), kEnd},
                 1,
                 {},
                 0x80021000},
        LoadCase{"LastByteOfTheBuffer",
                 Header(0x82AFFFFF, 0) + Words({0x82AFFFFF, 1, 0x7F}) + "\x7F" + kTerminator,
                 {ImageStartLine(0x82AFFFFF, 0), RecordLine(1, 0x82AFFFFF, 1, 0x7F),
                  RecordLine(2, 0, 0x80021000, 0), kEnd},
                 1,
                 {{RAM_IMAGE_BUFFER_SIZE - 1, "\x7F"}},
                 0x80021000},
        LoadCase{"AddressZeroIsNoEnd",
                 Header(kBase, 0) + Words({0, 5, 5}) + std::string(5, '\x01') + kTerminator,
                 {ImageStartLine(kBase, 0), RecordLine(1, 0, 5, 5),
                  "ERROR - Record outside the image buffer Addr:0x0 Len:0x5 \r\n"},
                 0,
                 {},
                 0},
        LoadCase{"BelowTheBuffer",
                 Header(kBase, 0) + Words({kBase - 1, 2, 2}) + "\x01\x01" + kTerminator,
                 {ImageStartLine(kBase, 0), RecordLine(1, kBase - 1, 2, 2),
                  "ERROR - Record outside the image buffer Addr:0x8001FFFF Len:0x2 \r\n"},
                 0,
                 {},
                 0},
        LoadCase{"PastTheBuffer",
                 Header(kBase, 0) + Words({kEndAddr - 1, 2, 2}) + "\x01\x01" + kTerminator,
                 {ImageStartLine(kBase, 0), RecordLine(1, kEndAddr - 1, 2, 2),
                  "ERROR - Record outside the image buffer Addr:0x82AFFFFF Len:0x2 \r\n"},
                 0,
                 {},
                 0},
        LoadCase{"LengthWrapsTheAddress",
                 Header(kBase, 0) + Words({kBase + 16, 0xFFFFFFF0, 0}) + kTerminator,
                 {ImageStartLine(kBase, 0), RecordLine(1, kBase + 16, 0xFFFFFFF0, 0),
                  "ERROR - Record outside the image buffer Addr:0x80020010 Len:0xFFFFFFF0 \r\n"},
                 0,
                 {},
                 0},
        // A later record is not read once one fails its sum.
        LoadCase{"ChecksumOneOff",
                 Header(kBase, 0) + Words({kBase, 3, 7}) + "\x01\x02\x03" +
                     Words({kBase + 3, 1, 1}) + "\x01" + kTerminator,
                 {ImageStartLine(kBase, 0), RecordLine(1, kBase, 3, 7),
                  "Checksum fail 02 Addr:0x80020000 Len:0x3 Chksum:0x7 real:0x6 \r\n",
                  "**** ReadAndVerify fail \r\n"},
                 0,
                 {{0, "\x01\x02\x03"}},
                 0},
        LoadCase{"BytesSummedUnsigned",
                 Header(kBase, 0) + Words({kBase, 3, 0x2FD}) + "\xFF\xFF\xFF" + kTerminator,
                 {ImageStartLine(kBase, 0), RecordLine(1, kBase, 3, 0x2FD),
                  RecordLine(2, 0, 0x80021000, 0), kEnd},
                 1,
                 {{0, "\xFF\xFF\xFF"}},
                 0x80021000},
        LoadCase{"CutInsideRecordData",
                 Header(kBase, 0) + Words({kBase, 8, 8}) + std::string(5, '\x01'),
                 {ImageStartLine(kBase, 0), RecordLine(1, kBase, 8, 8), ReadError(8, 5),
                  "ReadAndVerify ReadData fail 3\r\n", "**** ReadAndVerify fail \r\n"},
                 0,
                 {{0, std::string(5, '\x01')}},
                 0},
        LoadCase{"CutInsideRecordHeader",
                 Header(kBase, 0) + Words({kBase, 8}),
                 {ImageStartLine(kBase, 0), ReadError(4, 0), "\r\n"},
                 0,
                 {},
                 0},
        LoadCase{"CutBeforeNextRecord",
                 Header(kBase, 0) + Words({kBase, 1, 9}) + "\x09" + Words({0}).substr(0, 3),
                 {ImageStartLine(kBase, 0), RecordLine(1, kBase, 1, 9), ReadError(4, 3), "\r\n"},
                 0,
                 {{0, "\x09"}},
                 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Loader, MissingFileCannotBeOpened)
{
    device_->PutFolder("\\flashdisk\\K275D-Update");
    EXPECT_EQ(LoadOSImage(buffer_->data()), 0u);
    EXPECT_EQ(device_->LogEntries(),
              (std::vector<std::string>{kOpen, "ERROR(2)- Cannot open OS update image file\r\n"}));
    ExpectNothingHeld();
}

// An image longer than the buffer fills the buffer and no further.
TEST_F(Loader, ImageLengthBeyondTheBufferFillsTheBufferOnly)
{
    EXPECT_EQ(Load(Header(kBase, 0xFFFFFFFF) + kTerminator), 1u);
    EXPECT_EQ(g_ImageLen, 0xFFFFFFFFu);
    EXPECT_TRUE(std::all_of(buffer_->begin(), buffer_->end(), [](uint8_t b) { return b == 0xFF; }));
}

// Reads go in pieces of exactly 128 KiB: a record cut 0x1000A bytes into its second piece shows
// a failing read that delivered those bytes (a larger piece, or a smaller one, shows another
// count).
TEST_F(Loader, ReadsALongRecordIn128KiBPieces)
{
    const uint32_t kCut = 0x20000 + 0x1000A;
    std::string data(0x4B000, '\x02');
    std::string file =
        Header(kBase, 0x4B000) + Words({kBase, 0x4B000, 0x4B000 * 2}) + data.substr(0, kCut);

    EXPECT_EQ(Load(file), 0u);

    std::vector<std::string> log = device_->LogEntries();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[3], ReadError(0x4B000, 0x1000A));
    EXPECT_EQ(log[4], "ReadAndVerify ReadData fail 3\r\n");
    ExpectBuffer({{0, data.substr(0, kCut) + std::string(0x4B000 - kCut, '\xFF')}});
    ExpectNothingHeld();
}

class KitImage : public Loader, public testing::WithParamInterface<bool> {};

// A kit-built image with gaps loads byte for byte; its trailer changes nothing.
TEST_P(KitImage, LoadsEveryRecordAndIgnoresTheTrailer)
{
    devkit::BinImageLayout layout;
    layout.start = 0x80021000;
    layout.image.resize(0x61234);
    for (size_t i = 0; i < layout.image.size(); ++i)
        layout.image[i] = static_cast<uint8_t>(i * 7 + i / 509);
    layout.recordSize = 0x30000;
    layout.gaps = {{0x100, 0x80}, {0x40000, 0x1000}};
    layout.launch = 0x80022000;
    if (!GetParam())
        layout.trailer.reset();
    std::vector<uint8_t> bytes = devkit::EncodeBinImage(layout);

    EXPECT_EQ(Load(std::string(bytes.begin(), bytes.end())), 1u);

    EXPECT_EQ(g_ImageStart, 0x80021000u);
    EXPECT_EQ(g_ImageLen, 0x61234u);
    EXPECT_EQ(g_LaunchAddr, 0x80022000u);
    // The gaps read as erased flash in the image's first ImageLen bytes of the buffer.
    std::string expected(0x61234, '\xFF');
    std::string image(layout.image.begin(), layout.image.end());
    for (auto [from, to] :
         {std::pair<size_t, size_t>{0, 0x100}, {0x180, 0x40000}, {0x41000, 0x61234}})
        expected.replace(from, to - from, image.substr(from, to - from));
    std::string tail(0x1000, '\xFF');
    // Offset 0 is RAM_IMAGE_BASE: the image starts 0x1000 in; the fill covers ImageLen from 0.
    ExpectBuffer({{0, tail}, {0x1000, expected}});
    std::vector<std::string> log = device_->LogEntries();
    ASSERT_EQ(log.size(), 8u);
    EXPECT_EQ(log[1], ImageStartLine(0x80021000, 0x61234));
    EXPECT_EQ(log[2], RecordLine(1, 0x80021000, 0x100,
                                 devkit::RecordChecksum({layout.image.data(), 0x100})));
    EXPECT_EQ(log[3], RecordLine(2, 0x80021180, 0x30000,
                                 devkit::RecordChecksum({layout.image.data() + 0x180, 0x30000})));
    EXPECT_EQ(log[4], RecordLine(3, 0x80051180, 0x40000 - 0x30180,
                                 devkit::RecordChecksum({layout.image.data() + 0x30180, 0xFE80})));
    EXPECT_EQ(log[5], RecordLine(4, 0x80062000, 0x20234,
                                 devkit::RecordChecksum({layout.image.data() + 0x41000, 0x20234})));
    EXPECT_EQ(log[6], RecordLine(5, 0, 0x80022000, 0));
    EXPECT_EQ(log[7], kEnd);
    ExpectNothingHeld();
}

INSTANTIATE_TEST_SUITE_P(Trailer, KitImage, testing::Bool(),
                         [](const auto &info) { return info.param ? "With" : "Without"; });

// What the kit refuses to build, each for a reason a command can show.
TEST(BinImageKit, RefusesWhatCannotBeEncoded)
{
    struct Row {
        const char *name;
        std::function<void(devkit::BinImageLayout &)> change;
    };
    for (const Row &row : {
             Row{"RecordSizeZero", [](auto &layout) { layout.recordSize = 0; }},
             Row{"GapPastTheEnd",
                 [](auto &layout) {
                     layout.gaps = {{90, 11}};
                 }},
             Row{"GapStartsPastTheEnd",
                 [](auto &layout) {
                     layout.gaps = {{101, 0}};
                 }},
             Row{"PastTheAddressSpace", [](auto &layout) { layout.start = 0xFFFFFFA0; }},
             Row{"ZeroRecordAtAddressZero",
                 [](auto &layout) {
                     layout.start = 0;
                     layout.image.assign(100, 0);
                 }},
             Row{"CompanyTooLong", [](auto &layout) { layout.trailer->company = "QUORS"; }},
             Row{"ProductTooLong", [](auto &layout) { layout.trailer->product = "K275D-2024X"; }},
         }) {
        devkit::BinImageLayout layout;
        layout.image.assign(100, 1);
        EXPECT_NO_THROW(devkit::EncodeBinImage(layout)) << row.name;
        row.change(layout);
        EXPECT_THROW(devkit::EncodeBinImage(layout), std::invalid_argument) << row.name;
    }
}

TEST(BinImageKit, WritesTheWholeFileAndNothingBeside)
{
    TempDevice device;
    devkit::BinImageLayout layout;
    layout.image.assign(70000, 3);
    std::filesystem::path file = device.folder() / "nk.bin";

    devkit::WriteBinImage(file, layout);

    std::vector<uint8_t> bytes = devkit::EncodeBinImage(layout);
    std::ifstream in(file, std::ios::binary);
    EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}), bytes);
    // Signature, header, two records of at most 64 KiB, the terminator, the trailer.
    EXPECT_EQ(bytes.size(), 7u + 8 + 2 * 12 + 70000 + 12 + 30);
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(device.folder()))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names.count("nk.bin.tmp"), 0u);
}

}  // namespace loader_test
