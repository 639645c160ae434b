// quordev verify and inspect on a device whose flash was laid out by hand, and on one that the
// shell updated from a package.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "devkit/bin_image.h"
#include "devkit/nb0_image.h"
#include "sim/flash_array.h"
#include "tests/devkit/flash_layout.h"
#include "tests/tools/tool_run.h"
#include "tools/boot_runner.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using qs_test::ToolRun;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

constexpr uint32_t kBlocks = 48;
// 35 further blocks and 5 bytes: with 6 and 40 bad the image spans blocks 7 to 44.
constexpr uint32_t kImageSize = 63 * 2048 + 35 * 0x20000 + 5;

class VerifyToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(
            Quordev({"init", "dev", "--blocks", std::to_string(kBlocks), "--bad", "6,40"}).status,
            0);
        layout_.image = qs_test::PatternBytes(kImageSize, 5);
        layout_.launch = 0x80021000;
        devkit::WriteBinImage(At("nk.bin"), layout_);
        nb0_ = devkit::MakeNb0(std::nullopt, std::nullopt);
        std::ofstream(At("boot.nb0"), std::ios::binary)
            .write(reinterpret_cast<const char *>(nb0_.data()), std::streamsize(nb0_.size()));
    }
    // Writes the images into nand.bin as the shell's writers place them.
    void LayOutByHand()
    {
        auto flash = sim::FlashArray::MapFile(At("dev/nand.bin"), kBlocks);
        qs_test::HandFlash hand(*flash);
        hand.LayBootLoader(nb0_);
        hand.LayNk({layout_.image, layout_.start, layout_.launch, 0});
    }
    void ClearByte(uint32_t block, uint32_t sector, uint32_t byte)
    {
        auto flash = sim::FlashArray::MapFile(At("dev/nand.bin"), kBlocks);
        qs_test::HandFlash(*flash).ClearByte(block, sector, byte);
    }
    ToolRun Quordev(std::vector<std::string> args)
    {
        return qs_test::RunTool(QUORDEV_EXE, args, temp_.path());
    }
    ToolRun Verify(std::vector<std::string> more = {})
    {
        std::vector<std::string> args = {"verify", "dev", "--nk", "nk.bin", "--eboot", "boot.nb0"};
        args.insert(args.end(), more.begin(), more.end());
        return Quordev(args);
    }
    fs::path At(const std::string &name) const { return temp_.path() / name; }

    qs_test::TempFolder temp_;
    devkit::BinImageLayout layout_;
    std::vector<uint8_t> nb0_;
};

TEST_F(VerifyToolTest, PassesOnTheHandLayoutAndNamesTheFirstChangedByte)
{
    LayOutByHand();
    ToolRun run = Verify();
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_THAT(run.out, StartsWith("ok    StepLoader: block 0 sectors 0-7 match, checksum 0x"));
    EXPECT_THAT(run.out, HasSubstr("ok    EBoot: blocks 1, 2, 3, 4 match\n"
                                   "ok    TOC: accepted by TOC_Read\n"
                                   "ok    ID[3]: CFSH, type 8, load 0x80020000, jump 0x80021000, "
                                   "2304 sectors\n"
                                   "ok    NK: blocks 7-44 match the image's 4716549 bytes\n"));

    // Image offset 0x1F800 + 3 * 0x20000 + 12 * 2048 + 0x1F3 lies in the fourth further block.
    const uint8_t expected = layout_.image[0x1F800 + 3 * 0x20000 + 12 * 2048 + 0x1F3];
    ClearByte(11, 12, 0x1F3);
    ClearByte(41, 0, 0);  // a later difference stays unnamed
    run = Verify();
    EXPECT_EQ(run.status, 1);
    char line[96];
    std::snprintf(line, sizeof line,
                  "FAIL  NK block 11 sector 12 byte 0x1F3 differs: flash 0x00, image 0x%02X\n",
                  expected);
    EXPECT_THAT(run.out, HasSubstr(line));
    EXPECT_EQ(run.err, "");

    json report = json::parse(Verify({"--json"}).out);
    EXPECT_EQ(report["ok"], false);
    EXPECT_EQ(report["difference"], json({{"part", "NK"},
                                          {"block", 11},
                                          {"sector", 12},
                                          {"byte", 0x1F3},
                                          {"flash", 0},
                                          {"image", expected}}));
}

TEST_F(VerifyToolTest, AFactoryFlashFailsOnItsStepLoader)
{
    ToolRun run = Verify();
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.out, HasSubstr("FAIL  StepLoader block 0 sector 0 byte 0x0 differs: flash "
                                   "0xFF, image 0x51\n"));
    run = Quordev({"verify", "dev", "--nk", "nk.bin"});
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.out, HasSubstr("FAIL  ID[3] dwJumpAddress is 0x80020000, the image needs "
                                   "0x80021000\n"));
}

TEST_F(VerifyToolTest, InspectShowsTheBootLoaderAndTheNkRegion)
{
    LayOutByHand();
    ToolRun run = Quordev({"inspect", "dev"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("EBoot   blocks 1, 2, 3, 4\n"
                                   "NK      ID[3]: 2304 sectors in blocks 7-44, skipping 6, 40; "
                                   "readable\n"));
    EXPECT_THAT(run.out, HasSubstr("StepLoader block 0: checksum word 0x"));
    EXPECT_THAT(run.out, Not(HasSubstr("but sectors 0-7 sum to")));
    json view = json::parse(Quordev({"inspect", "dev", "--json"}).out);
    const json &nk = view["flash"]["boot_loader"]["nk"];
    EXPECT_EQ(nk["readable"], true);
    EXPECT_EQ(nk["skipped"], json({6, 40}));
    EXPECT_EQ(nk["blocks"].size(), 37u);

    ClearByte(0, 0, 8);
    EXPECT_THAT(Quordev({"inspect", "dev"}).out, HasSubstr(", but sectors 0-7 sum to 0x"));
}

TEST_F(VerifyToolTest, UnusableImagesAreRefusedWithOneLine)
{
    std::ofstream(At("short.nb0"), std::ios::binary) << std::string(0x1000, 'x');
    std::ofstream(At("text.bin"), std::ios::binary) << "B000FF\r nothing";
    struct Case {
        std::vector<std::string> args;
        const char *reason;
    };
    const Case cases[] = {
        {{"verify", "dev", "--nk", "text.bin"}, "text.bin: not a .BIN file"},
        {{"verify", "dev", "--nk", "nk.bin", "--eboot", "short.nb0"},
         "short.nb0 holds 4096 bytes, not 0x84000"},
        {{"verify", "nodev", "--nk", "nk.bin"}, "nodev: no such device folder"},
        {{"verify", "dev", "--nk", "gone.bin"}, "gone.bin: cannot be read"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reason);
        ToolRun run = Quordev(c.args);
        EXPECT_NE(run.status, 0);
        EXPECT_EQ(run.out, "");
        EXPECT_THAT(run.err, StartsWith("quordev: " + std::string(c.reason)));
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
}

// The whole way: a package in the update folder, one boot of the shell, and the flash as the
// boot loader will read it.
TEST_F(VerifyToolTest, TheShellsUpdateFromAPackageVerifies)
{
    ASSERT_EQ(
        Quordev({"package", "dev", "--nk", "nk.bin", "--eboot", "boot.nb0", "--name", "240315"})
            .status,
        0);
    qs_tools::BootReport boot = qs_tools::BootDeviceFolder(At("dev"), {.quiet = true});
    EXPECT_EQ(boot.exitStatus, 0) << boot.printed;
    EXPECT_EQ(boot.summary.osUpdate, true) << boot.printed;
    const std::vector<uint32_t> &skipped = boot.summary.blocksSkipped;
    for (uint32_t bad : {6u, 40u})
        EXPECT_NE(std::find(skipped.begin(), skipped.end(), bad), skipped.end()) << bad;
    ToolRun run = Verify();
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_THAT(run.out, HasSubstr("ok    NK: blocks 7-44 match"));
}

}  // namespace
