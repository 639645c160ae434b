// The boot loader's view of a flash laid out by hand, and verify's verdict on it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "devkit/boot_loader_view.h"
#include "devkit/flash_verify.h"
#include "devkit/nb0_image.h"
#include "sim/config.h"
#include "tests/devkit/flash_layout.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr uint32_t kFirstBlockBytes = 63 * 2048;
constexpr uint32_t kBlockBytes = 128 * 1024;

class FlashVerifyTest : public ::testing::Test {
protected:
    // A 48-block flash; the blocks given are marked bad before anything is laid on it.
    void MakeFlash(std::vector<uint32_t> bad)
    {
        auto array = sim::FlashArray::InMemory(48);
        array->MarkBad(bad);
        flash_ = array.get();
        driver_ = std::make_unique<sim::FlashDriver>(sim::FlashConfig{}, std::move(array));
    }
    // An image of 35 further blocks and a bit, so that it reaches past block 40.
    void LayImage(std::vector<uint32_t> bad,
                  uint32_t size = kFirstBlockBytes + 35 * kBlockBytes + 5)
    {
        MakeFlash(bad);
        nk_.image = qs_test::PatternBytes(size, 11);
        loaded_.start = nk_.start;
        loaded_.launch = nk_.launch;
        loaded_.length = size;
        loaded_.bytes = nk_.image;
        loaded_.covered.assign(size, true);
        nb0_ = devkit::MakeNb0(std::nullopt, std::nullopt);
        qs_test::HandFlash hand(*flash_);
        hand.LayBootLoader(nb0_);
        hand.LayNk(nk_);
    }
    devkit::VerifyReport Verify(bool withNb0 = true)
    {
        if (withNb0)
            return devkit::VerifyFlash(*driver_, loaded_, std::span<const uint8_t>(nb0_));
        return devkit::VerifyFlash(*driver_, loaded_, std::nullopt);
    }
    void ClearByte(uint32_t block, uint32_t sector, uint32_t byte)
    {
        qs_test::HandFlash(*flash_).ClearByte(block, sector, byte);
    }

    sim::FlashArray *flash_ = nullptr;
    std::unique_ptr<sim::FlashDriver> driver_;
    qs_test::NkOnFlash nk_;
    devkit::LoadedBinImage loaded_;
    std::vector<uint8_t> nb0_;
};

TEST_F(FlashVerifyTest, AFlashLaidOutAsTheWritersDoPassesWithBadBlocksAt6And40)
{
    LayImage({6, 40});
    devkit::VerifyReport report = Verify();
    EXPECT_TRUE(report.Ok()) << *report.failure;
    EXPECT_THAT(report.passed,
                ElementsAre(HasSubstr("StepLoader: block 0 sectors 0-7 match"),
                            "EBoot: blocks 1, 2, 3, 4 match", "TOC: accepted by TOC_Read",
                            HasSubstr("ID[3]: CFSH, type 8, load 0x80020000, jump 0x80021000"),
                            "NK: blocks 7-44 match the image's 4716549 bytes"));
    EXPECT_EQ(report.nkBytesCompared, loaded_.length);

    devkit::BootLoaderView view = devkit::ViewBootLoader(*driver_);
    EXPECT_TRUE(view.stepLoader.checksumMatches);
    ASSERT_TRUE(view.nk);
    EXPECT_EQ(view.nk->unreadable, std::nullopt);
    EXPECT_EQ(view.nk->blocks.front(), 7u);
    EXPECT_EQ(view.nk->blocks.back(), 44u);
    EXPECT_THAT(view.nk->skipped, ElementsAre(6u, 40u));
}

TEST_F(FlashVerifyTest, OneChangedByteIsNamedByBlockSectorAndOffset)
{
    struct Case {
        const char *name;
        uint32_t block, sector, byte;
        const char *part;
    };
    // With 6 bad: image byte 5 is in block 7 sector 1; the fourth further block is 11; the
    // block after the bad 40 is 41.
    const Case cases[] = {
        {"first NK sector", 7, 1, 5, "NK"},
        {"further block", 11, 12, 0x1F3, "NK"},
        {"block after a bad one", 41, 0, 0, "NK"},
        {"last image byte", 44, 0, 4, "NK"},
        {"StepLoader checksum word", 0, 0, 8, "StepLoader"},
        {"StepLoader last sector", 0, 7, 0x7FF, "StepLoader"},
        {"EBoot", 3, 63, 0x10, "EBoot"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LayImage({6, 40});
        uint8_t before = flash_->Sector(c.block * 64 + c.sector)[c.byte];
        ASSERT_NE(before, 0x00);
        ClearByte(c.block, c.sector, c.byte);
        devkit::VerifyReport report = Verify();
        ASSERT_FALSE(report.Ok());
        char expected[120];
        std::snprintf(expected, sizeof expected,
                      "%s block %u sector %u byte 0x%X differs: flash 0x00, image 0x%02X", c.part,
                      c.block, c.sector, c.byte, before);
        EXPECT_EQ(*report.failure, expected);
        ASSERT_TRUE(report.difference);
        EXPECT_EQ(report.difference->place.block, c.block);
    }
}

TEST_F(FlashVerifyTest, BytesPastTheImageAndInSectorZeroOfTheFirstBlockAreNotTheImages)
{
    LayImage({6, 40});
    ClearByte(7, 0, 0);   // the first NK block's sector 0 keeps what was there
    ClearByte(44, 0, 5);  // just past the last image byte
    EXPECT_TRUE(Verify().Ok());
}

TEST_F(FlashVerifyTest, UncoveredBytesAreComparedWithTheLoadersFill)
{
    LayImage({}, kFirstBlockBytes + 3000);
    // No record covers bytes 100..199, which the loader fills; the flash holds other bytes.
    for (size_t i = 100; i < 200; ++i) {
        loaded_.covered[i] = false;
        loaded_.bytes[i] = 0xFF;
    }
    EXPECT_FALSE(Verify().Ok()) << "the flash holds pattern bytes, the loader's fill is 0xFF";
    for (size_t i = 100; i < 200; ++i)
        nk_.image[i] = 0xFF;
    MakeFlash({});
    qs_test::HandFlash hand(*flash_);
    hand.LayBootLoader(nb0_);
    hand.LayNk(nk_);
    devkit::VerifyReport report = Verify();
    EXPECT_TRUE(report.Ok()) << *report.failure;
    EXPECT_EQ(report.nkBytesFilled, 100u);
}

TEST_F(FlashVerifyTest, BadEbootBlocksShiftTheBootLoaderAndShortOnesAreNamed)
{
    MakeFlash({2});
    nb0_ = devkit::MakeNb0(std::nullopt, std::nullopt);
    qs_test::HandFlash(*flash_).LayBootLoader(nb0_);
    EXPECT_THAT(devkit::FindEbootBlocks(*flash_).blocks, ElementsAre(1u, 3u, 4u));
    loaded_.length = 1;
    loaded_.bytes = {1};
    loaded_.covered = {true};
    devkit::VerifyReport report = Verify();
    EXPECT_EQ(report.failure, "EBoot: blocks 1-4 hold 3 good blocks, not 4");
    EXPECT_THAT(report.passed, ElementsAre(HasSubstr("StepLoader")));
}

TEST_F(FlashVerifyTest, TheTocAndId3AreCheckedBeforeTheImage)
{
    struct Case {
        const char *name;
        std::function<void(qs_test::NkOnFlash &)> change;
        const char *failure;
    };
    const Case cases[] = {
        {"load address", [](qs_test::NkOnFlash &nk) { nk.start = 0x80030000; },
         "ID[3] dwLoadAddress is 0x80030000, the image needs 0x80020000"},
        {"jump address", [](qs_test::NkOnFlash &nk) { nk.launch = 0x80020000; },
         "ID[3] dwJumpAddress is 0x80020000, the image needs 0x80021000"},
        {"sector count", [](qs_test::NkOnFlash &nk) { nk.sectors = 0x6000; },
         "ID[3] dwTtlSectors is 0x6000, the image needs 0x40"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        MakeFlash({});
        nk_ = {};
        nk_.image = qs_test::PatternBytes(kFirstBlockBytes + 1, 4);
        loaded_ = {nk_.start,  uint32_t(nk_.image.size()),
                   nk_.launch, {},
                   nk_.image,  std::vector<bool>(nk_.image.size(), true)};
        c.change(nk_);
        qs_test::HandFlash(*flash_).LayNk(nk_);
        devkit::VerifyReport report = Verify(false);
        EXPECT_EQ(report.failure, c.failure);
        EXPECT_THAT(report.passed, ElementsAre("TOC: accepted by TOC_Read"));
    }

    MakeFlash({});
    EXPECT_THAT(Verify(false).failure.value_or(""),
                HasSubstr("TOC: refused by TOC_Read (signature)"));
}

TEST_F(FlashVerifyTest, TheNkRegionSpansTheSectorsId3Records)
{
    struct Case {
        uint32_t sectors;
        std::vector<uint32_t> bad;
        std::vector<uint32_t> blocks;
        bool readable;
    };
    const Case cases[] = {
        {63, {}, {6}, true},          {64, {}, {6, 7}, true},
        {127, {6}, {7, 8}, true},     {128, {6, 8}, {7, 9, 10}, true},
        {63 + 41 * 64, {}, {}, true}, {63 + 41 * 64 + 1, {}, {}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sectors);
        MakeFlash(c.bad);
        nk_ = {};
        nk_.image = {1};
        nk_.sectors = c.sectors;
        qs_test::HandFlash(*flash_).LayNk(nk_);
        devkit::NkRegion region = devkit::ViewBootLoader(*driver_).nk.value();
        EXPECT_EQ(region.sectors, c.sectors);
        if (!c.blocks.empty()) {
            EXPECT_EQ(region.blocks, c.blocks);
        }
        EXPECT_EQ(!region.unreadable, c.readable) << region.unreadable.value_or("");
        if (!c.readable) {
            EXPECT_EQ(*region.unreadable, "the flash ends 1 sectors before the image does");
        }
    }
}

}  // namespace
