// Comparing, copying and emptying folder trees, one row a case: the tree afterwards, the story
// the device saw (each level's lines in order, the folders asked for, where a failure stopped the
// walk) and that nothing stays held. Hostile trees are rows too: files of 4 GiB, child paths at
// the 259-character limit, names the device's file systems refuse.
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "appupdate/tree_walk.h"
#include "platform/host/host.h"
#include "tests/appupdate/tree_rows.h"

namespace tree_walk_test {
namespace {

using nlohmann::json;
using qs_test::Entries;
using qs_test::kFolder;
using qs_test::kGone;
using qs_test::Sparse;

const std::string kSrc = "\\src\\";
const std::string kDst = "\\dst\\";

std::u16string Wide(const std::string &text)
{
    return std::u16string(text.begin(), text.end());
}
DWORD Check(const std::string &source = kSrc, const std::string &dest = kDst)
{
    return CheckExeFile(Wide(source).c_str(), Wide(dest).c_str());
}
DWORD Copy(const std::string &source = kSrc, const std::string &dest = kDst)
{
    return CopyExeFile(Wide(source).c_str(), Wide(dest).c_str());
}
const auto kCheck = [] { return Check(); };
const auto kCopy = [] { return Copy(); };
const auto kDelete = [] { return DeleteAllFile(u"\\dst"); };

// A file three levels down, its counterpart (kGone: none) and a later pair that would log its
// sizes if the compare went on after the first difference.
Entries Deep(const std::string &source, const std::string &dest)
{
    Entries entries = {
        {"\\src\\a\\b\\d\\f.txt", source}, {"\\src\\z.txt", "z"}, {"\\dst\\z.txt", "z"}};
    if (dest != kGone)
        entries["\\dst\\a\\b\\d\\f.txt"] = dest;
    return entries;
}

// "\src\" + 200 characters + "\" leaves room for names up to 55 characters in 259.
const std::string kLong = std::string(200, 'f');
const std::string kLongSource = kSrc + kLong + "\\";
std::string LongName(size_t pathLength)
{
    return std::string(pathLength - kLongSource.size(), 'n');
}

const Entries kDeleteTree = {
    {"\\dst\\a.txt", "a"},    {"\\dst\\empty.bin", ""},         {"\\dst\\ro.dat", "r"},
    {"\\dst\\none", kFolder}, {"\\dst\\sub\\deep\\z.dat", "z"}, {"\\dst\\sub\\y.dat", "y"}};
const std::string kZ(70000, 'z');
const std::string kQ(5000, 'q');
constexpr uint64_t k4GiB = uint64_t{1} << 32;
const Entries kSamePair = {{"\\src\\f.bin", std::string(600, 'f')},
                           {"\\dst\\f.bin", std::string(600, 'f')}};

using appupdate_story::TreeCase;
using appupdate_story::TreeRow;

// Both this table and the installation's run here.
TEST_P(TreeCase, LeavesTheTreeAndTellsItsStory)
{
    const TreeRow &row = GetParam();
    qs_test::TempDevice device(row.device);
    ResetShellState();
    qs_test::LayEntries(device.folder(), row.before);
    for (const std::string &path : row.readOnly)
        ASSERT_TRUE(SetFileAttributesW(Wide(path).c_str(),
                                       FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    Entries before = qs_test::ReadEntries(device.folder());
    std::optional<uint64_t> failing;
    if (!row.fail.first.empty()) {
        // A dry run numbers the calls; the rows that fail a call change nothing on it.
        appupdate_story::StartStory(device);
        row.run();
        const auto &calls = ce_host::FallibleCalls();
        for (size_t n = 0; n < calls.size() && !failing; ++n)
            if (calls[n].call == row.fail.first && calls[n].target == row.fail.second)
                failing = n + 1;
        ASSERT_TRUE(failing) << row.fail.first << " " << row.fail.second;
    }
    ce_host::ScopedFailingCall fault(failing);
    appupdate_story::StartStory(device);
    DWORD result = row.run();

    qs_test::ExpectGoldenLog(appupdate_story::Story(device, result),
                             std::string("appupdate_") + row.name);
    EXPECT_EQ(qs_test::ReadEntries(device.folder()), qs_test::Changed(before, row.changes));
    qs_test::ExpectNothingHeld();
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Walk, TreeCase,
    testing::Values(
        TreeRow{"CheckMissingSource", {}, [] { return Check("\\nowhere\\"); }, {}},
        TreeRow{"CopyMissingSource", {}, [] { return Copy("\\nowhere\\"); }, {}},
        // Every folder is made, empty ones too, every file copied whatever its length; what only
        // the destination holds stays. The compare of the result then passes level by level.
        TreeRow{"CopyThenCompare",
                {{"\\src\\a.txt", "alpha"}, {"\\src\\empty.bin", ""}, {"\\src\\none", kFolder},
                 {"\\src\\sub\\deep\\z.dat", kZ}, {"\\dst\\old.txt", "kept"},
                 {"\\dst\\a.txt", "previous, longer content"}, {"\\dst\\onlyhere", kFolder}},
                [] { return Copy() && Check(); },
                {{"\\dst\\a.txt", "alpha"}, {"\\dst\\empty.bin", ""}, {"\\dst\\none", kFolder},
                 {"\\dst\\sub", kFolder}, {"\\dst\\sub\\deep", kFolder},
                 {"\\dst\\sub\\deep\\z.dat", kZ}}},
        // A folder that exists already is asked for all the same, as D + name.
        TreeRow{"CopyIntoAnExistingFolder", {{"\\src\\x\\y\\f.txt", "f"}, {"\\dst\\x", kFolder}},
                kCopy, {{"\\dst\\x\\y", kFolder}, {"\\dst\\x\\y\\f.txt", "f"}}},
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
                {{kDst + kLong, kFolder}, {kDst + kLong + "\\" + LongName(259), "259"}}},
        TreeRow{"CopyChildPathOf260Characters",
                {{kLongSource + "a.txt", "a"}, {kLongSource + LongName(260), "260"},
                 {"\\dst", kFolder}},
                kCopy, {{kDst + kLong, kFolder}, {kDst + kLong + "\\a.txt", "a"}}},
        TreeRow{"CompareChildPathOf260Characters",
                {{kLongSource + LongName(260), "260"}, {kDst + kLong + "\\other.txt", ""}},
                kCheck, {}},
        // A refused first copy resets the destination's attributes and copies once more.
        TreeRow{"CopyOverAReadOnlyFile", {{"\\src\\r.txt", "new"}, {"\\dst\\r.txt", "old"}},
                kCopy, {{"\\dst\\r.txt", "new"}}, json::object(), {"\\dst\\r.txt"}},
        // Without the destination's folder, or with a name the file systems refuse ('?' and a
        // control character), the attribute reset fails on a file that never came to be.
        TreeRow{"CopyToAMissingFolder", {{"\\src\\a.txt", "a"}, {"\\src\\b.txt", "b"}},
                [] { return Copy(kSrc, "\\gone\\"); }, {}},
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
    appupdate_story::RowName);
// clang-format on

}  // namespace
}  // namespace tree_walk_test
