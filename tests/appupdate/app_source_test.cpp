// Finding the application data: the root per selector, the four folder bits and their lines, and
// what a failed or repeated search does to the bits.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "appupdate/app_source.h"
#include "platform/host/host.h"
#include "tests/support/temp_device.h"

namespace app_source_test {

using qs_test::TempDevice;

const std::string kEntry = "QuorShell: +IsExistAPPS \r\n";
const std::string kExit = "QuorShell: -IsExistAPPS \r\n";
const std::string kMissing = "QuorShell: -IsExistAPPS FALSE\r\n";
const std::string kApps = "QuorShell: apps folder is exist \r\n";
const std::string kLumhelp = "QuorShell: lumhelp folder is exist \r\n";
const std::string kManual = "QuorShell: manual folder is exist \r\n";
const std::string kSound = "QuorShell: sound folder is exist \r\n";

const std::string kFlashData = "\\flashdisk\\K275D-Update\\APP_DATA";

class AppSource : public testing::Test {
protected:
    void SetUp() override { ResetShellState(); }

    void TearDown() override
    {
        EXPECT_EQ(ce_host::Held().handles, 0u);
        EXPECT_EQ(ce_host::Held().heapBlocks, 0u);
    }

    TempDevice device_;
};

struct FolderCase {
    const char *name;
    DWORD selector;
    std::string root;
    std::vector<std::string> entries;  // laid below the root, "*" marks a plain file
    DWORD flag;
    std::vector<std::string> lines;  // between the entry and exit lines
};

class FolderBits : public AppSource, public testing::WithParamInterface<FolderCase> {};

TEST_P(FolderBits, SetsOneBitPerEntryFoundAndLogsItInTableOrder)
{
    const FolderCase &c = GetParam();
    device_.PutFolder(c.root);
    for (const std::string &entry : c.entries) {
        if (entry.back() == '*')
            device_.PutFile(c.root + "\\" + entry.substr(0, entry.size() - 1), "x");
        else
            device_.PutFolder(c.root + "\\" + entry);
    }
    // Data under another root must not count.
    device_.PutFolder("\\SMD\\K275D-Update\\APP_DATA\\apps");

    EXPECT_EQ(IsExistAPPS(c.selector), 1u);

    EXPECT_EQ(gdwAppFolderFlag, c.flag);
    std::vector<std::string> expected = {kEntry};
    expected.insert(expected.end(), c.lines.begin(), c.lines.end());
    expected.push_back(kExit);
    EXPECT_EQ(device_.LogEntries(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FolderBits,
    testing::Values(
        FolderCase{"NoFolders", 1, kFlashData, {}, 0, {}},
        FolderCase{"AllFourCreatedBackwards",
                   1,
                   kFlashData,
                   {"sound", "manual", "lumhelp", "apps"},
                   0xF,
                   {kApps, kLumhelp, kManual, kSound}},
        FolderCase{"PlainFileNamedApps", 1, kFlashData, {"apps*"}, 0x1, {kApps}},
        FolderCase{"OtherNamesIgnored", 1, kFlashData, {"app", "sounds", "manual"}, 0x4, {kManual}},
        FolderCase{"SelectorZeroIsFlashdisk", 0, kFlashData, {"sound"}, 0x8, {kSound}},
        FolderCase{"SelectorFourIsFlashdisk", 4, kFlashData, {"lumhelp"}, 0x2, {kLumhelp}},
        FolderCase{"SelectorTwoIsUsb",
                   2,
                   "\\USB\\K275D-Update\\APP_DATA",
                   {"apps", "sound"},
                   0x9,
                   {kApps, kSound}},
        FolderCase{
            "SelectorThreeIsSd", 3, "\\SD\\K275D-Update\\APP_DATA", {"manual"}, 0x4, {kManual}}),
    [](const auto &info) { return std::string(info.param.name); });

// A missing root answers 0 and keeps the bits of the call before; a later call that finds the
// root rebuilds them from nothing, so folders that vanished lose their bits.
TEST_F(AppSource, MissingRootKeepsTheBitsAndALaterCallRebuildsThem)
{
    EXPECT_EQ(IsExistAPPS(1), 0u);
    EXPECT_EQ(gdwAppFolderFlag, 0u);

    device_.PutFolder(kFlashData + "\\apps");
    device_.PutFolder(kFlashData + "\\manual");
    device_.PutFolder(kFlashData + "\\sound");
    EXPECT_EQ(IsExistAPPS(1), 1u);
    EXPECT_EQ(gdwAppFolderFlag, 0xDu);

    // The same folders on the SD root are not looked at for selector 3 while it is missing.
    EXPECT_EQ(IsExistAPPS(3), 0u);
    EXPECT_EQ(gdwAppFolderFlag, 0xDu);

    std::filesystem::remove_all(device_.Host(kFlashData + "\\apps"));
    std::filesystem::remove_all(device_.Host(kFlashData + "\\sound"));
    device_.PutFolder(kFlashData + "\\lumhelp");
    EXPECT_EQ(IsExistAPPS(1), 1u);
    EXPECT_EQ(gdwAppFolderFlag, 0x6u);

    EXPECT_EQ(device_.LogEntries(),
              (std::vector<std::string>{kEntry, kMissing, kEntry, kApps, kManual, kSound, kExit,
                                        kEntry, kMissing, kEntry, kLumhelp, kManual, kExit}));
}

// The program starts with no folders recorded, whatever an earlier run in this process found.
TEST_F(AppSource, ResetClearsTheBits)
{
    device_.PutFolder(kFlashData + "\\apps");
    ASSERT_EQ(IsExistAPPS(1), 1u);
    ASSERT_EQ(gdwAppFolderFlag, 0x1u);
    ResetShellState();
    EXPECT_EQ(gdwAppFolderFlag, 0u);
}

}  // namespace app_source_test
