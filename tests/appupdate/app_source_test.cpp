// Finding the application data: the root per selector, the four folder bits and their lines, and
// what a failed or repeated search does to the bits. The logs are kept whole in tests/golden.
#include <gtest/gtest.h>

#include "appupdate/app_source.h"
#include "platform/host/host.h"
#include "tests/support/expect.h"
#include "tests/support/temp_device.h"

namespace app_source_test {
namespace {

const std::string kFlashData = "\\flashdisk\\K275D-Update\\APP_DATA";
// Read during static initialisation, before any test runs: the bits as the program starts.
const DWORD kFlagAtProgramStart = gdwAppFolderFlag;

// Each row: the selector, its root, the entries laid below it ("*" marks a plain file), the bits
// found, and its log, tests/golden/appupdate_source_NAME.log.
struct FolderRow {
    const char *name;
    DWORD selector;
    std::string root;
    std::vector<std::string> entries;
    DWORD flag;
};
// clang-format off
const FolderRow kFolderRows[] = {
    {"NoFolders", 1, kFlashData, {}, 0},
    {"AllFourCreatedBackwards", 1, kFlashData, {"sound", "manual", "lumhelp", "apps"}, 0xF},
    {"PlainFileNamedApps", 1, kFlashData, {"apps*"}, 0x1},
    {"OtherNamesIgnored", 1, kFlashData, {"app", "sounds", "manual"}, 0x4},
    {"SelectorZeroIsFlashdisk", 0, kFlashData, {"sound"}, 0x8},
    {"SelectorFourIsFlashdisk", 4, kFlashData, {"lumhelp"}, 0x2},
    {"SelectorTwoIsUsb", 2, "\\USB\\K275D-Update\\APP_DATA", {"apps", "sound"}, 0x9},
    {"SelectorThreeIsSd", 3, "\\SD\\K275D-Update\\APP_DATA", {"manual"}, 0x4},
};
// clang-format on

TEST(AppSource, SetsOneBitPerEntryFoundAndLogsItInTableOrder)
{
    for (const FolderRow &row : kFolderRows) {
        SCOPED_TRACE(row.name);
        qs_test::TempDevice device;
        ResetShellState();
        device.PutFolder(row.root);
        for (const std::string &entry : row.entries) {
            if (entry.back() == '*')
                device.PutFile(row.root + "\\" + entry.substr(0, entry.size() - 1), "x");
            else
                device.PutFolder(row.root + "\\" + entry);
        }
        device.PutFolder("\\SMD\\K275D-Update\\APP_DATA\\apps");  // another root: not counted

        EXPECT_EQ(IsExistAPPS(row.selector), 1u);
        EXPECT_EQ(gdwAppFolderFlag, row.flag);
        qs_test::ExpectGoldenLog(device.LogEntries(), std::string("appupdate_source_") + row.name);
        qs_test::ExpectNothingHeld();
    }
}

// A missing root answers 0 and keeps the bits of the call before; a later call that finds the
// root rebuilds them from nothing, so folders that vanished lose their bits. A boot in the same
// process starts from the bits the program starts with, whatever an earlier boot found.
TEST(AppSource, MissingRootKeepsTheBitsAndALaterCallRebuildsThem)
{
    qs_test::TempDevice device;
    ResetShellState();
    std::vector<DWORD> results, flags;
    auto probe = [&](DWORD selector) {
        results.push_back(IsExistAPPS(selector));
        flags.push_back(gdwAppFolderFlag);
    };
    probe(1);
    device.PutFolder(kFlashData + "\\apps");
    device.PutFolder(kFlashData + "\\manual");
    device.PutFolder(kFlashData + "\\sound");
    probe(1);
    probe(3);  // the same folders are not looked at for the missing SD root
    std::filesystem::remove_all(device.Host(kFlashData + "\\apps"));
    std::filesystem::remove_all(device.Host(kFlashData + "\\sound"));
    device.PutFolder(kFlashData + "\\lumhelp");
    probe(1);

    EXPECT_EQ(results, (std::vector<DWORD>{0, 1, 0, 1}));
    EXPECT_EQ(flags, (std::vector<DWORD>{0, 0xD, 0xD, 0x6}));
    qs_test::ExpectGoldenLog(device.LogEntries(), "appupdate_source_MissingRoot");
    ResetShellState();
    EXPECT_EQ(gdwAppFolderFlag, kFlagAtProgramStart);
}

}  // namespace
}  // namespace app_source_test
