// Writing the NK image from block 6 on and recording it in the TOC: log, codes, flash bytes.
#include "osupdate/OSUPDATE.h"
#include "osupdate/nk_writer.h"
#include "tests/support/flash_fixture.h"
#include "toc/toc.h"

// Named, so that the area's files can share one unity build.
namespace nk_writer_test {
namespace {

using nlohmann::json;
using Lines = std::vector<std::string>;

constexpr uint32_t kRecord = NAND_SECTOR_RECORD_SIZE;
constexpr DWORD kStart = 0x80020000;
constexpr DWORD kLaunch = 0x80021234;
constexpr uint32_t kFirstBytes = 0x1F800;
constexpr uint32_t kSeenBlocks = 16;  // the blocks the cases fill and compare

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%X", value);
    return text;
}

std::string Entry(DWORD length)
{
    return "[QuorShell] WriteNK ++ ImageStart:0x" + Hex(kStart) + " ImageLen:0x" + Hex(length) +
           " \r\n";
}

std::string Skip(uint32_t block)
{
    return "[QuorShell] WriteNK: " + std::to_string(block) + " block is bad block. So skip it \r\n";
}

std::string Wrote(uint32_t block)
{
    return "NandWriteBlock: " + std::to_string(block) + " block \r\n";
}

std::string Further(uint32_t count, uint32_t from)
{
    return "[QuorShell] WriteNK NumBlocks " + std::to_string(count) + " block from " +
           std::to_string(from) + " block \r\n";
}

const std::string kExit = "[QuorShell] WriteNK -- \r\n";
const Lines kTocStored = {"+ TOC_Write\r\n", "- TOC_Write\r\n", "TOC_Read: 5 \r\n",
                          " [QuorShell] g_ImageType: 0x8 \r\n", " - TOC_Read \r\n"};

// The image bytes: their value tells their offset apart, also across sectors and blocks.
std::vector<BYTE> Image(size_t length)
{
    std::vector<BYTE> image(std::max<size_t>(length, 1));
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = BYTE(i * 7 + i / 2048 + i / 0x20000 + 1);
    return image;
}

class NkWriter : public qs_test::FlashTest {
protected:
    // A device with a stored TOC whose NK descriptor carries its own name and reserved bytes,
    // and old content in every NK block that may be changed; listed blocks carry a bad mark.
    void Start(const json &deviceJson, const std::vector<uint32_t> &markedBad = {})
    {
        OpenDevice(deviceJson);
        const std::vector<uint32_t> &factoryBad = device().device().Config().flash.bad;
        uint32_t blocks = device().device().Config().flash.blocks;
        for (uint32_t block = NK_FIRST_BLOCK; block < std::min(blocks, kSeenBlocks); ++block)
            if (!std::count(factoryBad.begin(), factoryBad.end(), block))
                FillBlock(block, 0xFF,
                          std::count(markedBad.begin(), markedBad.end(), block) ? 0 : 0xFF);
        TOC_Init();
        strcpy(reinterpret_cast<char *>(g_TOC.ID[3].String), "nk_r5.bin");
        memset(g_TOC.ID[3].bReserved, 0x3C, sizeof(g_TOC.ID[3].bReserved));
        g_TOC.ID[3].dwTtlSectors = 0x1234;
        ASSERT_EQ(TOC_Write(disk_), 1u);
        tocBefore_ = g_TOC;
        KeepBlocks(std::min(blocks, kSeenBlocks));
        info_.assign(NAND_SECTORS_PER_BLOCK, SectorInfo{0x5A5A5A5A, 0x00, 0x00, 0x5A5A});
        ForgetSetup();
    }

    DWORD Write(const std::vector<BYTE> &image, DWORD length)
    {
        image_ = image;
        return WriteNK(disk_, image_.data(), info_.data(), kStart, length, kLaunch);
    }

    // The image laid out over the blocks: the first keeps its sector 0 and takes 63 sectors,
    // each further one 64; after the image's end 0xFF. Every record stays as it was.
    void ExpectImage(const std::vector<uint32_t> &blocks, size_t length)
    {
        size_t offset = 0;
        for (size_t n = 0; n < blocks.size(); ++n) {
            std::vector<uint8_t> raw = RawBlock(blocks[n]);
            const std::vector<uint8_t> &old = kept_[blocks[n]];
            for (uint32_t s = 0; s < NAND_SECTORS_PER_BLOCK; ++s) {
                std::vector<uint8_t> expected(old.begin() + s * kRecord,
                                              old.begin() + (s + 1) * kRecord);
                if (n > 0 || s > 0) {
                    std::fill_n(expected.begin(), NAND_SECTOR_SIZE, 0xFF);
                    for (size_t i = 0; i < NAND_SECTOR_SIZE && offset + i < length; ++i)
                        expected[i] = image_[offset + i];
                    offset += NAND_SECTOR_SIZE;
                }
                ASSERT_TRUE(std::equal(expected.begin(), expected.end(), raw.begin() + s * kRecord))
                    << "block " << blocks[n] << " sector " << s;
            }
        }
    }

    // The descriptor the boot loader finds, in memory and on the flash.
    void ExpectRecorded(DWORD ttlSectors)
    {
        IMAGE_DESCRIPTOR expected = tocBefore_.ID[3];
        expected.dwVersion = 1;
        expected.dwSignature = 0x48534643;
        expected.dwImageType = 8;
        expected.dwTtlSectors = ttlSectors;
        expected.dwLoadAddress = kStart;
        expected.dwJumpAddress = kLaunch;
        expected.dwStoreOffset = 0;
        EXPECT_EQ(memcmp(&g_TOC.ID[3], &expected, sizeof(expected)), 0);
        std::vector<uint8_t> sector = RawSector(TOC_SECTOR);
        TOC stored;
        memcpy(&stored, sector.data(), sizeof(stored));
        EXPECT_EQ(memcmp(&stored.ID[3], &expected, sizeof(expected)), 0);
        EXPECT_EQ(memcmp(&stored, &tocBefore_, offsetof(TOC, ID[3])), 0) << "only ID[3] changes";
    }

    // The log up to the TOC dump, and the dump's NK descriptor.
    void ExpectLog(const Lines &flashLines, DWORD ttlSectors)
    {
        Lines log = Log();
        Lines expected = flashLines;
        expected.insert(expected.end(), kTocStored.begin(), kTocStored.end());
        ASSERT_GT(log.size(), expected.size());
        EXPECT_EQ(Lines(log.begin(), log.begin() + expected.size()), expected);
        auto id3 = std::find(log.begin(), log.end(), "ID[3]\r\n");
        ASSERT_LE(id3 + 11, log.end());
        EXPECT_EQ(Lines(id3, id3 + 11),
                  (Lines{"ID[3]\r\n", "{\r\n", "  dwVersion: 0x1\r\n",
                         "  dwSignature: 0x48534643\r\n", "  String: nk_r5.bin\r\n",
                         "  dwImageType: 0x8\r\n", "  dwTtlSectors: 0x" + Hex(ttlSectors) + "\r\n",
                         "  dwLoadAddress: 0x80020000\r\n", "  dwJumpAddress: 0x80021234\r\n",
                         "  dwStoreOffset: 0x0\r\n", "}\r\n"}));
        EXPECT_EQ(log.back(), kExit);
    }

    std::vector<BYTE> image_;
    std::vector<SectorInfo> info_;
    TOC tocBefore_;
};

struct LayoutCase {
    const char *name;
    const char *deviceJson;
    std::vector<uint32_t> markedBad;
    DWORD length;
    Lines flashLines;              // from the entry line to the last block written
    std::vector<uint32_t> blocks;  // where the image lies, in order
    std::vector<uint32_t> unchanged;
    DWORD ttlSectors;
};

void PrintTo(const LayoutCase &c, std::ostream *os)
{
    *os << c.name;
}

class NkWriterLayout : public NkWriter, public testing::WithParamInterface<LayoutCase> {};

TEST_P(NkWriterLayout, PlacesTheImageAndRecordsIt)
{
    const LayoutCase &c = GetParam();
    Start(json::parse(c.deviceJson), c.markedBad);

    EXPECT_EQ(Write(Image(c.length), c.length), 1u);
    ExpectLog(c.flashLines, c.ttlSectors);
    ExpectImage(c.blocks, c.length);
    for (uint32_t block : c.unchanged)
        ExpectAsBefore(block);
    ExpectRecorded(c.ttlSectors);
    EXPECT_EQ(ControlInputs("IOCTL_FMD_SET_NK_FLAG"), (Lines{"ecac0000", "00000000"}));
    ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(
    Table, NkWriterLayout,
    testing::Values(
        LayoutCase{"TwoFullFurtherBlocks",
                   "{}",
                   {},
                   kFirstBytes + 2 * 0x20000,
                   {Entry(kFirstBytes + 2 * 0x20000), Wrote(6), Further(2, 7), Wrote(7), Wrote(8)},
                   {6, 7, 8},
                   {9},
                   0x3F + 2 * 0x40},
        LayoutCase{"OneByteIntoTheSecondBlock",
                   "{}",
                   {},
                   kFirstBytes + 1,
                   {Entry(kFirstBytes + 1), Wrote(6), Further(1, 7), Wrote(7)},
                   {6, 7},
                   {8},
                   0x40},
        // The first block full: one further block all the same, all 0xFF.
        LayoutCase{"FirstBlockExactlyFull",
                   "{}",
                   {},
                   kFirstBytes,
                   {Entry(kFirstBytes), Wrote(6), Further(1, 7), Wrote(7)},
                   {6, 7},
                   {8},
                   0x3F},
        // Shorter than the first block: that block alone, its tail 0xFF.
        LayoutCase{"ShorterThanTheFirstBlock",
                   "{}",
                   {},
                   0x1001,
                   {Entry(0x1001), Wrote(6), Further(0, 7)},
                   {6},
                   {7},
                   3},
        LayoutCase{"OneByte", "{}", {}, 1, {Entry(1), Wrote(6), Further(0, 7)}, {6}, {7}, 1},
        LayoutCase{"BlockSixMarkedBad",
                   "{}",
                   {6},
                   kFirstBytes + 0x20000,
                   {Entry(kFirstBytes + 0x20000), Skip(6), Wrote(7), Further(1, 8), Wrote(8)},
                   {7, 8},
                   {6, 9},
                   0x7F},
        LayoutCase{"BlockSixFactoryBad",
                   R"({"flash": {"blocks": 16, "bad": [6]}})",
                   {},
                   kFirstBytes + 0x20000,
                   {Entry(kFirstBytes + 0x20000), Skip(6), Wrote(7), Further(1, 8), Wrote(8)},
                   {7, 8},
                   {9},
                   0x7F},
        // The data meant for a bad further block goes to the next usable one.
        LayoutCase{"BadFurtherBlocksSkipped",
                   R"({"flash": {"blocks": 16, "bad": [10]}})",
                   {8},
                   kFirstBytes + 3 * 0x20000 + 0x800,
                   {Entry(kFirstBytes + 3 * 0x20000 + 0x800), Wrote(6), Further(4, 7), Wrote(7),
                    Skip(8), Wrote(9), Skip(10), Wrote(11), Wrote(12)},
                   {6, 7, 9, 11, 12},
                   {8, 13},
                   0x3F + 3 * 0x40 + 1},
        // A block whose status cannot be asked counts as usable.
        LayoutCase{
            "StatusUnknownCountsUsable",
            R"({"flash": {"blocks": 16, "faults": [{"op": "status", "block": 7}]}})",
            {},
            kFirstBytes + 1,
            {Entry(kFirstBytes + 1), Wrote(6), Further(1, 7),
             "[QuorShell]FMD DeviceIoControl IOCTL_FMD_GET_BLOCK_STATUS fail \r\n", Wrote(7)},
            {6, 7},
            {8},
            0x40}),
    [](const testing::TestParamInfo<LayoutCase> &info) { return std::string(info.param.name); });

TEST_F(NkWriter, EachBlockIsAskedReadErasedAndWritten)
{
    Start(json::object(), {7});
    ASSERT_EQ(Write(Image(kFirstBytes + 1), kFirstBytes + 1), 1u);
    Lines calls = Calls();
    Lines flash(calls.begin(),
                std::find(calls.begin(), calls.end(), "IOCTL_FMD_SET_TOC_FLAG in=ecac0000"));
    EXPECT_EQ(flash,
              (Lines{"IOCTL_FMD_SET_NK_FLAG in=ecac0000",
                     "IOCTL_FMD_GET_BLOCK_STATUS in=06000000 out=00000000",
                     "IOCTL_FMD_SET_SECTOR_ADDR in=80010000", "IOCTL_FMD_READ_SECTOR 384+64",
                     "IOCTL_FMD_ERASE_BLOCK in=06000000", "IOCTL_FMD_SET_SECTOR_ADDR in=80010000",
                     "IOCTL_FMD_WRITE_SECTOR 384+64",
                     "IOCTL_FMD_GET_BLOCK_STATUS in=07000000 out=02000000",
                     "IOCTL_FMD_GET_BLOCK_STATUS in=08000000 out=00000000",
                     "IOCTL_FMD_SET_SECTOR_ADDR in=00020000", "IOCTL_FMD_READ_SECTOR 512+64",
                     "IOCTL_FMD_ERASE_BLOCK in=08000000", "IOCTL_FMD_SET_SECTOR_ADDR in=00020000",
                     "IOCTL_FMD_WRITE_SECTOR 512+64"}));
    EXPECT_EQ(calls.back(), "IOCTL_FMD_SET_NK_FLAG in=00000000");
}

// A TOC that cannot be stored does not undo the image on the flash.
TEST_F(NkWriter, FailedTocWriteStillReportsTheImageWritten)
{
    Start(json::parse(
        R"({"flash": {"blocks": 16, "faults": [{"op": "erase", "block": 5, "nth": 2}]}})"));
    EXPECT_EQ(Write(Image(kFirstBytes + 1), kFirstBytes + 1), 1u);
    Lines log = Log();
    Lines expected = {Entry(kFirstBytes + 1),
                      Wrote(6),
                      Further(1, 7),
                      Wrote(7),
                      "+ TOC_Write\r\n",
                      "[QuorShell]FMD DeviceIoControl IOCTL_FMD_ERASE_BLOCK fail \r\n",
                      "TOC_Write ERROR: EraseBlock[5] \r\n",
                      "- TOC_Write fail \r\n",
                      "TOC_Read: 5 \r\n"};
    ASSERT_GT(log.size(), expected.size());
    EXPECT_EQ(Lines(log.begin(), log.begin() + expected.size()), expected);
    EXPECT_EQ(log.back(), kExit);
    ExpectImage({6, 7}, kFirstBytes + 1);
    ExpectAsBefore(TOC_BLOCK);
    ExpectNothingLeft();
}

struct FailureCase {
    const char *name;
    const char *deviceJson;
    DWORD length;
    Lines lines;                    // after the entry line, up to the exit line
    std::vector<uint32_t> written;  // blocks holding image data afterwards
};

void PrintTo(const FailureCase &c, std::ostream *os)
{
    *os << c.name;
}

class NkWriterFailure : public NkWriter, public testing::WithParamInterface<FailureCase> {};

TEST_P(NkWriterFailure, EndsWithTheTocUntouched)
{
    const FailureCase &c = GetParam();
    Start(json::parse(c.deviceJson));

    EXPECT_EQ(Write(Image(std::min<DWORD>(c.length, 3 * 0x20000)), c.length), 0u);
    Lines expected = {Entry(c.length)};
    expected.insert(expected.end(), c.lines.begin(), c.lines.end());
    expected.push_back(kExit);
    EXPECT_EQ(Log(), expected);
    ExpectImage(c.written, c.length);
    // No record of the image: the TOC on the flash and in memory is the old one.
    ExpectAsBefore(TOC_BLOCK);
    EXPECT_EQ(memcmp(&g_TOC, &tocBefore_, sizeof(TOC)), 0);
    // Cleared on the way out, also when it was never set.
    EXPECT_EQ(ControlInputs("IOCTL_FMD_SET_NK_FLAG").back(), "00000000");
    ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(
    Table, NkWriterFailure,
    testing::Values(
        FailureCase{"NoBlockBuffer",
                    R"({"heap": {"limit_bytes": 65536}})",
                    kFirstBytes + 1,
                    {"[QuorShell] WriteNK malloc fail \r\n"},
                    {}},
        FailureCase{
            "LongerThanTheBuffer",
            "{}",
            RAM_IMAGE_BUFFER_SIZE + 1,
            {"[QuorShell] WriteNK: ImageLen 0x2AE0001 is out of range 0x1 - 0x2AE0000 \r\n"},
            {}},
        FailureCase{"Empty",
                    "{}",
                    0,
                    {"[QuorShell] WriteNK: ImageLen 0x0 is out of range 0x1 - 0x2AE0000 \r\n"},
                    {}},
        FailureCase{"FirstBlockUnreadable",
                    R"({"flash": {"blocks": 16, "faults": [{"op": "read", "sector": 389}]}})",
                    kFirstBytes + 1,
                    {"[QuorShell]FMD DeviceIoControl IOCTL_FMD_READ_SECTOR fail \r\n",
                     "[QuorShell] WriteNK: NandReadBlock fail \r\n"},
                    {}},
        FailureCase{
            "FirstBlockErase",
            R"({"flash": {"blocks": 16, "faults": [{"op": "erase", "block": 6, "nth": 2}]}})",
            kFirstBytes + 1,
            {"[QuorShell]FMD DeviceIoControl IOCTL_FMD_ERASE_BLOCK fail \r\n",
             "[QuorShell] WriteNK: NandEraseBlock fail \r\n"},
            {}},
        FailureCase{
            "FirstBlockWrite",
            R"({"flash": {"blocks": 16, "faults": [{"op": "write", "sector": 400, "nth": 2}]}})",
            kFirstBytes + 1,
            {Wrote(6), "[QuorShell]FMD DeviceIoControl IOCTL_FMD_WRITE_SECTOR fail \r\n",
             "[QuorShell] WriteNK: NandWriteBlock fail \r\n"},
            {}},
        FailureCase{"FurtherBlockUnreadable",
                    R"({"flash": {"blocks": 16, "faults": [{"op": "read", "sector": 515}]}})",
                    kFirstBytes + 2 * 0x20000,
                    {Wrote(6), Further(2, 7), Wrote(7),
                     "[QuorShell]FMD DeviceIoControl IOCTL_FMD_READ_SECTOR fail \r\n",
                     "[QuorShell] WriteNK: NandReadBlock fail \r\n"},
                    {6, 7}},
        FailureCase{
            "FurtherBlockErase",
            R"({"flash": {"blocks": 16, "faults": [{"op": "erase", "block": 8, "nth": 2}]}})",
            kFirstBytes + 2 * 0x20000,
            {Wrote(6), Further(2, 7), Wrote(7),
             "[QuorShell]FMD DeviceIoControl IOCTL_FMD_ERASE_BLOCK fail \r\n",
             "[QuorShell] WriteNK: NandEraseBlock fail \r\n"},
            {6, 7}},
        FailureCase{
            "FurtherBlockWrite",
            R"({"flash": {"blocks": 16, "faults": [{"op": "write", "sector": 520, "nth": 2}]}})",
            kFirstBytes + 2 * 0x20000,
            {Wrote(6), Further(2, 7), Wrote(7), Wrote(8),
             "[QuorShell]FMD DeviceIoControl IOCTL_FMD_WRITE_SECTOR fail \r\n",
             "[QuorShell] WriteNK: NandWriteBlock fail \r\n"},
            {6, 7}},
        // Past the last block the status query fails and the read then ends the search.
        FailureCase{
            "EveryBlockFromSixBad",
            R"({"flash": {"blocks": 16, "bad": [6, 7, 8, 9, 10, 11, 12, 13, 14, 15]}})",
            kFirstBytes + 1,
            {Skip(6), Skip(7), Skip(8), Skip(9), Skip(10), Skip(11), Skip(12), Skip(13), Skip(14),
             Skip(15), "[QuorShell]FMD DeviceIoControl IOCTL_FMD_GET_BLOCK_STATUS fail \r\n",
             "[QuorShell]FMD DeviceIoControl IOCTL_FMD_SET_SECTOR_ADDR fail \r\n",
             "[QuorShell] WriteNK: NandReadBlock fail \r\n"},
            {}},
        FailureCase{"FlashEndsInsideTheImage",
                    R"({"flash": {"blocks": 8}})",
                    kFirstBytes + 2 * 0x20000,
                    {Wrote(6), Further(2, 7), Wrote(7),
                     "[QuorShell]FMD DeviceIoControl IOCTL_FMD_GET_BLOCK_STATUS fail \r\n",
                     "[QuorShell]FMD DeviceIoControl IOCTL_FMD_SET_SECTOR_ADDR fail \r\n",
                     "[QuorShell] WriteNK: NandReadBlock fail \r\n"},
                    {6, 7}}),
    [](const testing::TestParamInfo<FailureCase> &info) { return std::string(info.param.name); });

TEST_F(NkWriter, MissingBufferOrArrayTouchesNoBlock)
{
    Start(json::object());
    std::vector<BYTE> image = Image(kFirstBytes + 1);
    EXPECT_EQ(WriteNK(disk_, NULL, info_.data(), kStart, kFirstBytes + 1, kLaunch), 0u);
    EXPECT_EQ(WriteNK(disk_, image.data(), NULL, kStart, kFirstBytes + 1, kLaunch), 0u);
    const Lines refused = {Entry(kFirstBytes + 1), "[QuorShell] WriteNK Invalid Parameter \r\n",
                           kExit};
    Lines both = refused;
    both.insert(both.end(), refused.begin(), refused.end());
    EXPECT_EQ(Log(), both);
    EXPECT_EQ(Calls(),
              (Lines{"IOCTL_FMD_SET_NK_FLAG in=00000000", "IOCTL_FMD_SET_NK_FLAG in=00000000"}));
    ExpectNothingLeft();
}

// The search does not run to the end of a flash whose every block is bad: it stops once it has
// passed more bad blocks than the largest image has blocks.
TEST_F(NkWriter, SearchGivesUpAfterMoreBadBlocksThanTheLargestImageSpans)
{
    const uint32_t blocks = 400;
    json bad = json::array();
    for (uint32_t block = NK_FIRST_BLOCK; block < blocks; ++block)
        bad.push_back(block);
    Start(json{{"flash", {{"blocks", blocks}, {"bad", bad}}}});

    EXPECT_EQ(Write(Image(kFirstBytes + 1), kFirstBytes + 1), 0u);
    const uint32_t limit = RAM_IMAGE_BUFFER_SIZE / NAND_BLOCK_SIZE + 1;  // 344
    Lines log = Log();
    ASSERT_EQ(log.size(), limit + 4);
    EXPECT_EQ(log[1], Skip(NK_FIRST_BLOCK));
    EXPECT_EQ(log[limit + 1], Skip(NK_FIRST_BLOCK + limit));
    EXPECT_EQ(log[limit + 2], "[QuorShell] WriteNK: more than 344 bad blocks. So give up \r\n");
    EXPECT_EQ(log.back(), kExit);
    Lines statusQueries = ControlInputs("IOCTL_FMD_GET_BLOCK_STATUS");
    ASSERT_EQ(statusQueries.size(), limit + 1);
    EXPECT_EQ(statusQueries.back(), "5e010000 out=02000000");  // block 350
    EXPECT_TRUE(ControlInputs("IOCTL_FMD_ERASE_BLOCK").empty());
    ExpectNothingLeft();
}

}  // namespace
}  // namespace nk_writer_test
