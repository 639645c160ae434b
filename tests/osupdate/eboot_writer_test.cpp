// Writing the boot loader image onto blocks 0 to 4: each row's log and control codes, then what
// the buffer and blocks 0 to 5 hold, against tests/golden/osupdate_eboot_NAME.log.
#include <cstring>
#include <filesystem>
#include <optional>

#include "devkit/nb0_image.h"
#include "osupdate/OSUPDATE.h"
#include "osupdate/eboot_writer.h"
#include "platform/host/call_faults.h"
#include "tests/support/expect.h"
#include "tests/support/flash_fixture.h"

// Named, so that the area's files can share one unity build.
namespace eboot_writer_test {

using nlohmann::json;
using qs_test::Lines;

const char16_t kImagePath[] = u"\\flashdisk\\K275D-Update\\R5boot_240315.nb0";
const char kImageFile[] = "\\flashdisk\\K275D-Update\\R5boot_240315.nb0";
constexpr uint32_t kRecord = NAND_SECTOR_RECORD_SIZE;

// The kit's recognisable .nb0 with its checksum word cleared, so that the word on the flash can
// only come from the writer; longer files go on with a pattern.
std::vector<uint8_t> Nb0(size_t size)
{
    std::vector<uint8_t> image = devkit::MakeNb0(std::nullopt, std::nullopt);
    devkit::StoreWord(image, devkit::kStepLoaderChecksumOffset, 0);
    const std::vector<uint8_t> pattern = qs_test::PatternBytes(size, 0);
    if (size > image.size())
        image.insert(image.end(), pattern.begin() + std::ptrdiff_t(image.size()), pattern.end());
    image.resize(size);
    return image;
}

// The file with the StepLoader's byte sum at offset 8, as block 0 must hold it.
std::vector<uint8_t> Stamped(std::vector<uint8_t> image)
{
    uint32_t sum = devkit::StepLoaderChecksum(std::span(image).first(devkit::kStepLoaderSize));
    devkit::StoreWord(image, devkit::kStepLoaderChecksumOffset, sum);
    return image;
}

struct Row {
    const char *name;
    const char *deviceJson = "{}";
    std::vector<std::array<BYTE, 3>> first = {};  // block, bOemFlags, bBadBlockMark of sector 0
    uint64_t size = EBOOT_IMAGE_SIZE;             // of the file; 0: none
    uint64_t failCall = 0;                        // the writer's k-th fallible call fails
    bool noBuffer = false, noArray = false;
};

void PrintTo(const Row &row, std::ostream *os)
{
    *os << row.name;
}

class EbootWriter : public qs_test::FlashTest, public testing::WithParamInterface<Row> {
protected:
    static void SetUpTestSuite() { buffer_ = new std::vector<BYTE>(RAM_IMAGE_BUFFER_SIZE); }
    static void TearDownTestSuite() { delete buffer_; }

    // Blocks 0 to 5 with old content and the row's first records (a factory-bad block keeps its
    // factory mark), the .nb0 named in g_ImagePath.
    void Start(const Row &row)
    {
        OpenDevice(json::parse(row.deviceJson));
        const std::vector<uint32_t> &factoryBad = device().device().Config().flash.bad;
        for (uint32_t block = 0; block <= TOC_BLOCK; ++block) {
            std::array<BYTE, 3> first = {BYTE(block), 0xFF, 0xFF};
            for (const auto &given : row.first)
                if (given[0] == block)
                    first = given;
            if (!std::count(factoryBad.begin(), factoryBad.end(), block))
                FillBlock(block, first[1], first[2]);
        }
        std::vector<uint8_t> nb0 = Nb0(std::min<uint64_t>(row.size, EBOOT_IMAGE_SIZE + 0x1000));
        device().PutFile(kImageFile, std::string(nb0.begin(), nb0.end()));
        std::filesystem::resize_file(device().Host(kImageFile), row.size);  // sparse past the nb0
        if (row.size == 0)
            std::filesystem::remove(device().Host(kImageFile));
        std::string file = device().ReadFile(kImageFile);
        image_.assign(file.begin(), file.end());
        PathCopy(g_ImagePath, kImagePath);
        KeepBlocks(TOC_BLOCK + 1);
        // The caller's array holds whatever was in memory before; the buffer is marked so that
        // a byte read into it shows.
        info_.assign(NAND_SECTORS_PER_BLOCK, SectorInfo{0x5A5A5A5A, 0x00, 0x00, 0x5A5A});
        std::memset(buffer_->data(), 0xC3, buffer_->size());
        ForgetSetup();
    }

    // Block 0: the stamped StepLoader in sectors 0-7 with their old records, the rest erased.
    // Blocks 1-4: the next 128 KiB of the file each, the old records with sector 0 marked as
    // boot area.
    bool HoldsNewImage(uint32_t block)
    {
        std::vector<uint8_t> image = Stamped(image_), raw = RawBlock(block);
        for (uint32_t s = 0; s < NAND_SECTORS_PER_BLOCK; ++s) {
            std::vector<uint8_t> expected(kRecord, 0xFF);
            if (block > 0 || s < STEPLOADER_SECTORS) {
                size_t from = block == 0 ? s * NAND_SECTOR_SIZE
                                         : STEPLOADER_SIZE + (block - 1) * NAND_BLOCK_SIZE +
                                               s * NAND_SECTOR_SIZE;
                std::copy_n(image.begin() + from, NAND_SECTOR_SIZE, expected.begin());
                std::copy_n(kept_[block].begin() + s * kRecord + NAND_SECTOR_SIZE, 8,
                            expected.begin() + NAND_SECTOR_SIZE);
                if (block > 0 && s == 0)
                    expected[NAND_SECTOR_SIZE + 4] &= 0xFE;
            }
            if (!std::equal(expected.begin(), expected.end(), raw.begin() + s * kRecord))
                return false;
        }
        return true;
    }

    // What the buffer and blocks 0 to 5 hold afterwards.
    Lines Outcome()
    {
        auto holds = [&](const std::vector<uint8_t> &bytes) {
            return !bytes.empty() && std::equal(bytes.begin(), bytes.end(), buffer_->begin());
        };
        const bool untouched =
            (*buffer_)[0] == 0xC3 && qs_test::RunEnd(*buffer_, 0) == buffer_->size();
        Lines lines = {untouched ? "buffer untouched\r\n"
                       : holds(Stamped(image_))
                           ? "buffer holds the file with the StepLoader checksum\r\n"
                       : holds(image_) ? "buffer holds the file\r\n"
                                       : "buffer changed\r\n"};
        for (uint32_t block = 0; block <= TOC_BLOCK; ++block)
            lines.push_back("block " + std::to_string(block) +
                            (RawBlock(block) == kept_[block] ? " as before\r\n"
                             : HoldsNewImage(block)          ? " holds the new image\r\n"
                                                             : " changed\r\n"));
        return lines;
    }

    static std::vector<BYTE> *buffer_;
    std::vector<uint8_t> image_;
    std::vector<SectorInfo> info_;
};

std::vector<BYTE> *EbootWriter::buffer_ = nullptr;

TEST_P(EbootWriter, LogCodesBufferAndBlocksAsGolden)
{
    const Row &row = GetParam();
    Start(row);
    DWORD result = 0;
    {
        ce_host::ScopedFailingCall fault(qs_test::CallFromNow(row.failCall));
        result = WriteEBootImage(disk_, row.noBuffer ? NULL : buffer_->data(),
                                 row.noArray ? NULL : info_.data());
    }
    Lines seen = qs_test::Transcript();
    // The boot area is read, the first sectors of blocks 1 to 4 included, only with the flag on.
    bool flagOn = false;
    for (const std::string &line : seen) {
        if (line.starts_with("> DSK1: IOCTL_FMD_SET_EBOOT_FLAG"))
            flagOn = line.find("in=ecac0000") != std::string::npos;
        uint32_t sector = 0;
        if (std::sscanf(line.c_str(), "> DSK1: IOCTL_FMD_READ_SECTOR %u+", &sector) == 1) {
            EXPECT_TRUE(flagOn || sector >= TOC_SECTOR) << "sector " << sector << " read first";
        }
    }
    seen.push_back("result " + std::to_string(result) + "\r\n");
    qs_test::ExpectGoldenLog(qs_test::Join({seen, Outcome()}),
                             std::string("osupdate_eboot_") + row.name);
    ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(
    Table, EbootWriter,
    testing::Values(
        Row{"AllGood"},
        // Reserved and read-only: the mark is the boot area's own, not a bad mark.
        Row{"MarkWithBootAreaFlagsIsGood", "{}", {{2, 0xFC, 0x00}}},
        Row{"BlockZeroReadingBadIsWritten", "{}", {{0, 0xFF, 0x00}}},
        Row{"BadBlocksRefusedBeforeAnyErase", "{}", {{1, 0xFE, 0x00}, {3, 0xFF, 0x00}}},
        Row{"FactoryBadBlock", R"({"flash": {"blocks": 16, "bad": [2]}})"},
        // No record to judge by: the block counts as bad.
        Row{"UnreadableFirstSector",
            R"({"flash": {"blocks": 16, "faults": [{"op": "read", "sector": 128}]}})"},
        Row{"BlockZeroRecordsUnreadable",
            R"({"flash": {"blocks": 16, "faults": [{"op": "read", "sector": 3}]}})"},
        Row{"EraseFailsOnBlockZero",
            R"({"flash": {"blocks": 16, "faults": [{"op": "erase", "block": 0, "nth": 2}]}})"},
        Row{"EraseFailsOnBlockThree",
            R"({"flash": {"blocks": 16, "faults": [{"op": "erase", "block": 3, "nth": 2}]}})"},
        Row{"StepLoaderWriteFails",
            R"({"flash": {"blocks": 16, "faults": [{"op": "write", "sector": 3, "nth": 2}]}})"},
        Row{"WriteFailsInsideBlockTwo",
            R"({"flash": {"blocks": 16, "faults": [{"op": "write", "sector": 130, "nth": 2}]}})"},
        Row{"RecordsOfBlockFourUnreadable",
            R"({"flash": {"blocks": 16, "faults": [{"op": "read", "sector": 260}]}})"},
        Row{.name = "NoFile", .size = 0},
        Row{"HeldOpenElsewhere",
            R"({"files": {"locked": ["\\flashdisk\\K275D-Update\\R5boot_240315.nb0"]}})"},
        Row{.name = "ReadFails", .failCall = 3},  // open, size, read
        Row{.name = "OneByteShort", .size = EBOOT_IMAGE_SIZE - 1},
        Row{.name = "OneByteOverTheBuffer", .size = RAM_IMAGE_BUFFER_SIZE + 1},
        // The writer takes the five blocks' bytes; the rest of a longer file stays in the buffer.
        Row{.name = "FillingTheBuffer", .size = RAM_IMAGE_BUFFER_SIZE},
        Row{.name = "NoBuffer", .noBuffer = true}, Row{.name = "NoArray", .noArray = true}),
    [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

}  // namespace eboot_writer_test
