#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/tools/tool_run.h"

namespace {

namespace fs = std::filesystem;
using qs_test::FileText;
using qs_test::RunTool;
using qs_test::ToolRun;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class ToolTest : public ::testing::Test {
protected:
    ToolRun Quorshell(std::vector<std::string> args) { return RunTool(QUORSHELL_EXE, args, work_); }
    ToolRun Quordev(std::vector<std::string> args) { return RunTool(QUORDEV_EXE, args, work_); }
    fs::path At(const std::string &name) const { return work_ / name; }

    qs_test::TempFolder temp_;
    fs::path work_ = temp_.path();
};

// A bad command line or an unusable device: one line on stderr, a failure status, no output.
TEST(ToolRefusal, GivesOneLineReasonAndFails)
{
    const std::string shell = QUORSHELL_EXE, dev = QUORDEV_EXE;
    struct {
        std::string program;
        std::vector<std::string> args;
        const char *file;  // "folder/name" written first, when given
        const char *content;
        const char *reason;
    } const cases[] = {
        {shell, {"--device", "dev"}, "dev/device.json", "{\n \"power\": {\n  ,\n}", "line 3"},
        {shell, {"--device", "dev"}, "dev/device.json", R"({"powr": {}})", "powr: unknown key"},
        {shell, {"--device", "nowhere"}, nullptr, nullptr, "nowhere: no such device folder"},
        {shell, {"--fast"}, nullptr, nullptr, "--fast"},
        {dev, {"init", "dev"}, "dev/device.json", "{}", "dev: already holds a device"},
        {dev, {"init", "docs", "--force"}, "docs/a.txt", "mine", "docs: not empty and holds no"},
        {dev, {"init", "new", "--boot-key", "256"}, nullptr, nullptr, "--boot-key"},
        {dev, {"init"}, nullptr, nullptr, "DIR is required"},
        {dev, {}, nullptr, nullptr, "subcommand"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reason);
        qs_test::TempFolder work;
        if (c.file) {
            fs::create_directories((work.path() / c.file).parent_path());
            std::ofstream(work.path() / c.file) << c.content;
        }
        ToolRun run = RunTool(c.program, c.args, work.path());
        EXPECT_NE(run.status, 0);
        EXPECT_EQ(run.out, "");
        EXPECT_THAT(run.err, StartsWith(fs::path(c.program).filename().string() + ": "));
        EXPECT_THAT(run.err, HasSubstr(c.reason));
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_TRUE(run.err.ends_with("\n"));
        if (c.file) {
            EXPECT_EQ(FileText(work.path() / c.file), c.content) << "a refusal changes nothing";
        }
    }
}

TEST_F(ToolTest, InitWithForceReplacesTheDeviceAndTheBootShowsIt)
{
    ASSERT_EQ(Quordev({"init", "dev"}).status, 0);
    std::ofstream(At("dev") / "root" / "flashdisk" / "old.txt") << "from the old device";
    ToolRun replaced = Quordev({"init", "dev", "--boot-key", "16", "--force"});
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_THAT(replaced.out, StartsWith("replaced the device in dev (boot key 16):\n"));
    EXPECT_THAT(replaced.out, HasSubstr("  root/windows/K290DFunctionTest.exe\n"));
    EXPECT_FALSE(fs::exists(At("dev") / "root" / "flashdisk" / "old.txt"));
    // Nothing of the build or of the old device is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(work_), fs::directory_iterator()), 1);

    ToolRun boot = Quorshell({"--device", "dev"});
    EXPECT_EQ(boot.status, 0) << boot.err;
    EXPECT_THAT(boot.out, HasSubstr("[QuorShell] BootKeyStat 16 \n"));
    EXPECT_THAT(boot.out, HasSubstr("program started   \\windows\\K290DFunctionTest.exe\n"));
    EXPECT_THAT(FileText(At("dev") / "debug.log"), HasSubstr("Run ProductShell "));
}

TEST_F(ToolTest, QuorshellWithoutDeviceMakesAndBootsTheDemoDevice)
{
    ToolRun run = Quorshell({"--quiet"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.out, StartsWith("-- boot summary --\n"));
    EXPECT_THAT(run.out, HasSubstr("program started   \\NAND\\APPS\\LumTask.exe\n"));
    EXPECT_THAT(FileText(At("device") / "debug.log"), StartsWith("QuorShell Start "));

    // A second boot uses the device that is there.
    fs::remove(At("device") / "root" / "NAND" / "APPS" / "LumTask.exe");
    EXPECT_THAT(Quorshell({"--quiet"}).out, HasSubstr("program started   none\n"));
}

TEST_F(ToolTest, HelpIsThereForEachProgramAndCommand)
{
    for (const ToolRun &run :
         {Quorshell({"--help"}), Quordev({"--help"}), Quordev({"init", "--help"})}) {
        EXPECT_EQ(run.status, 0);
        EXPECT_THAT(run.out, HasSubstr("Usage: "));
        EXPECT_EQ(run.err, "");
    }
}

}  // namespace
