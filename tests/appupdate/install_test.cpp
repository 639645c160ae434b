// Comparing, copying and emptying folder trees, and installing application data from them, one
// row a case: the tree afterwards, the story the device saw, and that nothing stays held. A story
// is what a user of the device sees, in order: the debug log, the devices opened and closed, each
// braille line as the text it reads, the faults device.json fired, each folder the program asked
// for (the path the call received), and last the result; rows keep it whole in
// tests/golden/appupdate_NAME.log. Hostile trees are rows too: files of 4 GiB, child paths at the
// 259-character limit, names the device's file systems refuse.
#include <functional>
#include <optional>
#include <utility>

#include <gtest/gtest.h>

#include "appupdate/app_source.h"
#include "appupdate/install.h"
#include "appupdate/tree_walk.h"
#include "devkit/braille_reading.h"
#include "platform/host/call_faults.h"
#include "platform/host/host.h"
#include "tests/support/expect.h"
#include "tests/support/temp_device.h"

namespace install_test {
namespace {

using nlohmann::json;
using qs_test::Changed;
using qs_test::Entries;
using qs_test::kFolder;
using qs_test::kGone;
using qs_test::Sparse;

qs_test::Lines Story(qs_test::TempDevice &device, DWORD result)
{
    qs_test::Lines story;
    const auto &events = device.device().Events().Events();
    const auto &calls = ce_host::FallibleCalls();
    size_t call = 0;
    for (size_t at = 0; at <= events.size(); ++at) {
        for (; call < calls.size() && calls[call].firstEvent <= at; ++call)
            if (calls[call].call == "CreateDirectoryW")
                story.push_back("CreateDirectoryW " + calls[call].target + "\r\n");
        if (at == events.size())
            break;
        const auto &event = events[at];
        std::string kind = event["event"];
        if (kind == "log")
            story.push_back(event["text"]);
        else if (kind == "open")  // access, share, disposition and flags
            story.push_back("open " + event["device"].get<std::string>() + " " +
                            qs_test::Hex(event["access"]) + " " + event["share"].dump() + " " +
                            event["disposition"].dump() + " " + event["flags"].dump() + "\r\n");
        else if (kind == "close")
            story.push_back("close " + event["device"].get<std::string>() + "\r\n");
        else if (kind == "braille")
            story.push_back("braille: " + devkit::TextOfBraille(event["text"]) + "\r\n");
        else if (kind == "fault" && event["device"] == "files")
            story.push_back("fault: " + event["what"].get<std::string>() + "\r\n");
    }
    story.push_back("result " + std::to_string(result) + "\r\n");
    return story;
}

// One case: the device and the entries laid under its root, an operation, and what it must
// leave.
struct TreeRow {
    const char *name;
    Entries before;
    std::function<DWORD()> run;
    Entries changes;  // the root afterwards, against before
    json device = json::object();
    std::vector<std::string> readOnly = {};         // given the read-only and hidden attributes
    std::pair<std::string, std::string> fail = {};  // the first such call on that target fails
};

class TreeCase : public testing::TestWithParam<TreeRow> {};

const auto kCheck = [] { return CheckExeFile(u"\\src\\", u"\\dst\\"); };
const auto kCopy = [] { return CopyExeFile(u"\\src\\", u"\\dst\\"); };
const auto kDelete = [] { return DeleteAllFile(u"\\dst"); };

// A file three levels down, its counterpart (kGone: none) and a later pair that would log its
// sizes if the compare went on after the first difference.
Entries Deep(const std::string &source, const std::string &dest)
{
    return Changed(
        {{"\\src\\a\\b\\d\\f.txt", source}, {"\\src\\z.txt", "z"}, {"\\dst\\z.txt", "z"}},
        {{"\\dst\\a\\b\\d\\f.txt", dest}});
}

// "\src\" + 200 characters + "\" leaves room for names up to 55 characters in 259.
const std::string kLong = std::string(200, 'f');
const std::string kLongSource = "\\src\\" + kLong + "\\";
std::string LongName(size_t pathLength)
{
    return std::string(pathLength - kLongSource.size(), 'n');
}

const Entries kDeleteTree = {
    {"\\dst\\a.txt", "a"},    {"\\dst\\empty.bin", ""},         {"\\dst\\ro.dat", "r"},
    {"\\dst\\none", kFolder}, {"\\dst\\sub\\deep\\z.dat", "z"}, {"\\dst\\sub\\y.dat", "y"}};
const Entries kSamePair = {{"\\src\\f.bin", std::string(600, 'f')},
                           {"\\dst\\f.bin", std::string(600, 'f')}};
const std::string kZ(70000, 'z');
const std::string kQ(5000, 'q');
constexpr uint64_t k4GiB = uint64_t{1} << 32;

TEST_P(TreeCase, LeavesTheTreeAndTellsItsStory)
{
    const TreeRow &row = GetParam();
    qs_test::TempDevice device(row.device);
    ResetShellState();
    qs_test::LayEntries(device.folder(), row.before);
    for (const std::string &path : row.readOnly)
        ASSERT_TRUE(SetFileAttributesW(qs_test::U16(path).c_str(),
                                       FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    Entries before = qs_test::ReadEntries(device.folder());
    // The operation's own calls and events alone make its story.
    auto start = [&] {
        device.device().Events().Clear();
        ce_host::ResetFallibleCalls();
    };
    std::optional<uint64_t> failing;
    if (!row.fail.first.empty()) {
        // A dry run numbers the calls; the rows that fail a call change nothing on it.
        start();
        row.run();
        const auto &calls = ce_host::FallibleCalls();
        for (size_t n = 0; n < calls.size() && !failing; ++n)
            if (calls[n].call == row.fail.first && calls[n].target == row.fail.second)
                failing = n + 1;
        ASSERT_TRUE(failing) << row.fail.first << " " << row.fail.second;
    }
    ce_host::ScopedFailingCall fault(failing);
    start();
    DWORD result = row.run();

    qs_test::ExpectGoldenLog(Story(device, result), std::string("appupdate_") + row.name);
    EXPECT_EQ(qs_test::ReadEntries(device.folder()), qs_test::Changed(before, row.changes));
    qs_test::ExpectNothingHeld();
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Walk, TreeCase,
    testing::Values(
        TreeRow{"CheckMissingSource", {}, [] { return CheckExeFile(u"\\no\\", u"\\dst\\"); }, {}},
        TreeRow{"CopyMissingSource", {}, [] { return CopyExeFile(u"\\no\\", u"\\dst\\"); }, {}},
        // Every folder is asked for as D + name, empty ones too, every file copied whatever its
        // length; what only the destination holds stays. The compare of the result then passes
        // level by level.
        TreeRow{"CopyThenCompare",
                {{"\\src\\a.txt", "alpha"}, {"\\src\\empty.bin", ""}, {"\\src\\none", kFolder},
                 {"\\src\\sub\\deep\\z.dat", kZ}, {"\\dst\\old.txt", "kept"},
                 {"\\dst\\a.txt", "previous, longer content"}, {"\\dst\\onlyhere", kFolder}},
                [] { return kCopy() && kCheck(); },
                {{"\\dst\\a.txt", "alpha"}, {"\\dst\\empty.bin", ""}, {"\\dst\\none", kFolder},
                 {"\\dst\\sub", kFolder}, {"\\dst\\sub\\deep", kFolder},
                 {"\\dst\\sub\\deep\\z.dat", kZ}}},
        // The compare makes a missing folder before it looks inside, so the folder stays though
        // the compare of its contents fails.
        TreeRow{"CompareMakesMissingFolders",
                {{"\\src\\empty", kFolder}, {"\\src\\sub\\f.txt", "f"}, {"\\dst", kFolder}},
                kCheck, {{"\\dst\\empty", kFolder}, {"\\dst\\sub", kFolder}}},
        // Each compare failure deep down: its line, then one nested line per enclosing level.
        TreeRow{"CompareDestinationMissing", Deep("abc", kGone), kCheck,
                {{"\\dst\\a", kFolder}, {"\\dst\\a\\b", kFolder}, {"\\dst\\a\\b\\d", kFolder}}},
        TreeRow{"CompareSizeDiffers", Deep("abc", "abcd"), kCheck, {}},
        TreeRow{"CompareLastByteDiffers", Deep("abc", "abd"), kCheck, {}},
        TreeRow{"CompareFirstByteDiffers", Deep(kQ, "Q" + kQ.substr(1)), kCheck, {}},
        TreeRow{"CompareSourceOpenFails", kSamePair, kCheck, {},
                {{"files", {{"locked", {"\\src\\f.bin"}}}}}},
        TreeRow{"CompareSecondBufferRefused", kSamePair, kCheck, {},
                {{"heap", {{"limit_bytes", 1000}}}}},
        TreeRow{"CompareSourceReadFails", kSamePair, kCheck, {}, json::object(), {},
                {"ReadFile", "\\src\\f.bin"}},
        TreeRow{"CompareDestinationReadFails", kSamePair, kCheck, {}, json::object(),
                {}, {"ReadFile", "\\dst\\f.bin"}},
        // Files of 4 GiB: their low words alone would compare equal lengths.
        TreeRow{"CompareSourceOfExactly4GiB",
                {{"\\src\\big.bin", Sparse(k4GiB)}, {"\\dst\\big.bin", ""}}, kCheck, {}},
        TreeRow{"CompareDestinationPast4GiB",
                {{"\\src\\big.bin", "abc"}, {"\\dst\\big.bin", Sparse(k4GiB + 3)}},
                kCheck, {}},
        // Child paths at the limit: 259 characters are copied, 260 refused naming the folder.
        TreeRow{"CopyChildPathOf259Characters",
                {{kLongSource + LongName(259), "259"}, {"\\dst", kFolder}}, kCopy,
                {{"\\dst\\" + kLong, kFolder}, {"\\dst\\" + kLong + "\\" + LongName(259), "259"}}},
        TreeRow{"CopyChildPathOf260Characters",
                {{kLongSource + "a.txt", "a"}, {kLongSource + LongName(260), "260"},
                 {"\\dst", kFolder}},
                kCopy, {{"\\dst\\" + kLong, kFolder}, {"\\dst\\" + kLong + "\\a.txt", "a"}}},
        TreeRow{"CompareChildPathOf260Characters",
                {{kLongSource + LongName(260), "260"}, {"\\dst\\" + kLong + "\\other.txt", ""}},
                kCheck, {}},
        // A refused first copy resets the destination's attributes and copies once more.
        TreeRow{"CopyOverAReadOnlyFile", {{"\\src\\r.txt", "new"}, {"\\dst\\r.txt", "old"}},
                kCopy, {{"\\dst\\r.txt", "new"}}, json::object(), {"\\dst\\r.txt"}},
        // A name the file systems refuse ('?' and a control character): the attribute reset
        // fails on a file that never came to be, and the walk stops there.
        TreeRow{"CopyARefusedName", {{"\\src\\a?b\tc.txt", "q"}, {"\\dst", kFolder}},
                kCopy, {}},
        // Failing twice part-way, a copy leaves the partial file and ends every level.
        TreeRow{"CopyFailsPartWay",
                {{"\\src\\apps\\a.dat", "a"}, {"\\src\\apps\\b.dat", std::string(200000, 'b')},
                 {"\\src\\apps\\c.dat", "c"}, {"\\src\\z.dat", "z"}, {"\\dst", kFolder}},
                kCopy,
                {{"\\dst\\apps", kFolder}, {"\\dst\\apps\\a.dat", "a"},
                 {"\\dst\\apps\\b.dat", std::string(70000, 'b')}},
                {{"files",
                  {{"fail_copies", {{{"path", "\\src\\apps\\b.dat"}, {"after_bytes", 70000}}}}}}}},
        // Emptying: files of any length and attribute and every subfolder go, the folder stays;
        // a folder that cannot be removed is logged and passed over; a file that cannot go stops
        // every level (entries come by name, so y.dat stays).
        TreeRow{"DeleteMissingFolder", {}, [] { return DeleteAllFile(u"\\nowhere"); }, {}},
        TreeRow{"DeleteEverythingBelow", kDeleteTree, kDelete,
                {{"\\dst\\a.txt", kGone}, {"\\dst\\empty.bin", kGone}, {"\\dst\\ro.dat", kGone},
                 {"\\dst\\none", kGone}, {"\\dst\\sub", kGone}},
                json::object(), {"\\dst\\ro.dat"}},
        TreeRow{"DeleteAFolderThatStays", kDeleteTree, kDelete,
                {{"\\dst\\a.txt", kGone}, {"\\dst\\empty.bin", kGone}, {"\\dst\\ro.dat", kGone},
                 {"\\dst\\none", kGone}, {"\\dst\\sub\\deep\\z.dat", kGone},
                 {"\\dst\\sub\\y.dat", kGone}},
                json::object(), {"\\dst\\ro.dat", "\\dst\\sub\\deep"}},
        TreeRow{"DeleteAHeldFile", kDeleteTree, kDelete,
                {{"\\dst\\a.txt", kGone}, {"\\dst\\empty.bin", kGone}, {"\\dst\\ro.dat", kGone},
                 {"\\dst\\none", kGone}},
                {{"files", {{"locked", {"\\dst\\sub\\deep\\z.dat"}}}}}},
        // A name that fits its own folder's path but not a child path below it.
        TreeRow{"DeleteChildPathTooLong", {{"\\dst\\" + std::string(250, 'n') + "\\x.bin", "x"}},
                kDelete, {}}),
    [](const auto &info) { return std::string(info.param.name); });
// clang-format on

const std::string kSource = "\\flashdisk\\K275D-Update\\APP_DATA\\";
const std::string kApp = "\\NAND\\apps\\app.exe";
const std::string kOldHelp = "\\NAND\\lumhelp\\old.hlp";
const std::string kOldManual = "\\NAND\\manual\\old.txt";
const std::string kOldSound = "\\NAND\\sound\\old.wav";
const std::string kBeep = "\\NAND\\sound\\beep.wav";

// The previous installation holds "old" and a file in each other folder, the update "new" and a
// sound.
// clang-format off
const Entries kBase = {{kApp, "old"}, {kOldHelp, "h"}, {kOldManual, "m"}, {kOldSound, "w"},
                       {kSource + "apps\\app.exe", "new"}, {kSource + "sound\\beep.wav", "beep"}};
// clang-format on

const Entries kFresh = Changed(kBase, {{"\\NAND\\apps", kGone}});

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
    [](const auto &info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
}  // namespace install_test
