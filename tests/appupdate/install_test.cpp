// Installing application data, as rows of the tree table: the installed folders and the backup
// after each outcome, the compare-and-copy loop driven by the simulated device's copy faults, and
// the braille line from the first copy to the closing 100.
#include <gtest/gtest.h>

#include "appupdate/app_source.h"
#include "appupdate/install.h"
#include "tests/appupdate/tree_rows.h"

namespace install_test {
namespace {

using appupdate_story::TreeCase;
using appupdate_story::TreeRow;
using nlohmann::json;
using qs_test::Changed;
using qs_test::kFolder;
using qs_test::kGone;

const std::string kSource = "\\flashdisk\\K275D-Update\\APP_DATA\\";
const std::string kApp = "\\NAND\\apps\\app.exe";
const std::string kOldHelp = "\\NAND\\lumhelp\\old.hlp";
const std::string kOldManual = "\\NAND\\manual\\old.txt";
const std::string kOldSound = "\\NAND\\sound\\old.wav";
const std::string kBeep = "\\NAND\\sound\\beep.wav";

// The previous installation holds "old" and a file in each other folder, the update "new" and a
// sound.
const qs_test::Entries kBase = {{kApp, "old"},
                                {kOldHelp, "h"},
                                {kOldManual, "m"},
                                {kOldSound, "w"},
                                {kSource + "apps\\app.exe", "new"},
                                {kSource + "sound\\beep.wav", "beep"}};

const qs_test::Entries kFresh = Changed(kBase, {{"\\NAND\\apps", kGone}});

// The installation from selector 1, with the folder bits the discovery would have left.
std::function<DWORD()> Install(DWORD flags, DWORD selector = 1)
{
    return [=] {
        gdwAppFolderFlag = flags;
        return CopyAPPFiles(selector);
    };
}

json Files(const std::string &fault, json value)
{
    return {{"files", {{fault, json::array({value})}}}};
}
// The application file's copies made wrong this many times: each compare of them fails.
json Corrupt(int copies)
{
    return Files("corrupt_copies",
                 {{"path", kSource + "apps\\app.exe"}, {"copies", copies}, {"offset", 1}});
}

constexpr DWORD kAppsSound = APP_FOLDER_APPS | APP_FOLDER_SOUND;

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Install, TreeCase,
    testing::Values(
        // Sound is emptied and refilled; lumhelp and manual, whose bits are clear, stay.
        TreeRow{"FirstComparePasses", kBase, Install(kAppsSound),
                {{kApp, "new"}, {kOldSound, kGone}, {kBeep, "beep"}}},
        TreeRow{"FourFailuresThenSuccess", kBase, Install(kAppsSound),
                {{kApp, "new"}, {kOldSound, kGone}, {kBeep, "beep"}}, Corrupt(4)},
        TreeRow{"FiveFailuresRestoreTheBackup", kBase, Install(kAppsSound),
                {{kOldSound, kGone}, {kBeep, "beep"}}, Corrupt(5)},
        // The main copy stops in apps, before sound; so does the copy after the failed compare.
        TreeRow{"RetryCopyFailsKeepsTheBackup", kBase, Install(kAppsSound),
                {{kApp, "n"}, {"\\NAND\\apps_bk", kFolder}, {"\\NAND\\apps_bk\\app.exe", "old"},
                 {kOldSound, kGone}},
                Files("fail_copies", {{"path", kSource + "apps\\app.exe"}, {"after_bytes", 1}})},
        TreeRow{"EmptiesEveryFolderItReplaces",
                Changed(kBase, {{kSource + "lumhelp\\new.hlp", "H"},
                                {kSource + "manual\\new.txt", "M"}}),
                Install(0xF),
                {{kApp, "new"}, {kOldHelp, kGone}, {"\\NAND\\lumhelp\\new.hlp", "H"},
                 {kOldManual, kGone}, {"\\NAND\\manual\\new.txt", "M"}, {kOldSound, kGone},
                 {kBeep, "beep"}}},
        // Without the application bit nothing is set aside or verified: the tree merges in, and
        // a failed main copy leaves the result 1.
        TreeRow{"NothingClearedWithoutBits", kBase, Install(0), {{kApp, "new"}, {kBeep, "beep"}}},
        TreeRow{"MainCopyFailsWithoutTheApplicationBit", kBase, Install(APP_FOLDER_SOUND),
                {{kApp, "new"}, {kOldSound, kGone}, {kBeep, "b"}},
                Files("fail_copies", {{"path", kSource + "sound\\beep.wav"}, {"after_bytes", 1}})},
        TreeRow{"WithoutNandNothingIsTouched", Changed(kBase, {{"\\NAND", kGone}}),
                Install(kAppsSound), {}},
        TreeRow{"SelectorTwoReadsSmdWithoutADisplay",
                Changed(kBase, {{"\\SMD\\K275D-Update\\APP_DATA\\apps\\app.exe", "smd"}}),
                Install(APP_FOLDER_APPS, 2), {{kApp, "smd"}}, {{"braille", {{"present", false}}}}},
        // No application folder before: the rename fails unnoticed, and after five failed
        // compares there is nothing to move back.
        TreeRow{"WithoutAPreviousInstallation", kFresh, Install(APP_FOLDER_APPS),
                {{"\\NAND\\apps", kFolder}, {kApp, "new"}, {kBeep, "beep"}}},
        TreeRow{"WithoutAPreviousInstallationFiveFailures", kFresh, Install(APP_FOLDER_APPS),
                {{kBeep, "beep"}}, Corrupt(5)}),
    appupdate_story::RowName);
// clang-format on

}  // namespace
}  // namespace install_test
