// Writing the boot loader image onto blocks 0 to 4: the log, the control codes, the flash bytes.
#include <cstdio>
#include <filesystem>
#include <optional>

#include "devkit/nb0_image.h"
#include "osupdate/OSUPDATE.h"
#include "osupdate/eboot_writer.h"
#include "tests/support/flash_fixture.h"

// Named, so that the area's files can share one unity build.
namespace eboot_writer_test {

using nlohmann::json;
using Lines = std::vector<std::string>;

const char16_t kImagePath[] = u"\\flashdisk\\K275D-Update\\R5boot_240315.nb0";
const char kImageFile[] = "\\flashdisk\\K275D-Update\\R5boot_240315.nb0";
constexpr uint32_t kRecord = NAND_SECTOR_RECORD_SIZE;

// The kit's recognisable .nb0 with its checksum word cleared, so that the word on the flash can
// only come from the writer; longer files go on with a pattern.
std::vector<uint8_t> Nb0(size_t size)
{
    std::vector<uint8_t> image = devkit::MakeNb0(std::nullopt, std::nullopt);
    devkit::StoreWord(image, devkit::kStepLoaderChecksumOffset, 0);
    for (size_t i = image.size(); i < size; ++i)
        image.push_back(uint8_t(i * 13 + i / 2048));
    image.resize(size);
    return image;
}

// What block 0 must hold: the file's StepLoader with its byte sum at offset 8.
std::vector<uint8_t> Stamped(std::vector<uint8_t> image)
{
    uint32_t sum = devkit::StepLoaderChecksum(std::span(image).first(devkit::kStepLoaderSize));
    devkit::StoreWord(image, devkit::kStepLoaderChecksumOffset, sum);
    return image;
}

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%x", value);
    return text;
}

Lines Join(std::initializer_list<Lines> parts)
{
    Lines all;
    for (const Lines &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

const Lines kOpen = {"WriteEBootImage ++ \r\n",
                     "Open EBoot image file... \\flashdisk\\K275D-Update\\R5boot_240315.nb0 \r\n"};
const Lines kBlocks = {"[QuorShell] dwBlock 0 NumBlocks 5 \r\n"};
const Lines kStart = Join({kOpen, kBlocks});

Lines Erase(uint32_t block)
{
    return {"[QuorShell] WriteEBootImage: Erase " + std::to_string(block) + " block \r\n"};
}

// The lines of one block erased and written; block 0 adds the StepLoader's own two.
Lines Wrote(uint32_t block)
{
    Lines lines = Erase(block);
    lines.push_back("[QuorShell] WriteEBootImage: Write " + std::to_string(block) + " block \r\n");
    if (block == 0) {
        std::vector<uint8_t> image = Stamped(Nb0(EBOOT_IMAGE_SIZE));
        auto word = [&](size_t at) { return Hex(devkit::ReadWord(image, at)); };
        lines.push_back("Checksum = " + word(8) + ",  header = " + word(0) + " " + word(4) + " " +
                        word(8) + " " + word(12) + "\r\n");
        lines.push_back("OSUPDATE NandWriteBlock StepLoader break \r\n");
    }
    return lines;
}

Lines WroteAll()
{
    return Join({Wrote(0), Wrote(1), Wrote(2), Wrote(3), Wrote(4)});
}

Lines End(int result)
{
    return {"WriteEBootImage -- return " + std::to_string(result) + " \r\n"};
}

struct FirstRecord {
    uint32_t block;
    BYTE oemFlags;
    BYTE badBlockMark;
};

class EbootWriter : public qs_test::FlashTest {
protected:
    // A device whose blocks 0 to 5 hold old content, and a .nb0 of the given size in the update
    // folder, named in g_ImagePath.
    void Start(const json &deviceJson, size_t imageSize, const std::vector<FirstRecord> &first = {})
    {
        OpenDevice(deviceJson);
        image_ = Nb0(imageSize);
        device().PutFile(kImageFile, std::string(image_.begin(), image_.end()));
        PathCopy(g_ImagePath, kImagePath);
        SeedOldContent(first);
        KeepBlocks(TOC_BLOCK + 1);
        // The caller's array holds whatever was in memory before.
        info_.assign(NAND_SECTORS_PER_BLOCK, SectorInfo{0x5A5A5A5A, 0x00, 0x00, 0x5A5A});
        ForgetSetup();
    }

    void SeedOldContent(const std::vector<FirstRecord> &first)
    {
        // A factory-bad block takes no change: it keeps its factory mark.
        const std::vector<uint32_t> &factoryBad = device().device().Config().flash.bad;
        for (uint32_t block = 0; block <= TOC_BLOCK; ++block) {
            if (std::count(factoryBad.begin(), factoryBad.end(), block))
                continue;
            FirstRecord record = {block, 0xFF, 0xFF};
            for (const FirstRecord &given : first)
                if (given.block == block)
                    record = given;
            FillBlock(block, record.oemFlags, record.badBlockMark);
        }
    }

    DWORD Write(BYTE *buffer) { return WriteEBootImage(disk_, buffer, info_.data()); }

    // Block 0: the stamped StepLoader in sectors 0-7 with their old records, the rest erased.
    // Blocks 1-4: the next 128 KiB of the file each, the old records with sector 0 marked as
    // boot area.
    void ExpectNewImage(uint32_t block)
    {
        std::vector<uint8_t> image = Stamped(image_);
        std::vector<uint8_t> raw = RawBlock(block);
        for (uint32_t s = 0; s < NAND_SECTORS_PER_BLOCK; ++s) {
            uint32_t sector = block * NAND_SECTORS_PER_BLOCK + s;
            std::vector<uint8_t> expected(kRecord, 0xFF);
            if (block > 0 || s < STEPLOADER_SECTORS) {
                size_t from = block == 0 ? s * NAND_SECTOR_SIZE
                                         : STEPLOADER_SIZE + (block - 1) * NAND_BLOCK_SIZE +
                                               s * NAND_SECTOR_SIZE;
                std::copy_n(image.begin() + from, NAND_SECTOR_SIZE, expected.begin());
                std::vector<uint8_t> old(kept_[block].begin() + s * kRecord + NAND_SECTOR_SIZE,
                                         kept_[block].begin() + (s + 1) * kRecord);
                if (block > 0 && s == 0)
                    old[4] &= 0xFE;
                std::copy(old.begin(), old.end(), expected.begin() + NAND_SECTOR_SIZE);
            }
            ASSERT_TRUE(std::equal(expected.begin(), expected.end(), raw.begin() + s * kRecord))
                << "block " << block << " sector " << sector;
        }
    }

    std::vector<uint8_t> image_;
    std::vector<SectorInfo> info_;
};

struct FlashCase {
    const char *name;
    const char *deviceJson;
    std::vector<FirstRecord> first;
    Lines log;
    DWORD result;
    bool flagSet;                     // the EBoot flag went on before it went off
    std::vector<std::string> erased;  // ERASE_BLOCK inputs, in order
    std::vector<uint32_t> written;    // blocks holding the new image afterwards
    std::vector<uint32_t> unchanged;  // blocks byte for byte as before
};

void PrintTo(const FlashCase &c, std::ostream *os)
{
    *os << c.name;
}

class EbootWriterFlash : public EbootWriter, public testing::WithParamInterface<FlashCase> {};

TEST_P(EbootWriterFlash, WritesOrLeavesTheBootArea)
{
    const FlashCase &c = GetParam();
    Start(json::parse(c.deviceJson), EBOOT_IMAGE_SIZE, c.first);
    std::vector<BYTE> buffer(EBOOT_IMAGE_SIZE);

    EXPECT_EQ(Write(buffer.data()), c.result);
    EXPECT_EQ(Log(), c.log);
    EXPECT_EQ(ControlInputs("IOCTL_FMD_ERASE_BLOCK"), c.erased);
    // Set only once blocks 1 to 4 proved good, cleared on every way out.
    std::vector<std::string> flagWords = {"00000000"};
    if (c.flagSet)
        flagWords.insert(flagWords.begin(), "ecac0000");
    EXPECT_EQ(ControlInputs("IOCTL_FMD_SET_EBOOT_FLAG"), flagWords);
    for (uint32_t block : c.written)
        ExpectNewImage(block);
    for (uint32_t block : c.unchanged)
        ExpectAsBefore(block);
    ExpectNothingLeft();
}

const std::vector<std::string> kEraseAll = {"00000000", "01000000", "02000000", "03000000",
                                            "04000000"};
const std::vector<uint32_t> kBootArea = {0, 1, 2, 3, 4, 5};

std::string Bad(uint32_t block)
{
    return "[QuorShell] WriteEBootImage: " + std::to_string(block) + " block is bad block \r\n";
}

// The good count, the refusal, and the exit.
Lines Refused(int good)
{
    return {"[QuorShell] WriteEBootImage: only " + std::to_string(good) +
                " of 4 blocks good, EBoot not written \r\n",
            End(0)[0]};
}

std::string FmdFail(const char *code)
{
    return std::string("[QuorShell]FMD DeviceIoControl ") + code + " fail \r\n";
}

std::string Failed(const char *what, uint32_t block)
{
    return std::string("[QuorShell] WriteEBootImage: failed to ") + what + " block (0x" +
           std::to_string(block) + ").\r\n";
}

INSTANTIATE_TEST_SUITE_P(
    Table, EbootWriterFlash,
    testing::Values(
        FlashCase{"AllGood",
                  "{}",
                  {},
                  Join({kStart, WroteAll(), End(1)}),
                  1,
                  true,
                  kEraseAll,
                  {0, 1, 2, 3, 4},
                  {5}},
        // Reserved and read-only: the mark is the boot area's own, not a bad mark.
        FlashCase{"MarkWithBootAreaFlagsIsGood",
                  "{}",
                  {{2, 0xFC, 0x00}},
                  Join({kStart, WroteAll(), End(1)}),
                  1,
                  true,
                  kEraseAll,
                  {0, 1, 2, 3, 4},
                  {5}},
        FlashCase{"BlockZeroReadingBadIsWritten",
                  "{}",
                  {{0, 0xFF, 0x00}},
                  Join({kStart, WroteAll(), End(1)}),
                  1,
                  true,
                  kEraseAll,
                  {0, 1, 2, 3, 4},
                  {5}},
        FlashCase{"BadBlocksRefusedBeforeAnyErase",
                  "{}",
                  {{1, 0xFE, 0x00}, {3, 0xFF, 0x00}},
                  Join({kStart, {Bad(1), Bad(3)}, Refused(2)}),
                  0,
                  false,
                  {},
                  {},
                  kBootArea},
        FlashCase{"FactoryBadBlock",
                  R"({"flash": {"blocks": 16, "bad": [2]}})",
                  {},
                  Join({kStart, {Bad(2)}, Refused(3)}),
                  0,
                  false,
                  {},
                  {},
                  kBootArea},
        // No record to judge by: the block counts as bad.
        FlashCase{"UnreadableFirstSector",
                  R"({"flash": {"blocks": 16, "faults": [{"op": "read", "sector": 128}]}})",
                  {},
                  Join({kStart,
                        {FmdFail("IOCTL_FMD_READ_SECTOR"),
                         "[QuorShell] WriteEBootImage: NandReadPage fail \r\n"},
                        Refused(3)}),
                  0,
                  false,
                  {},
                  {},
                  kBootArea},
        FlashCase{"BlockZeroRecordsUnreadable",
                  R"({"flash": {"blocks": 16, "faults": [{"op": "read", "sector": 3}]}})",
                  {},
                  Join({kStart, {FmdFail("IOCTL_FMD_READ_SECTOR"), Failed("read", 0)}, End(0)}),
                  0,
                  true,
                  {},
                  {},
                  kBootArea},
        FlashCase{
            "EraseFailsOnBlockZero",
            R"({"flash": {"blocks": 16, "faults": [{"op": "erase", "block": 0, "nth": 2}]}})",
            {},
            Join(
                {kStart, Erase(0), {FmdFail("IOCTL_FMD_ERASE_BLOCK"), Failed("erase", 0)}, End(0)}),
            0,
            true,
            {"00000000 failed"},
            {},
            kBootArea},
        FlashCase{"EraseFailsOnBlockThree",
                  R"({"flash": {"blocks": 16, "faults": [{"op": "erase", "block": 3, "nth": 2}]}})",
                  {},
                  Join({kStart,
                        Wrote(0),
                        Wrote(1),
                        Wrote(2),
                        Erase(3),
                        {FmdFail("IOCTL_FMD_ERASE_BLOCK"), Failed("erase", 3)},
                        End(0)}),
                  0,
                  true,
                  {"00000000", "01000000", "02000000", "03000000 failed"},
                  {0, 1, 2},
                  {3, 4, 5}},
        FlashCase{
            "WriteFailsInsideBlockTwo",
            R"({"flash": {"blocks": 16, "faults": [{"op": "write", "sector": 130, "nth": 2}]}})",
            {},
            Join({kStart,
                  Wrote(0),
                  Wrote(1),
                  Wrote(2),
                  {FmdFail("IOCTL_FMD_WRITE_SECTOR"), Failed("write", 2)},
                  End(0)}),
            0,
            true,
            {"00000000", "01000000", "02000000"},
            {0, 1},
            {3, 4, 5}},
        FlashCase{"RecordsOfBlockFourUnreadable",
                  R"({"flash": {"blocks": 16, "faults": [{"op": "read", "sector": 260}]}})",
                  {},
                  Join({kStart,
                        Wrote(0),
                        Wrote(1),
                        Wrote(2),
                        Wrote(3),
                        {FmdFail("IOCTL_FMD_READ_SECTOR"), Failed("read", 4)},
                        End(0)}),
                  0,
                  true,
                  {"00000000", "01000000", "02000000", "03000000"},
                  {0, 1, 2, 3},
                  {4, 5}}),
    [](const testing::TestParamInfo<FlashCase> &info) { return std::string(info.param.name); });

TEST_F(EbootWriter, SendsItsCodesInOrder)
{
    Start(json::object(), EBOOT_IMAGE_SIZE);
    std::vector<BYTE> buffer(EBOOT_IMAGE_SIZE);
    ASSERT_EQ(Write(buffer.data()), 1u);
    Lines expected = {"IOCTL_FMD_SET_SECTOR_ADDR in=40000000", "IOCTL_FMD_READ_SECTOR 64+1",
                      "IOCTL_FMD_SET_SECTOR_ADDR in=80000000", "IOCTL_FMD_READ_SECTOR 128+1",
                      "IOCTL_FMD_SET_SECTOR_ADDR in=c0000000", "IOCTL_FMD_READ_SECTOR 192+1",
                      "IOCTL_FMD_SET_SECTOR_ADDR in=00010000", "IOCTL_FMD_READ_SECTOR 256+1",
                      "IOCTL_FMD_SET_EBOOT_FLAG in=ecac0000"};
    const char *addresses[] = {"00000000", "40000000", "80000000", "c0000000", "00010000"};
    for (uint32_t block = 0; block <= EBOOT_LAST_BLOCK; ++block) {
        std::string first = std::to_string(block * NAND_SECTORS_PER_BLOCK);
        std::string address = std::string("IOCTL_FMD_SET_SECTOR_ADDR in=") + addresses[block];
        expected.push_back(address);
        expected.push_back("IOCTL_FMD_READ_SECTOR " + first + "+64");
        expected.push_back("IOCTL_FMD_ERASE_BLOCK in=0" + std::to_string(block) + "000000");
        expected.push_back(address);
        expected.push_back("IOCTL_FMD_WRITE_SECTOR " + first + (block == 0 ? "+8" : "+64"));
    }
    expected.push_back("IOCTL_FMD_SET_EBOOT_FLAG in=00000000");
    EXPECT_EQ(Calls(), expected);
    // The buffer keeps the file, with the checksum the flash got.
    EXPECT_TRUE(buffer == Stamped(image_));
}

TEST_F(EbootWriter, MissingBufferOrArraySendsNothing)
{
    Start(json::object(), EBOOT_IMAGE_SIZE);
    std::vector<BYTE> buffer(EBOOT_IMAGE_SIZE);
    const Lines refused = Join({kOpen, {"[QuorShell] WriteEBootImage Invalid Parameter \r\n"}});

    EXPECT_EQ(WriteEBootImage(disk_, NULL, info_.data()), 0u);
    EXPECT_EQ(WriteEBootImage(disk_, buffer.data(), NULL), 0u);
    EXPECT_EQ(Log(), Join({refused, refused}));
    EXPECT_TRUE(Calls().empty());
    ExpectNothingLeft();
}

struct FileCase {
    const char *name;
    uint64_t size;  // 0: no file
    const char *deviceJson;
    Lines after;  // what follows the opening lines, up to the exit line
    DWORD result;
};

void PrintTo(const FileCase &c, std::ostream *os)
{
    *os << c.name;
}

class EbootWriterFile : public EbootWriter, public testing::WithParamInterface<FileCase> {};

TEST_P(EbootWriterFile, TakesOnlyAFileThatFillsTheFiveBlocksAndFitsTheBuffer)
{
    const FileCase &c = GetParam();
    Start(json::parse(c.deviceJson), std::min<uint64_t>(c.size, EBOOT_IMAGE_SIZE + 0x1000));
    if (c.size == 0)
        std::filesystem::remove(device().Host(kImageFile));
    else
        std::filesystem::resize_file(device().Host(kImageFile), c.size);  // sparse past the nb0
    // The RAM image buffer, marked so that a byte read into it shows.
    std::vector<BYTE> buffer(RAM_IMAGE_BUFFER_SIZE, 0xC3);

    EXPECT_EQ(Write(buffer.data()), c.result);
    EXPECT_EQ(Log(), Join({kOpen, c.after, End(c.result)}));
    if (c.result) {
        for (uint32_t block = 0; block <= EBOOT_LAST_BLOCK; ++block)
            ExpectNewImage(block);
    } else {
        EXPECT_EQ(Calls(), Lines{"IOCTL_FMD_SET_EBOOT_FLAG in=00000000"});
        EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](BYTE b) { return b == 0xC3; }));
        for (uint32_t block = 0; block <= TOC_BLOCK; ++block)
            ExpectAsBefore(block);
    }
    ExpectAsBefore(TOC_BLOCK);
    ExpectNothingLeft();
}

std::string OutOfRange(const char *size)
{
    return std::string("[QuorShell] WriteEBootImage: image size 0x") + size +
           " is out of range 0x84000 - 0x2AE0000 \r\n";
}

INSTANTIATE_TEST_SUITE_P(
    Table, EbootWriterFile,
    testing::Values(
        FileCase{"Missing", 0, "{}", {"ERROR(2)- Cannot open bootimage file\r\n"}, 0},
        FileCase{"HeldOpenElsewhere",
                 EBOOT_IMAGE_SIZE,
                 R"({"files": {"locked": ["\\flashdisk\\K275D-Update\\R5boot_240315.nb0"]}})",
                 {"ERROR(32)- Cannot open bootimage file\r\n"},
                 0},
        FileCase{"OneByteShort", EBOOT_IMAGE_SIZE - 1, "{}", {OutOfRange("83FFF")}, 0},
        FileCase{
            "OneByteOverTheBuffer", RAM_IMAGE_BUFFER_SIZE + 1, "{}", {OutOfRange("2AE0001")}, 0},
        FileCase{"Exact", EBOOT_IMAGE_SIZE, "{}", Join({kBlocks, WroteAll()}), 1},
        // The writer takes the five blocks' bytes; the rest of a longer file stays in the buffer.
        FileCase{"FillingTheBuffer", RAM_IMAGE_BUFFER_SIZE, "{}", Join({kBlocks, WroteAll()}), 1}),
    [](const testing::TestParamInfo<FileCase> &info) { return std::string(info.param.name); });

}  // namespace eboot_writer_test
