// Installing application data: the application folder and its backup after each outcome, the
// compare-and-copy loop driven by the simulated device's copy faults, and the braille line.
#include <gtest/gtest.h>

#include <algorithm>

#include "appupdate/app_source.h"
#include "appupdate/install.h"
#include "appupdate/progress.h"
#include "platform/host/host.h"
#include "tests/support/temp_device.h"

// Named, so that the area's files can share one unity build.
namespace install_test {
namespace {

using nlohmann::json;

const std::string kSource = "\\flashdisk\\K275D-Update\\APP_DATA";
const std::string kCompareFail = "CopyAPPFiles: CheckExeFile fail \r\n";

struct InstallRow {
    const char *name;
    json files;  // device.json's files section: the copy faults
    DWORD result;
    size_t compareFailures;  // "CheckExeFile fail" lines
    std::string apps;        // what \NAND\apps\app.exe holds afterwards ("" when missing)
    bool backupKept;         // \NAND\apps_bk is still there
    bool soundCopied;        // the main copy got past the application folder
};

class Install : public testing::TestWithParam<InstallRow> {};

// The previous installation holds "old", the update "new"; corrupted copies make the compare
// fail as often as the row asks.
TEST_P(Install, LeavesTheApplicationFolderAsItsRowSays)
{
    qs_test::TempDevice device(json{{"files", GetParam().files}});
    device.PutFile("\\NAND\\apps\\app.exe", "old");
    device.PutFile(kSource + "\\apps\\app.exe", "new");
    device.PutFile(kSource + "\\sound\\beep.wav", "beep");
    ResetShellState();
    ASSERT_EQ(IsExistAPPS(1), 1u);
    ASSERT_EQ(gdwAppFolderFlag, DWORD(APP_FOLDER_APPS | APP_FOLDER_SOUND));
    device.device().Events().Clear();

    EXPECT_EQ(CopyAPPFiles(1), GetParam().result);
    std::vector<std::string> log = device.LogEntries();
    EXPECT_EQ(log.front(), "QuorShell: CopyAPPFiles ++ \r\n");
    EXPECT_EQ(log.back(), "OSUPDATE: CopyAPPFiles -- \r\n");
    EXPECT_EQ(size_t(std::count(log.begin(), log.end(), kCompareFail)), GetParam().compareFailures);
    bool appsThere = std::filesystem::exists(device.Host("\\NAND\\apps\\app.exe"));
    EXPECT_EQ(appsThere ? device.ReadFile("\\NAND\\apps\\app.exe") : "", GetParam().apps);
    EXPECT_EQ(std::filesystem::exists(device.Host("\\NAND\\apps_bk")), GetParam().backupKept);
    EXPECT_EQ(device.ReadFile("\\NAND\\sound\\beep.wav"), GetParam().soundCopied ? "beep" : "");
    // The line ends at 100, and the display is closed, whatever the result.
    auto lines = device.EventsOf("braille");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["cells"],
              "8e4e4acc4e48868600e208c4c480448e00000000000000000000000000000000");
    EXPECT_EQ(device.EventsOf("close").size(), 1u);
    EXPECT_EQ(ce_host::Held().handles, 0u);
    EXPECT_EQ(ce_host::Held().heapBlocks, 0u);
}

json Corrupt(int copies)
{
    return {{"corrupt_copies",
             {{{"path", kSource + "\\apps\\app.exe"}, {"copies", copies}, {"offset", 1}}}}};
}

INSTANTIATE_TEST_SUITE_P(
    Table, Install,
    testing::Values(
        InstallRow{"FirstComparePasses", json::object(), 1, 0, "new", false, true},
        InstallRow{"FourFailuresThenSuccess", Corrupt(4), 1, 4, "new", false, true},
        InstallRow{"FiveFailuresRestoreTheBackup", Corrupt(5), 0, 5, "old", false, true},
        InstallRow{"RetryCopyFailsKeepsTheBackup",
                   {{"fail_copies", {{{"path", kSource + "\\apps\\app.exe"}, {"after_bytes", 1}}}}},
                   0,
                   1,
                   "n",
                   true,
                   false}),
    [](const testing::TestParamInfo<InstallRow> &info) { return std::string(info.param.name); });

TEST(InstallEdges, WithoutNandNothingIsTouchedAndWithoutAppsNothingIsVerified)
{
    qs_test::TempDevice device;
    device.PutFile(kSource + "\\apps\\app.exe", "new");
    ResetShellState();
    IsExistAPPS(1);
    device.device().Events().Clear();
    EXPECT_EQ(CopyAPPFiles(1), 0u);
    EXPECT_EQ(device.LogEntries(),
              (std::vector<std::string>{"QuorShell: CopyAPPFiles ++ \r\n",
                                        "QuorShell: CopyAppFiles NAND is not exist \r\n"}));
    EXPECT_TRUE(device.EventsOf("open").empty()) << "the display is not opened";

    // A tree without apps: copied whole, nothing verified, 1.
    device.PutFolder("\\NAND");
    gdwAppFolderFlag = 0;
    device.device().Events().Clear();
    EXPECT_EQ(CopyAPPFiles(1), 1u);
    std::vector<std::string> log = device.LogEntries();
    EXPECT_NE(std::find(log.begin(), log.end(), "CopyAPPFiles: gdwAppFolderFlag 0x0 \r\n"),
              log.end());
    EXPECT_EQ(std::count(log.begin(), log.end(), kCompareFail), 0);
    EXPECT_EQ(device.ReadFile("\\NAND\\apps\\app.exe"), "new");
    EXPECT_EQ(ce_host::Held().handles, 0u);
}

// Selector 2 reads from \SMD; without a display nothing is written and nothing is held.
TEST(InstallEdges, SelectorTwoReadsTheSmdRootAndAnAbsentDisplayShowsNothing)
{
    qs_test::TempDevice device(json{{"braille", {{"present", false}}}});
    device.PutFolder("\\NAND");
    device.PutFile("\\SMD\\K275D-Update\\APP_DATA\\apps\\app.exe", "smd");
    device.PutFile(kSource + "\\apps\\app.exe", "flashdisk");
    ResetShellState();
    gdwAppFolderFlag = APP_FOLDER_APPS;
    EXPECT_EQ(CopyAPPFiles(2), 1u);
    EXPECT_EQ(device.ReadFile("\\NAND\\apps\\app.exe"), "smd");
    EXPECT_TRUE(device.EventsOf("braille").empty());
    EXPECT_TRUE(device.EventsOf("close").empty()) << "nothing was opened, nothing is closed";
    EXPECT_EQ(ghBrlDevice, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ce_host::Held().handles, 0u);
}

// No application folder before: the backup rename fails unnoticed; verified, there is no backup
// to remove; after five failed compares there is nothing to move back and no apps remains.
TEST(InstallEdges, WithoutAPreviousInstallationNothingIsRestored)
{
    for (int corrupt : {0, 5}) {
        qs_test::TempDevice device(json{{"files", corrupt ? Corrupt(corrupt) : json::object()}});
        device.PutFolder("\\NAND");
        device.PutFile(kSource + "\\apps\\app.exe", "new");
        ResetShellState();
        gdwAppFolderFlag = APP_FOLDER_APPS;
        EXPECT_EQ(CopyAPPFiles(1), corrupt ? 0u : 1u) << corrupt;
        std::vector<std::string> log = device.LogEntries();
        EXPECT_NE(std::find(log.begin(), log.end(),
                            "CopyAPPFiles: MoveFile \\NAND\\apps -> \\NAND\\apps_bk \r\n"),
                  log.end());
        EXPECT_EQ(std::filesystem::exists(device.Host("\\NAND\\apps")), corrupt == 0) << corrupt;
        EXPECT_FALSE(std::filesystem::exists(device.Host("\\NAND\\apps_bk")));
        EXPECT_EQ(ce_host::Held().handles, 0u);
    }
}

}  // namespace
}  // namespace install_test
