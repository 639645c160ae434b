// Writing the NK image from block 6 on and recording it in the TOC: each row's log and control
// codes, then what blocks 6 to 15 and the TOC hold, against tests/golden/osupdate_nk_NAME.log.
#include "osupdate/OSUPDATE.h"
#include "osupdate/nk_writer.h"
#include "tests/support/expect.h"
#include "tests/support/flash_fixture.h"
#include "toc/toc.h"

// Named, so that the area's files can share one unity build.
namespace nk_writer_test {
namespace {

using nlohmann::json;
using qs_test::Lines;

constexpr uint32_t kRecord = NAND_SECTOR_RECORD_SIZE;
constexpr DWORD kFirstBytes = 0x1F800;  // the first NK block keeps its sector 0
constexpr DWORD kBlock = NAND_BLOCK_SIZE;
constexpr uint32_t kSeenBlocks = 16;  // the blocks the rows fill and compare

struct Row {
    const char *name;
    DWORD length;
    const char *deviceJson = "{}";
    std::vector<uint32_t> markedBad = {};  // old content with a bad mark in sector 0
    bool allBadFromSix = false;            // on a flash of 400 blocks
    bool noBuffer = false, noArray = false;
};

void PrintTo(const Row &row, std::ostream *os)
{
    *os << row.name;
}

class NkWriter : public qs_test::FlashTest, public testing::WithParamInterface<Row> {
protected:
    // A device with a stored TOC whose NK descriptor carries its own name and reserved bytes,
    // and old content in every NK block that may be changed.
    void Start(const Row &row)
    {
        json deviceJson = json::parse(row.deviceJson);
        if (row.allBadFromSix) {
            deviceJson["flash"]["blocks"] = 400;
            for (uint32_t block = NK_FIRST_BLOCK; block < 400; ++block)
                deviceJson["flash"]["bad"].push_back(block);
        }
        OpenDevice(deviceJson);
        const std::vector<uint32_t> &factoryBad = device().device().Config().flash.bad;
        blocks_ = std::min(device().device().Config().flash.blocks, kSeenBlocks);
        for (uint32_t block = NK_FIRST_BLOCK; block < blocks_; ++block)
            if (!std::count(factoryBad.begin(), factoryBad.end(), block))
                FillBlock(block, 0xFF,
                          std::count(row.markedBad.begin(), row.markedBad.end(), block) ? 0 : 0xFF);
        TOC_Init();
        strcpy(reinterpret_cast<char *>(g_TOC.ID[3].String), "nk_r5.bin");
        memset(g_TOC.ID[3].bReserved, 0x3C, sizeof(g_TOC.ID[3].bReserved));
        g_TOC.ID[3].dwTtlSectors = 0x1234;
        ASSERT_EQ(TOC_Write(disk_), 1u);
        tocBefore_ = g_TOC;
        KeepBlocks(blocks_);
        info_.assign(NAND_SECTORS_PER_BLOCK, SectorInfo{0x5A5A5A5A, 0x00, 0x00, 0x5A5A});
        // The image's bytes tell their offsets apart, also across sectors and blocks.
        image_.resize(std::min<DWORD>(row.length, 4 * kBlock) + kBlock);
        for (size_t i = 0; i < image_.size(); ++i)
            image_[i] = BYTE(i * 7 + i / 2048 + i / kBlock + 1);
        ForgetSetup();
    }

    // "as before", "holds the image from 0x.." (a first NK block keeps its sector 0 and takes
    // 63 sectors, a further one takes 64; past the image's end 0xFF; every record as it was), or
    // "changed".
    std::string Content(uint32_t block, DWORD length)
    {
        std::vector<uint8_t> raw = RawBlock(block), expected = kept_[block];
        if (raw == expected)
            return "as before";
        for (DWORD start = 0; start < image_.size(); start += start ? kBlock : kFirstBytes) {
            DWORD offset = start;
            for (uint32_t s = start ? 0 : 1; s < NAND_SECTORS_PER_BLOCK; ++s)
                for (size_t i = 0; i < NAND_SECTOR_SIZE; ++i, ++offset)
                    expected[s * kRecord + i] =
                        offset < std::min<size_t>(length, image_.size()) ? image_[offset] : 0xFF;
            if (raw == expected)
                return "holds the image from 0x" + qs_test::Hex(start);
        }
        return "changed";
    }

    // The TOC on the flash: as before, or only the NK descriptor's fields changed.
    std::string TocState()
    {
        TOC stored;
        memcpy(&stored, RawSector(TOC_SECTOR).data(), sizeof(stored));
        std::string state = memcmp(&stored, &g_TOC, sizeof(TOC)) == 0 ? "" : ", not in memory";
        if (memcmp(&stored, &tocBefore_, sizeof(TOC)) == 0)
            return "as before" + state;
        IMAGE_DESCRIPTOR &nk = stored.ID[3], &old = tocBefore_.ID[3];
        nk.dwVersion = old.dwVersion, nk.dwSignature = old.dwSignature;
        nk.dwImageType = old.dwImageType, nk.dwTtlSectors = old.dwTtlSectors;
        nk.dwLoadAddress = old.dwLoadAddress, nk.dwJumpAddress = old.dwJumpAddress;
        nk.dwStoreOffset = old.dwStoreOffset;
        if (memcmp(&stored, &tocBefore_, sizeof(TOC)) == 0)
            return "only the NK descriptor's fields changed" + state;
        return "changed" + state;
    }

    std::vector<BYTE> image_;
    std::vector<SectorInfo> info_;
    TOC tocBefore_;
    uint32_t blocks_ = 0;
};

TEST_P(NkWriter, LogCodesBlocksAndTocAsGolden)
{
    const Row &row = GetParam();
    Start(row);
    DWORD result = WriteNK(disk_, row.noBuffer ? NULL : image_.data(),
                           row.noArray ? NULL : info_.data(), 0x80020000, row.length, 0x80021234);
    Lines seen = qs_test::Transcript();
    seen.push_back("result " + std::to_string(result) + "\r\n");
    for (uint32_t block = NK_FIRST_BLOCK; block < blocks_; ++block)
        seen.push_back("block " + std::to_string(block) + " " + Content(block, row.length) +
                       "\r\n");
    seen.push_back("TOC " + TocState() + "\r\n");
    qs_test::ExpectGoldenLog(seen, std::string("osupdate_nk_") + row.name);
    ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(
    Table, NkWriter,
    testing::Values(
        Row{"TwoFullFurtherBlocks", kFirstBytes + 2 * kBlock},
        Row{"OneByteIntoTheSecondBlock", kFirstBytes + 1},
        // The first block full: one further block all the same, all 0xFF.
        Row{"FirstBlockExactlyFull", kFirstBytes},
        // Shorter than the first block: that block alone, its tail 0xFF.
        Row{"ShorterThanTheFirstBlock", 0x1001}, Row{"OneByte", 1},
        Row{"BlockSixMarkedBad", kFirstBytes + kBlock, "{}", {6}},
        Row{"BlockSixFactoryBad", kFirstBytes + kBlock, R"({"flash": {"blocks": 16, "bad": [6]}})"},
        // The data meant for a bad further block goes to the next usable one.
        Row{"BadFurtherBlocksSkipped",
            kFirstBytes + 3 * kBlock + 0x800,
            R"({"flash": {"blocks": 16, "bad": [10]}})",
            {8}},
        // A block whose status cannot be asked counts as usable.
        Row{"StatusUnknownCountsUsable", kFirstBytes + 1,
            R"({"flash": {"blocks": 16, "faults": [{"op": "status", "block": 7}]}})"},
        // A TOC that cannot be stored does not undo the image on the flash.
        Row{"TocWriteFails", kFirstBytes + 1,
            R"({"flash": {"blocks": 16, "faults": [{"op": "erase", "block": 5, "nth": 2}]}})"},
        Row{"NoBlockBuffer", kFirstBytes + 1, R"({"heap": {"limit_bytes": 65536}})"},
        Row{"LongerThanTheBuffer", RAM_IMAGE_BUFFER_SIZE + 1}, Row{"Empty", 0},
        Row{.name = "NoBuffer", .length = kFirstBytes + 1, .noBuffer = true},
        Row{.name = "NoArray", .length = kFirstBytes + 1, .noArray = true},
        Row{"FirstBlockUnreadable", kFirstBytes + 1,
            R"({"flash": {"blocks": 16, "faults": [{"op": "read", "sector": 389}]}})"},
        Row{"FirstBlockErase", kFirstBytes + 1,
            R"({"flash": {"blocks": 16, "faults": [{"op": "erase", "block": 6, "nth": 2}]}})"},
        Row{"FirstBlockWrite", kFirstBytes + 1,
            R"({"flash": {"blocks": 16, "faults": [{"op": "write", "sector": 400, "nth": 2}]}})"},
        Row{"FurtherBlockUnreadable", kFirstBytes + 2 * kBlock,
            R"({"flash": {"blocks": 16, "faults": [{"op": "read", "sector": 515}]}})"},
        Row{"FurtherBlockErase", kFirstBytes + 2 * kBlock,
            R"({"flash": {"blocks": 16, "faults": [{"op": "erase", "block": 8, "nth": 2}]}})"},
        Row{"FurtherBlockWrite", kFirstBytes + 2 * kBlock,
            R"({"flash": {"blocks": 16, "faults": [{"op": "write", "sector": 520, "nth": 2}]}})"},
        // Past the last block the status query fails and the read then ends the search.
        Row{"EveryBlockFromSixBad", kFirstBytes + 1,
            R"({"flash": {"blocks": 16, "bad": [6, 7, 8, 9, 10, 11, 12, 13, 14, 15]}})"},
        Row{"FlashEndsInsideTheImage", kFirstBytes + 2 * kBlock, R"({"flash": {"blocks": 8}})"},
        // The search gives up once it has passed more bad blocks than the largest image spans.
        Row{.name = "SearchGivesUp", .length = kFirstBytes + 1, .allBadFromSix = true}),
    [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace nk_writer_test
