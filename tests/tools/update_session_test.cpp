// The firmware engineer's session through the real programs: package an update, boot the device,
// verify the flash; on a fresh device, on one with bad NK blocks, and on one whose boot-loader
// blocks hold a bad block.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/tools/tool_run.h"

// Named, so that the area's files can share one unity build.
namespace update_session_test {
namespace {

namespace fs = std::filesystem;
using qs_test::FileText;
using qs_test::ToolRun;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr uint32_t kBlocks = 64;
constexpr size_t kBlockBytes = 64 * 2056;

class UpdateSession : public ::testing::Test {
protected:
    ToolRun Quordev(std::vector<std::string> args)
    {
        return qs_test::RunTool(QUORDEV_EXE, args, temp_.path());
    }
    ToolRun Quorshell(std::vector<std::string> args)
    {
        return qs_test::RunTool(QUORSHELL_EXE, args, temp_.path());
    }
    fs::path At(const std::string &name) const { return temp_.path() / name; }

    // A device, an NK image of 4.5 MiB (past block 40 even with two bad blocks before it), a
    // boot loader, and the package placed.
    void Prepare(const std::string &bad)
    {
        std::vector<std::string> init = {"init", "dev", "--blocks", std::to_string(kBlocks)};
        if (!bad.empty())
            init.insert(init.end(), {"--bad", bad});
        ASSERT_EQ(Quordev(init).status, 0);
        std::string raw(4608 * 1024, '\0');
        for (size_t i = 0; i < raw.size(); ++i)
            raw[i] = char(i * 31 + i / 2048);
        std::ofstream(At("raw.img"), std::ios::binary) << raw;
        ASSERT_EQ(Quordev({"mkbin", "raw.img", "nk.bin"}).status, 0);
        ASSERT_EQ(Quordev({"mknb0", "boot.nb0"}).status, 0);
        ToolRun package = Quordev(
            {"package", "dev", "--nk", "nk.bin", "--eboot", "boot.nb0", "--name", "240315"});
        ASSERT_EQ(package.status, 0) << package.err;
    }

    std::string FlashBlocks(uint32_t first, uint32_t last)
    {
        return FileText(At("dev/nand.bin"))
            .substr(first * kBlockBytes, (last - first + 1) * kBlockBytes);
    }

    qs_test::TempFolder temp_;
};

TEST_F(UpdateSession, FreshDeviceBootsTheUpdateAndVerifiesThenOneChangedByteIsNamed)
{
    Prepare("");
    ToolRun boot = Quorshell({"--device", "dev", "--quiet"});
    EXPECT_EQ(boot.status, 0) << boot.out << boot.err;
    EXPECT_THAT(boot.out, HasSubstr("cues              update_start, success, reboot\n"));
    EXPECT_THAT(boot.out, HasSubstr("OS update         written\n"));
    EXPECT_THAT(boot.out, HasSubstr("blocks skipped    none\n"));
    EXPECT_THAT(boot.out, HasSubstr("restart           requested at "));
    // The boot loader and its side file went with the folder: nothing is offered twice.
    EXPECT_FALSE(fs::exists(At("dev/root/flashdisk/K275D-Update")));
    EXPECT_THAT(FileText(At("dev/debug.log")), Not(HasSubstr("RemoveDirectory")));
    ToolRun verify = Quordev({"verify", "dev", "--nk", "nk.bin", "--eboot", "boot.nb0"});
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
    EXPECT_THAT(verify.out, HasSubstr("ok    EBoot: blocks 1, 2, 3, 4 match"));

    // One bit of NK block 9, sector 12, byte 0x1F3 cleared in nand.bin, as a weak cell would.
    {
        std::fstream flash(At("dev/nand.bin"), std::ios::in | std::ios::out | std::ios::binary);
        std::streamoff at = std::streamoff(9 * 64 + 12) * 2056 + 0x1F3;
        char byte = 0;
        flash.seekg(at);
        flash.read(&byte, 1);
        byte = char(byte ^ 0x01);
        flash.seekp(at);
        flash.write(&byte, 1);
    }
    ToolRun broken = Quordev({"verify", "dev", "--nk", "nk.bin"});
    EXPECT_EQ(broken.status, 1);
    EXPECT_THAT(broken.out + broken.err, HasSubstr("NK block 9 sector 12 byte 0x1F3 differs"));
}

TEST_F(UpdateSession, BadNkBlocksAreSkippedAndTheImageStillVerifies)
{
    Prepare("6,40");
    ToolRun boot = Quorshell({"--device", "dev", "--quiet"});
    EXPECT_EQ(boot.status, 0) << boot.out << boot.err;
    EXPECT_THAT(boot.out, HasSubstr("blocks skipped    6, 40 (bad)\n"));
    ToolRun verify = Quordev({"verify", "dev", "--nk", "nk.bin", "--eboot", "boot.nb0"});
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
    EXPECT_THAT(verify.out, HasSubstr("ok    NK: blocks 7-"));
}

// Four good blocks cannot be found among 1 to 4: the boot loader is refused before anything is
// erased, blocks 0 to 5 stay as they were, and the operating system is still written.
TEST_F(UpdateSession, ABadBootLoaderBlockKeepsTheOldBootLoaderAndTheNkIsWritten)
{
    Prepare("2");
    std::string before = FlashBlocks(0, 5);
    ToolRun boot = Quorshell({"--device", "dev", "--quiet"});
    EXPECT_EQ(boot.status, 0) << boot.out << boot.err;
    EXPECT_THAT(FileText(At("dev/debug.log")),
                HasSubstr("[QuorShell] WriteEBootImage: 2 block is bad block \r\n"));
    EXPECT_THAT(FileText(At("dev/debug.log")), HasSubstr("Write EBoot Image fail \r\n"));
    EXPECT_THAT(boot.out, HasSubstr("OS update         written\n"));
    std::string after = FlashBlocks(0, 5);
    // The TOC block takes the new image's record; blocks 0 to 4 are untouched.
    EXPECT_EQ(after.substr(0, 5 * kBlockBytes), before.substr(0, 5 * kBlockBytes));
    ToolRun verify = Quordev({"verify", "dev", "--nk", "nk.bin"});
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
    ToolRun withBoot = Quordev({"verify", "dev", "--nk", "nk.bin", "--eboot", "boot.nb0"});
    EXPECT_EQ(withBoot.status, 1) << "the new boot loader is not on the flash";
}

}  // namespace
}  // namespace update_session_test
