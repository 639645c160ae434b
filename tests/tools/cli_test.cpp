#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "devkit/app_tree.h"
#include "sim/device_lock.h"
#include "tests/tools/tool_run.h"
#include "tools/demo_device.h"

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

// A bad command line or an unusable device: one line on stderr, a failure status, no output,
// and nothing made or changed.
TEST(ToolRefusal, GivesOneLineReasonAndFails)
{
    const std::string shell = QUORSHELL_EXE, dev = QUORDEV_EXE;
    using Files = std::vector<std::pair<std::string, std::string>>;  // "folder/name", content
    const std::string device = "{}";
    struct {
        std::string program;
        std::vector<std::string> args;
        Files files;  // written first
        const char *reason;
    } const cases[] = {
        {shell, {"--device", "dev"}, {{"dev/device.json", "{\n \"power\": {\n  ,\n}"}}, "line 3"},
        {shell, {"--device", "dev"}, {{"dev/device.json", R"({"powr": {}})"}}, "powr: unknown key"},
        {shell, {"--device", "nowhere"}, {}, "nowhere: no such device folder"},
        {shell, {"--fast"}, {}, "--fast"},
        {dev, {"init", "dev"}, {{"dev/device.json", device}}, "dev: already holds a device"},
        {dev,
         {"init", "docs", "--force"},
         {{"docs/a.txt", "mine"}},
         "docs: not empty and holds no"},
        {dev, {"init", "new", "--boot-key", "256"}, {}, "--boot-key"},
        {dev,
         {"init", "new", "--blocks", "6"},
         {},
         "--blocks: 6 blocks; the flash takes 7 to 4096"},
        {dev, {"init", "new", "--blocks", "4097"}, {}, "--blocks: 4097 blocks"},
        {dev, {"init", "new", "--blocks", "many"}, {}, "--blocks"},
        {dev, {"init", "new", "--blocks", "16", "--bad", "7,16"}, {}, "--bad: block 16 is beyond"},
        {dev, {"init", "new", "--bad", "7,x"}, {}, "--bad"},
        {dev, {"init", "new", "--serial", "123456789"}, {}, "--serial: \"123456789\" is not ten"},
        {dev, {"init", "new", "--serial", "01234567890"}, {}, "--serial"},
        {dev, {"init", "new", "--serial", "01234a6789"}, {}, "--serial"},
        {dev, {"init", "new", "--mac", "00:11:22:33:44"}, {}, "--mac: \"00:11:22:33:44\" is not"},
        {dev, {"init", "new", "--mac", "00-11-22-33-44-55"}, {}, "--mac"},
        {dev, {"init", "new", "--mac", "00:11:22:33:44:GG"}, {}, "--mac"},
        {dev, {"init"}, {}, "DIR is required"},
        {dev, {}, {}, "subcommand"},
        {dev, {"inspect", "nowhere"}, {}, "nowhere: no such device folder"},
        {dev, {"inspect", "dev"}, {{"dev/nand.bin", ""}}, "dev: holds no device (no device.json)"},
        {dev, {"inspect", "dev"}, {{"dev/device.json", R"({"flash": {"blokcs": 8}})"}}, "blokcs"},
        {dev,
         {"inspect", "dev"},
         {{"dev/device.json", device}, {"dev/nand.bin", "short"}},
         "nand.bin: 5 bytes, but flash.blocks 512 needs"},
        {dev,
         {"inspect", "dev"},
         {{"dev/device.json", device}, {"dev/state.json", "[]"}},
         "state.json: expected an object"},
        {dev,
         {"inspect", "dev"},
         {{"dev/device.json", device}, {"dev/state.json", R"({"flash": {"toc_flag": "yes"}})"}},
         "state.json: flash.toc_flag: expected true or false"},
        {dev,
         {"inspect", "dev"},
         {{"dev/device.json", device}, {"dev/state.json", R"({"power": {"update_mode": -1}})"}},
         "state.json: power.update_mode: out of range"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reason);
        qs_test::TempFolder work;
        for (const auto &[file, content] : c.files) {
            fs::create_directories((work.path() / file).parent_path());
            std::ofstream(work.path() / file) << content;
        }
        ToolRun run = RunTool(c.program, c.args, work.path());
        EXPECT_NE(run.status, 0);
        EXPECT_EQ(run.out, "");
        EXPECT_THAT(run.err, StartsWith(fs::path(c.program).filename().string() + ": "));
        EXPECT_THAT(run.err, HasSubstr(c.reason));
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_TRUE(run.err.ends_with("\n"));
        std::set<fs::path> expected;
        for (const auto &[file, content] : c.files) {
            EXPECT_EQ(FileText(work.path() / file), content) << "a refusal changes nothing";
            for (fs::path path = file; !path.empty(); path = path.parent_path())
                expected.insert(work.path() / path);
        }
        std::set<fs::path> found(fs::recursive_directory_iterator(work.path()), {});
        EXPECT_EQ(found, expected) << "a refusal makes nothing";
    }
}

TEST_F(ToolTest, InitWithForceReplacesTheDeviceAndTheBootShowsIt)
{
    ASSERT_EQ(Quordev({"init", "dev"}).status, 0);
    std::ofstream(At("dev") / "root" / "flashdisk" / "old.txt") << "from the old device";
    ToolRun replaced = Quordev({"init", "dev", "--boot-key", "16", "--force"});
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_THAT(replaced.out, StartsWith("replaced the device in dev (boot key 16, 512 blocks, "
                                         "serial 0020240315, MAC 02:00:00:00:00:01):\n"));
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

// While one boot or command holds a device, another that would change it fails at once and
// changes nothing.
TEST_F(ToolTest, ABusyDeviceIsRefusedWithOneLine)
{
    ASSERT_EQ(Quordev({"init", "dev"}).status, 0);
    std::string stateBefore = FileText(At("dev") / "state.json");
    std::string nandBefore = FileText(At("dev") / "nand.bin");
    {
        sim::DeviceLock holder(At("dev"));
        for (const ToolRun &run :
             {Quorshell({"--device", "dev"}), Quordev({"init", "dev", "--force"})}) {
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.out, "");
            EXPECT_THAT(run.err,
                        HasSubstr("dev: the device is in use by another boot or command\n"));
            EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        }
        EXPECT_FALSE(fs::exists(At("dev") / "debug.log"));
        EXPECT_EQ(FileText(At("dev") / "state.json"), stateBefore);
        EXPECT_EQ(FileText(At("dev") / "nand.bin"), nandBefore);
        // Reading is no change: inspect goes on.
        EXPECT_EQ(Quordev({"inspect", "dev"}).status, 0);
    }
    EXPECT_EQ(Quorshell({"--device", "dev", "--quiet"}).status, 0);
}

// Every file below folder, relative path -> bytes.
std::map<std::string, std::string> TreeFiles(const fs::path &folder)
{
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), folder).string()] = FileText(entry.path());
    return files;
}

TEST_F(ToolTest, QuorshellWithoutDeviceMakesAndBootsTheDemoDevice)
{
    ToolRun run = Quorshell({"--quiet"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.out, StartsWith("-- boot summary --\n"));
    EXPECT_THAT(run.out, HasSubstr("OS update         written\n"));
    EXPECT_THAT(run.out, HasSubstr("app data          installed, apps verified at compare 1\n"));
    EXPECT_THAT(run.out, HasSubstr("the last: ⠏⠗⠕⠛⠗⠑⠎⠎⠀⠼⠁⠚⠚⠈⠒⠏  \"progress 100%\"\n"));
    // The main application now comes from the installed tree.
    EXPECT_THAT(run.out, HasSubstr("program started   \\NAND\\apps\\LumTask.exe\n"));
    EXPECT_THAT(FileText(At("device") / "debug.log"), StartsWith("QuorShell Start "));

    // The installed folders hold exactly the package's application data.
    devkit::WriteAppTree(At("package"), qs_tools::kDemoAppTree);
    std::map<std::string, std::string> installed;
    for (const char *folder : {"apps", "lumhelp", "manual", "sound"})
        for (auto &[name, bytes] : TreeFiles(At("device") / "root" / "NAND" / folder))
            installed[std::string(folder) + "/" + name] = bytes;
    EXPECT_EQ(installed, TreeFiles(At("package")));
    EXPECT_FALSE(fs::exists(At("device") / "root" / "NAND" / "apps_bk"));
    EXPECT_FALSE(fs::exists(At("device") / "root" / "flashdisk" / "K275D-Update"));

    // A second boot uses the device that is there.
    fs::remove(At("device") / "root" / "NAND" / "apps" / "LumTask.exe");
    ToolRun second = Quorshell({"--quiet"});
    EXPECT_THAT(second.out, HasSubstr("program started   none\n"));
    EXPECT_THAT(second.out, HasSubstr("app data          none offered\nbraille writes    0\n"));
}

TEST_F(ToolTest, HelpIsThereForEachProgramAndCommand)
{
    for (const ToolRun &run : {Quorshell({"--help"}), Quordev({"--help"}),
                               Quordev({"init", "--help"}), Quordev({"inspect", "--help"}),
                               Quordev({"mkapps", "--help"})}) {
        EXPECT_EQ(run.status, 0);
        EXPECT_THAT(run.out, HasSubstr("Usage: "));
        EXPECT_EQ(run.err, "");
    }
}

TEST_F(ToolTest, MkappsWritesATreeOnceAndRefusesToWriteOverOne)
{
    ToolRun made = Quordev({"mkapps", "data", "--files", "40", "--mib", "0.5"});
    EXPECT_EQ(made.status, 0) << made.err;
    EXPECT_THAT(made.out, StartsWith("wrote 40 files in "));
    EXPECT_EQ(TreeFiles(At("data")).size(), 40u);
    EXPECT_TRUE(fs::is_regular_file(At("data") / "apps" / "LumTask.exe"));

    std::map<std::string, std::string> before = TreeFiles(At("data"));
    ToolRun again = Quordev({"mkapps", "data", "--files", "40"});
    EXPECT_EQ(again.status, 1);
    EXPECT_THAT(again.err, HasSubstr("already holds files"));
    EXPECT_EQ(TreeFiles(At("data")), before);
    EXPECT_EQ(Quordev({"mkapps", "other", "--files", "0"}).status, 2);
}

}  // namespace
