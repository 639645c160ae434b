// quordev package --apps and the application folders in quordev inspect: the tree placed, what
// is refused, what a boot installs from it, and what inspect counts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include <nlohmann/json.hpp>

#include "tests/tools/tool_run.h"

namespace app_data_package_test {
namespace {

namespace fs = std::filesystem;
using qs_test::FileText;
using qs_test::ToolRun;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const char *const kUpdate = "dev/root/flashdisk/K275D-Update";

class AppDataPackageTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(Quordev({"init", "dev", "--blocks", "8"}).status, 0); }

    ToolRun Quordev(std::vector<std::string> args)
    {
        return qs_test::RunTool(QUORDEV_EXE, args, temp_.path());
    }
    fs::path At(const std::string &name) const { return temp_.path() / name; }
    void Write(const std::string &name, const std::string &content)
    {
        fs::create_directories(At(name).parent_path());
        std::ofstream(At(name), std::ios::binary) << content;
    }
    // Relative path -> the file's bytes, "<folder>" or "-> target", for every entry below
    // folder, hidden ones too.
    std::map<std::string, std::string> Snapshot(const std::string &folder) const
    {
        std::map<std::string, std::string> entries;
        if (!fs::exists(At(folder)))
            return entries;
        for (const auto &entry : fs::recursive_directory_iterator(At(folder)))
            entries[entry.path().lexically_relative(At(folder)).string()] =
                entry.is_symlink()     ? "-> " + fs::read_symlink(entry.path()).string()
                : entry.is_directory() ? "<folder>"
                                       : FileText(entry.path());
        return entries;
    }
    // A tree of three levels whose large file spans several copy chunks.
    void WriteTree(const std::string &folder)
    {
        std::string big(2500000, '\0');
        for (size_t i = 0; i < big.size(); ++i)
            big[i] = char(i * 7919 % 251);
        Write(folder + "/apps/LumTask.exe", "main application");
        Write(folder + "/apps/lib/data/big.bin", big);
        Write(folder +
                  "/manual/Gu\xC3\xAD"
                  "a.txt",
              "");
        fs::create_directories(At(folder + "/sound/empty"));
    }

    qs_test::TempFolder temp_;
};

TEST_F(AppDataPackageTest, PlacesAnEqualTreeAndReplacesOneThere)
{
    WriteTree("data");
    ToolRun run = Quordev({"package", "dev", "--apps", "data"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "placed in dev:\n"
              "  root/flashdisk/K275D-Update/APP_DATA: 3 files, 2500016 bytes, with apps, manual, "
              "sound\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(Snapshot(std::string(kUpdate) + "/APP_DATA"), Snapshot("data"));
    EXPECT_EQ(Snapshot(kUpdate).size(), Snapshot("data").size() + 1) << "nothing staged is left";

    // A second package replaces the whole folder, whatever the letter case of the one there.
    fs::rename(At(std::string(kUpdate) + "/APP_DATA"), At(std::string(kUpdate) + "/App_Data"));
    Write("new/lumhelp/index.htm", "<p>help</p>");
    run = Quordev({"package", "dev", "--apps", "new"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "placed in dev:\n"
              "  root/flashdisk/K275D-Update/App_Data: 1 file, 11 bytes, with lumhelp (replaces "
              "the one that was there)\n");
    std::map<std::string, std::string> expected = {{"App_Data", "<folder>"}};
    for (const auto &[path, content] : Snapshot("new"))
        expected["App_Data/" + path] = content;
    EXPECT_EQ(Snapshot(kUpdate), expected);
}

TEST_F(AppDataPackageTest, PlacesTheImagesAndTheTreeTogether)
{
    Write("nk.bin", "B000FF\n the operating system");
    Write("data/sound/beep.wav", "RIFF");
    ToolRun run =
        Quordev({"package", "dev", "--nk", "nk.bin", "--name", "240315", "--apps", "data"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "placed in dev:\n"
              "  root/flashdisk/K275D-Update/R5nk_240315.bin\n"
              "  root/flashdisk/K275D-Update/APP_DATA: 1 file, 4 bytes, with sound\n");
    EXPECT_EQ(Snapshot(kUpdate), (std::map<std::string, std::string>{
                                     {"APP_DATA", "<folder>"},
                                     {"APP_DATA/sound", "<folder>"},
                                     {"APP_DATA/sound/beep.wav", "RIFF"},
                                     {"R5nk_240315.bin", "B000FF\n the operating system"}}));
}

TEST_F(AppDataPackageTest, WarnsWhenNoneOfTheFourFoldersIsThere)
{
    Write("data/Apps.txt", "x");
    ToolRun run = Quordev({"package", "dev", "--apps", "data"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "placed in dev:\n"
              "  root/flashdisk/K275D-Update/APP_DATA: 1 file, 1 bytes, with none of apps, "
              "lumhelp, manual, sound\n");
    EXPECT_EQ(run.err,
              "quordev: warning: the application data holds none of apps, lumhelp, manual, "
              "sound: the shell copies it into \\NAND but replaces and verifies nothing\n");
}

// Each refusal is one line, and the update folder, with the package already there, stays as it
// was: nothing of the new package, nothing staged.
TEST_F(AppDataPackageTest, RefusalsLeaveTheUpdateFolderAsItWas)
{
    Write("nk.bin", "B000FF\n");
    Write("old/apps/old.exe", "old");
    ASSERT_EQ(Quordev({"package", "dev", "--nk", "nk.bin", "--name", "1", "--apps", "old"}).status,
              0);
    Write("good/apps/a.exe", "a");
    Write("link/apps/a.exe", "a");
    fs::create_symlink("/etc", At("link/apps/etc"));
    Write("colon/manual/a:b.txt", "");
    Write("long/apps/" + std::string(222, 'x'), "");
    Write("cased/sound/A.wav", "");
    Write("cased/sound/a.wav", "");
    Write("file/apps", "");
    struct Case {
        std::vector<std::string> args;
        std::string reason;
    } const cases[] = {
        {{"--apps", "link"}, "link/apps/etc: is a symbolic link"},
        {{"--apps", "colon"}, "colon/manual/a:b.txt: the name holds ':'"},
        {{"--apps", "long"}, "long/apps/" + std::string(222, 'x') + ": its device path"},
        {{"--apps", "cased"}, "cased/sound/a.wav: the device takes it for \"A.wav\""},
        {{"--apps", "file"}, "file/apps: is a file, but the shell takes it for its apps folder"},
        {{"--apps", "missing"}, "missing: no such folder"},
        {{"--apps", "nk.bin"}, "nk.bin: is not a folder"},
        {{"--apps", "good", "--nk", "gone.bin", "--name", "2"}, "gone.bin: no such file"},
        {{"--nk", "nk.bin", "--name", "2", "--apps", "link"}, "link/apps/etc: is a symbolic link"},
        {{}, "--nk is required unless --apps is given"},
        {{"--apps", "good", "--eboot", "nk.bin"}, "--eboot needs --nk"},
        {{"--apps", "good", "--name", "2"}, "--name needs --nk"},
    };
    const auto before = Snapshot(kUpdate);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reason);
        std::vector<std::string> args = {"package", "dev"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ToolRun run = Quordev(args);
        EXPECT_NE(run.status, 0);
        EXPECT_EQ(run.out, "");
        EXPECT_THAT(run.err, StartsWith("quordev: " + c.reason));
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ(Snapshot(kUpdate), before);
    }
}

TEST_F(AppDataPackageTest, AnAppDataThatIsNoFolderIsLeftAndTheImagesStayOut)
{
    Write("outside/keep.txt", "mine");
    fs::create_directories(At(kUpdate));
    fs::create_directory_symlink(At("outside"), At(std::string(kUpdate) + "/APP_DATA"));
    Write("nk.bin", "B000FF\n");
    Write("data/apps/a.exe", "a");
    ToolRun run = Quordev({"package", "dev", "--nk", "nk.bin", "--name", "2", "--apps", "data"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "quordev: dev/root/flashdisk/K275D-Update/APP_DATA: is not a plain folder; "
              "it is not replaced\n");
    EXPECT_EQ(Snapshot(kUpdate),
              (std::map<std::string, std::string>{{"APP_DATA", "-> " + At("outside").string()}}));
    EXPECT_EQ(Snapshot("outside"), (std::map<std::string, std::string>{{"keep.txt", "mine"}}));
}

// A boot installs exactly the tree placed, and inspect shows it moved from the update folder
// into \NAND.
TEST_F(AppDataPackageTest, TheNextBootInstallsThePlacedTree)
{
    WriteTree("data");
    ASSERT_EQ(Quordev({"package", "dev", "--apps", "data"}).status, 0);
    EXPECT_THAT(Quordev({"inspect", "dev"}).out,
                HasSubstr("application folders\n"
                          "  \\NAND\\apps      1 file, 98 bytes\n"
                          "application data waiting: \\flashdisk\\K275D-Update\\APP_DATA, 3 "
                          "files, 2500016 bytes (apps, manual, sound)\n"));
    ToolRun boot = qs_test::RunTool(QUORSHELL_EXE, {"--device", "dev", "--quiet"}, temp_.path());
    EXPECT_EQ(boot.status, 0) << boot.out << boot.err;
    EXPECT_FALSE(fs::exists(At(kUpdate)));
    for (const char *folder : {"apps", "manual", "sound"})
        EXPECT_EQ(Snapshot(std::string("dev/root/NAND/") + folder),
                  Snapshot(std::string("data/") + folder))
            << folder;
    EXPECT_THAT(Quordev({"inspect", "dev"}).out,
                HasSubstr("application folders\n"
                          "  \\NAND\\apps      2 files, 2500016 bytes\n"
                          "  \\NAND\\manual    1 file, 0 bytes\n"
                          "  \\NAND\\sound     0 files, 0 bytes\n"
                          "application data waiting: none\n"));
}

// Folders are found as the device finds them (letter case ignored), counted at every level as
// its searches list them (links left out), and a link in their place is no folder.
TEST_F(AppDataPackageTest, InspectCountsTheInstalledFoldersAndTheWaitingData)
{
    fs::remove_all(At("dev/root/NAND"));
    Write("dev/root/nand/Apps/a.exe", "12345");
    Write("dev/root/nand/Apps/sub/b.dat", std::string(1000, 'b'));
    fs::create_symlink("/etc/hostname", At("dev/root/nand/Apps/sub/link"));
    fs::create_directories(At("dev/root/nand/apps_bk"));
    Write("dev/root/nand/SOUND/x.wav", "wav");
    Write("outside/m.txt", "m");
    fs::create_directory_symlink(At("outside"), At("dev/root/nand/manual"));
    Write("dev/root/flashdisk/K275D-Update/app_data/lumhelp/h.htm", "help");

    ToolRun text = Quordev({"inspect", "dev"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_THAT(text.out,
                HasSubstr("\napplication folders\n"
                          "  \\NAND\\apps      2 files, 1005 bytes\n"
                          "  \\NAND\\apps_bk   0 files, 0 bytes\n"
                          "  \\NAND\\sound     1 file, 3 bytes\n"
                          "application data waiting: \\flashdisk\\K275D-Update\\APP_DATA, 1 file, "
                          "4 bytes (lumhelp)\n"));
    EXPECT_TRUE(text.out.ends_with("(lumhelp)\n"));
    nlohmann::json json = nlohmann::json::parse(Quordev({"inspect", "dev", "--json"}).out);
    EXPECT_EQ(json["applications"], nlohmann::json::parse(R"({
        "installed": [{"path": "\\NAND\\apps", "files": 2, "bytes": 1005},
                      {"path": "\\NAND\\apps_bk", "files": 0, "bytes": 0},
                      {"path": "\\NAND\\sound", "files": 1, "bytes": 3}],
        "waiting": {"path": "\\flashdisk\\K275D-Update\\APP_DATA", "files": 1, "bytes": 4,
                    "folders": ["lumhelp"]}})"));

    fs::remove_all(At("dev/root"));
    EXPECT_THAT(Quordev({"inspect", "dev"}).out, HasSubstr("\napplication folders\n"
                                                           "  none installed\n"
                                                           "application data waiting: none\n"));
    json = nlohmann::json::parse(Quordev({"inspect", "dev", "--json"}).out);
    EXPECT_EQ(json["applications"], nlohmann::json::parse(R"({"installed": [], "waiting": null})"));
    EXPECT_FALSE(fs::exists(At("dev/root"))) << "inspect changes nothing";
}

TEST_F(AppDataPackageTest, HelpDescribesTheApplicationData)
{
    EXPECT_THAT(Quordev({"package", "--help"}).out, HasSubstr("--apps FOLDER"));
    EXPECT_THAT(Quordev({"inspect", "--help"}).out, HasSubstr("application folders"));
}

}  // namespace
}  // namespace app_data_package_test
