// Comparing and copying folder trees: the lines of each level in order, what lands on disk, where
// a failure stops the walk, and that nothing stays held.
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "appupdate/tree_walk.h"
#include "platform/ce.h"
#include "platform/host/host.h"
#include "tests/support/temp_device.h"

namespace tree_walk_test {

using nlohmann::json;
using qs_test::TempDevice;

std::u16string Wide(const std::string &text)
{
    return std::u16string(text.begin(), text.end());
}

const std::string kSrc = "\\src\\";
const std::string kDst = "\\dst\\";

std::string CheckIn(const std::string &s, const std::string &d)
{
    return "OSUPDATE: +CheckExeFile " + s + " " + d + " \r\n";
}
std::string CopyIn(const std::string &s, const std::string &d)
{
    return "OSUPDATE: +CopyExeFile " + s + " " + d + " \r\n";
}
std::string Copying(const std::string &s)
{
    return "Copy: " + s + " \r\n";
}
std::string Sizes(size_t s, size_t d)
{
    return "CheckExeFile: size " + std::to_string(s) + " - " + std::to_string(d) + " \r\n";
}
const std::string kCheckOut = "OSUPDATE: -CheckExeFile \r\n";
const std::string kCopyOut = "OSUPDATE: -CopyExeFile \r\n";
const std::string kCheckNested = "CheckExeFile: CheckExeFile fail \r\n";
const std::string kCopyNested = "CopyExeFile: CopyExeFile fail \r\n";

class TreeWalk : public testing::Test {
protected:
    explicit TreeWalk(const json &deviceJson = json::object()) : device_(deviceJson)
    {
        ResetShellState();
    }

    void TearDown() override
    {
        EXPECT_EQ(ce_host::Held().handles, 0u);
        EXPECT_EQ(ce_host::Held().heapBlocks, 0u);
    }

    DWORD Check(const std::string &s = kSrc, const std::string &d = kDst)
    {
        return CheckExeFile(Wide(s).c_str(), Wide(d).c_str());
    }
    DWORD Copy(const std::string &s = kSrc, const std::string &d = kDst)
    {
        return CopyExeFile(Wide(s).c_str(), Wide(d).c_str());
    }

    std::vector<std::string> Log() { return device_.LogEntries(); }

    DWORD Attributes(const std::string &path)
    {
        WIN32_FIND_DATAW found;
        HANDLE hFind = FindFirstFileW(Wide(path).c_str(), &found);
        if (hFind == INVALID_HANDLE_VALUE)
            return INVALID_FILE_ATTRIBUTES;
        FindClose(hFind);
        return found.dwFileAttributes;
    }

    TempDevice device_;
};

TEST_F(TreeWalk, MissingSourceSucceedsAndTouchesNothing)
{
    device_.PutFolder("\\dst");
    std::set<std::string> before = device_.Tree();

    EXPECT_EQ(Check("\\nowhere\\"), 1u);
    EXPECT_EQ(Copy("\\nowhere\\"), 1u);

    EXPECT_EQ(device_.Tree(), before);
    EXPECT_EQ(Log(), (std::vector<std::string>{CheckIn("\\nowhere\\", kDst), kCheckOut,
                                               CopyIn("\\nowhere\\", kDst), kCopyOut}));
}

// A copy makes every folder, empty ones included, copies every file whatever its length, and
// leaves what only the destination holds; the compare of the result then passes, level by level.
TEST_F(TreeWalk, CopiedTreeComparesEqualAndDestinationOnlyEntriesStay)
{
    device_.PutFile("\\src\\a.txt", "alpha");
    device_.PutFile("\\src\\empty.bin", "");
    device_.PutFolder("\\src\\none");
    device_.PutFile("\\src\\sub\\deep\\z.dat", std::string(70000, 'z'));
    device_.PutFile("\\dst\\old.txt", "kept");
    device_.PutFile("\\dst\\a.txt", "previous content, longer than the new one");
    device_.PutFolder("\\dst\\onlyhere");

    ASSERT_EQ(Copy(), 1u);
    ASSERT_EQ(Check(), 1u);

    EXPECT_EQ(device_.Tree(),
              (std::set<std::string>{"dst", "dst/a.txt", "dst/empty.bin", "dst/none", "dst/old.txt",
                                     "dst/onlyhere", "dst/sub", "dst/sub/deep",
                                     "dst/sub/deep/z.dat", "src", "src/a.txt", "src/empty.bin",
                                     "src/none", "src/sub", "src/sub/deep", "src/sub/deep/z.dat"}));
    EXPECT_EQ(device_.ReadFile("\\dst\\a.txt"), "alpha");
    EXPECT_EQ(device_.ReadFile("\\dst\\empty.bin"), "");
    EXPECT_EQ(device_.ReadFile("\\dst\\old.txt"), "kept");
    EXPECT_EQ(device_.ReadFile("\\dst\\sub\\deep\\z.dat"), std::string(70000, 'z'));
    EXPECT_EQ(Log(), (std::vector<std::string>{CopyIn(kSrc, kDst),
                                               Copying("\\src\\a.txt"),
                                               Copying("\\src\\empty.bin"),
                                               CopyIn("\\src\\none\\", "\\dst\\none\\"),
                                               kCopyOut,
                                               CopyIn("\\src\\sub\\", "\\dst\\sub\\"),
                                               CopyIn("\\src\\sub\\deep\\", "\\dst\\sub\\deep\\"),
                                               Copying("\\src\\sub\\deep\\z.dat"),
                                               kCopyOut,
                                               kCopyOut,
                                               kCopyOut,
                                               CheckIn(kSrc, kDst),
                                               Sizes(5, 5),
                                               Sizes(0, 0),
                                               CheckIn("\\src\\none\\", "\\dst\\none\\"),
                                               kCheckOut,
                                               CheckIn("\\src\\sub\\", "\\dst\\sub\\"),
                                               CheckIn("\\src\\sub\\deep\\", "\\dst\\sub\\deep\\"),
                                               Sizes(70000, 70000),
                                               kCheckOut,
                                               kCheckOut,
                                               kCheckOut}));
}

// The compare makes a missing destination folder before it looks inside, so the folder stays
// even though the compare of its contents then fails.
TEST_F(TreeWalk, CompareMakesMissingFoldersAndFailsOnTheirFiles)
{
    device_.PutFolder("\\src\\empty");
    device_.PutFile("\\src\\sub\\f.txt", "f");
    device_.PutFolder("\\dst");

    EXPECT_EQ(Check(), 0u);

    EXPECT_EQ(device_.Tree(), (std::set<std::string>{"dst", "dst/empty", "dst/sub", "src",
                                                     "src/empty", "src/sub", "src/sub/f.txt"}));
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         CheckIn(kSrc, kDst), CheckIn("\\src\\empty\\", "\\dst\\empty\\"),
                         kCheckOut, CheckIn("\\src\\sub\\", "\\dst\\sub\\"),
                         "CheckExeFile: CreateFile fail \\src\\sub\\f.txt \r\n", kCheckNested}));
}

// Each compare failure deep in the tree: its own line, one nested-failure line per enclosing
// level, and no entry after it visited (the later file "z.txt" would log its sizes).
struct MismatchCase {
    const char *name;
    std::string source;
    std::string dest;  // "" leaves the destination file out
    std::vector<std::string> lines;
};

class CompareMismatch : public TreeWalk, public testing::WithParamInterface<MismatchCase> {};

const std::string kDeepSrc = "\\src\\a\\b\\c\\f.txt";
const std::string kDeepDst = "\\dst\\a\\b\\c\\f.txt";

TEST_P(CompareMismatch, StopsEveryLevelWithItsNestedLine)
{
    const MismatchCase &c = GetParam();
    device_.PutFile(kDeepSrc, c.source);
    if (!c.dest.empty())
        device_.PutFile(kDeepDst, c.dest);
    device_.PutFile("\\src\\z.txt", "z");
    device_.PutFile("\\dst\\z.txt", "z");

    EXPECT_EQ(Check(), 0u);

    std::vector<std::string> expected = {CheckIn(kSrc, kDst), CheckIn("\\src\\a\\", "\\dst\\a\\"),
                                         CheckIn("\\src\\a\\b\\", "\\dst\\a\\b\\"),
                                         CheckIn("\\src\\a\\b\\c\\", "\\dst\\a\\b\\c\\")};
    expected.insert(expected.end(), c.lines.begin(), c.lines.end());
    expected.insert(expected.end(), {kCheckNested, kCheckNested, kCheckNested});
    EXPECT_EQ(Log(), expected);
    EXPECT_EQ(device_.ReadFile(kDeepSrc), c.source);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CompareMismatch,
    testing::Values(MismatchCase{"DestinationMissing",
                                 "abc",
                                 "",
                                 {"CheckExeFile: CreateFile fail " + kDeepSrc + " \r\n"}},
                    MismatchCase{"SizeDiffers",
                                 "abc",
                                 "abcd",
                                 {Sizes(3, 4), "CheckExeFile: file size is not match \r\n"}},
                    MismatchCase{"LastByteDiffers",
                                 "abc",
                                 "abd",
                                 {Sizes(3, 3), "CheckExeFile: Two files are not same " + kDeepSrc +
                                                   " and " + kDeepDst + " fail \r\n"}},
                    MismatchCase{
                        "FirstByteDiffers",
                        std::string(5000, 'q'),
                        "Q" + std::string(4999, 'q'),
                        {Sizes(5000, 5000), "CheckExeFile: Two files are not same " + kDeepSrc +
                                                " and " + kDeepDst + " fail \r\n"}}),
    [](const auto &info) { return std::string(info.param.name); });

// A file of 4 GiB or more is refused before its size is compared: its low word alone would match
// the 3-byte destination here.
TEST_F(TreeWalk, CompareRefusesFilesOf4GiBOrMore)
{
    device_.PutFile("\\src\\big.bin", "");
    std::filesystem::resize_file(device_.Host("\\src\\big.bin"), (uint64_t{1} << 32) + 3);
    device_.PutFile("\\dst\\big.bin", "abc");

    EXPECT_EQ(Check(), 0u);

    EXPECT_EQ(Log(), (std::vector<std::string>{
                         CheckIn(kSrc, kDst), "CheckExeFile: file too large \\src\\big.bin \r\n"}));
}

// A read-only destination refuses the first copy; its attributes are reset and the second copy
// replaces it, taking the source's attributes.
TEST_F(TreeWalk, ReadOnlyDestinationIsResetAndOverwritten)
{
    device_.PutFile("\\src\\r.txt", "new");
    device_.PutFile("\\dst\\r.txt", "old and read-only");
    ASSERT_TRUE(
        SetFileAttributesW(u"\\dst\\r.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    DWORD sourceAttributes = Attributes("\\src\\r.txt");

    EXPECT_EQ(Copy(), 1u);

    EXPECT_EQ(device_.ReadFile("\\dst\\r.txt"), "new");
    EXPECT_EQ(Attributes("\\dst\\r.txt"), sourceAttributes);
    EXPECT_EQ(Log(),
              (std::vector<std::string>{CopyIn(kSrc, kDst), Copying("\\src\\r.txt"), kCopyOut}));
}

// A destination folder that does not exist fails the copy and then the attribute reset.
TEST_F(TreeWalk, MissingDestinationFolderFailsAtTheAttributeReset)
{
    device_.PutFile("\\src\\a.txt", "a");
    device_.PutFile("\\src\\b.txt", "b");

    EXPECT_EQ(Copy(kSrc, "\\gone\\"), 0u);

    EXPECT_EQ(device_.Tree(), (std::set<std::string>{"src", "src/a.txt", "src/b.txt"}));
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         CopyIn(kSrc, "\\gone\\"), Copying("\\src\\a.txt"),
                         "QuorShell: CopyExeFile SetFileAttributes \\gone\\a.txt fail \r\n"}));
}

// A copy that fails after part of a file was written leaves that part, tries once more, and ends
// every level; files after it are not copied.
class CopyFault : public TreeWalk {
protected:
    CopyFault()
        : TreeWalk(
              {{"files",
                {{"fail_copies", {{{"path", "\\src\\apps\\b.dat"}, {"after_bytes", 70000}}}}}}})
    {
    }
};

TEST_F(CopyFault, LeavesThePartialFileAndStopsEveryLevel)
{
    std::string data(200000, 'b');
    device_.PutFile("\\src\\apps\\a.dat", "a");
    device_.PutFile("\\src\\apps\\b.dat", data);
    device_.PutFile("\\src\\apps\\c.dat", "c");
    device_.PutFile("\\src\\z.dat", "z");
    device_.PutFolder("\\dst");

    EXPECT_EQ(Copy(), 0u);

    EXPECT_EQ(device_.ReadFile("\\dst\\apps\\a.dat"), "a");
    EXPECT_EQ(device_.ReadFile("\\dst\\apps\\b.dat"), data.substr(0, 70000));
    EXPECT_FALSE(std::filesystem::exists(device_.Host("\\dst\\apps\\c.dat")));
    EXPECT_FALSE(std::filesystem::exists(device_.Host("\\dst\\z.dat")));
    EXPECT_EQ(device_.EventsOf("fault").size(), 2u);
    EXPECT_EQ(Log(),
              (std::vector<std::string>{
                  CopyIn(kSrc, kDst), CopyIn("\\src\\apps\\", "\\dst\\apps\\"),
                  Copying("\\src\\apps\\a.dat"), Copying("\\src\\apps\\b.dat"),
                  "QuorShell: CopyExeFile CopyFileEx \\src\\apps\\b.dat fail \r\n", kCopyNested}));
}

// A child path that would pass MAX_PATH is never built: the level naming its folder fails after
// the entries before it were handled, and every enclosing level adds its nested line.
struct OverlongCase {
    const char *name;
    bool copy;
};

class OverlongPath : public TreeWalk, public testing::WithParamInterface<OverlongCase> {};

TEST_P(OverlongPath, NamesTheFolderAndFailsThatLevel)
{
    const std::string folder = std::string(200, 'l');
    const std::string source = "\\src\\" + folder + "\\";
    const std::string dest = "\\dst\\" + folder + "\\";
    const std::string longName = std::string(60, 'n') + ".txt";  // 206 + 64 > 259
    device_.PutFile(source + "a.txt", "a");
    device_.PutFile(source + longName, "n");
    device_.PutFolder("\\dst");
    ASSERT_LT(source.size() + 5, size_t(MAX_PATH));

    const char *walk = GetParam().copy ? "CopyExeFile" : "CheckExeFile";
    if (GetParam().copy) {
        EXPECT_EQ(Copy(), 0u);
        EXPECT_EQ(device_.ReadFile(dest + "a.txt"), "a");
    } else {
        device_.PutFile(dest + "a.txt", "a");
        EXPECT_EQ(Check(), 0u);
    }

    EXPECT_FALSE(std::filesystem::exists(device_.Host(dest + longName)));
    std::vector<std::string> expected;
    if (GetParam().copy)
        expected = {CopyIn(kSrc, kDst), CopyIn(source, dest), Copying(source + "a.txt")};
    else
        expected = {CheckIn(kSrc, kDst), CheckIn(source, dest), Sizes(1, 1)};
    expected.push_back(std::string(walk) + ": path too long below " + source + " \r\n");
    expected.push_back(GetParam().copy ? kCopyNested : kCheckNested);
    // The kernel's debug output keeps the first 383 characters of a line.
    for (std::string &line : expected)
        line = line.substr(0, 383);
    EXPECT_EQ(Log(), expected);
}

INSTANTIATE_TEST_SUITE_P(Table, OverlongPath,
                         testing::Values(OverlongCase{"Compare", false},
                                         OverlongCase{"Copy", true}),
                         [](const auto &info) { return std::string(info.param.name); });

// Emptying a folder: files of any length and attribute and every subfolder go, the folder stays;
// a subfolder that cannot be removed is logged and passed over; a file that cannot be deleted
// stops its level and every enclosing one adds its line.
struct DeleteRow {
    const char *name;
    json files;                  // device.json's files section
    const char *readOnlyFolder;  // a subfolder given the read-only attribute, or null
    DWORD result;
    std::vector<std::string> log;
    std::set<std::string> left;  // what remains below the device's root
};

class DeleteAll : public testing::TestWithParam<DeleteRow> {};

TEST_P(DeleteAll, EmptiesTheFolderAsItsRowSays)
{
    const DeleteRow &row = GetParam();
    TempDevice device(json{{"files", row.files}});
    ResetShellState();
    device.PutFile("\\dst\\a.txt", "a");
    device.PutFile("\\dst\\empty.bin", "");
    device.PutFile("\\dst\\ro.dat", "r");
    device.PutFolder("\\dst\\none");
    device.PutFile("\\dst\\sub\\deep\\z.dat", "z");
    device.PutFile("\\dst\\sub\\y.dat", "y");
    ASSERT_TRUE(SetFileAttributesW(u"\\dst\\ro.dat", FILE_ATTRIBUTE_READONLY));
    if (row.readOnlyFolder) {
        ASSERT_TRUE(SetFileAttributesW(Wide(row.readOnlyFolder).c_str(), FILE_ATTRIBUTE_READONLY));
    }
    device.device().Events().Clear();

    EXPECT_EQ(DeleteAllFile(u"\\dst"), row.result);
    EXPECT_EQ(device.LogEntries(), row.log);
    EXPECT_EQ(device.Tree(), row.left);
    EXPECT_EQ(ce_host::Held().handles, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeleteAll,
    testing::Values(
        DeleteRow{"EverythingBelowGoes", json::object(), nullptr, 1, {}, {"dst"}},
        DeleteRow{"AFolderThatStaysIsPassedOver",
                  json::object(),
                  "\\dst\\sub\\deep",
                  1,
                  {"DeleteAllFile: RemoveDirectory \\dst\\sub\\deep fail \r\n",
                   "DeleteAllFile: RemoveDirectory \\dst\\sub fail \r\n"},
                  {"dst", "dst/sub", "dst/sub/deep"}},
        DeleteRow{
            "AFileThatStaysStopsEveryLevel",
            {{"locked", {"\\dst\\sub\\deep\\z.dat"}}},
            nullptr,
            0,
            {"DeleteAllFile: DeleteFile \\dst\\sub\\deep\\z.dat fail \r\n",
             "DeleteAllFile: DeleteAllFile fail \r\n", "DeleteAllFile: DeleteAllFile fail \r\n"},
            // Entries come by name: those before sub are gone, sub's y.dat after deep stays.
            {"dst", "dst/sub", "dst/sub/deep", "dst/sub/deep/z.dat", "dst/sub/y.dat"}}),
    [](const testing::TestParamInfo<DeleteRow> &info) { return std::string(info.param.name); });

TEST(DeleteAllMissing, AMissingFolderIsAlreadyEmpty)
{
    TempDevice device;
    ResetShellState();
    EXPECT_EQ(DeleteAllFile(u"\\nowhere"), 1u);
    EXPECT_TRUE(device.LogEntries().empty());
}

}  // namespace tree_walk_test
