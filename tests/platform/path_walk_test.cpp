// Paths through several folders: the folders on the way found as a whole or one by one give the
// same answer and refuse at the same entry; the records of a folder gone from disk are forgotten
// without touching those of names that sort beside it.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/ce.h"
#include "platform/host/internal.h"
#include "tests/support/temp_device.h"

namespace path_walk_test {
namespace {

namespace fs = std::filesystem;

struct WalkCase {
    const char *name;
    std::u16string path;
    DWORD error;             // ERROR_SUCCESS when the path resolves
    std::string devicePath;  // as resolved; for a refusal, the entry its violation names
    bool exists;
};
void PrintTo(const WalkCase &c, std::ostream *os)
{
    *os << ce_host::ToUtf8(c.path);
}

// \NAND\a\b\c\f.txt and \NAND\a\b\file.txt laid on disk; \NAND\a\link links to a folder outside
// the device folder and \NAND\a\b\pipe is a fifo.
class PathWalk : public testing::TestWithParam<WalkCase> {
protected:
    PathWalk() : outside_(device_.folder().string() + "-outside")
    {
        fs::create_directories(outside_ / "b");
        std::ofstream(outside_ / "b" / "x.txt") << "outside";
        device_.PutFile("\\NAND\\a\\b\\c\\f.txt", "f");
        device_.PutFile("\\NAND\\a\\b\\file.txt", "file");
        fs::create_directory_symlink(outside_, device_.Host("\\NAND\\a\\link"));
        ::mkfifo(device_.Host("\\NAND\\a\\b\\pipe").c_str(), 0666);
    }
    ~PathWalk() override
    {
        std::error_code ignored;
        fs::remove_all(outside_, ignored);
    }

    qs_test::TempDevice device_;
    fs::path outside_;
};

TEST_P(PathWalk, ResolvesOrRefusesAtTheEntryThatIsWrong)
{
    const WalkCase &c = GetParam();
    ce_host::ResolvedPath resolved;
    SetLastError(0);
    ASSERT_EQ(ce_host::ResolvePath(c.path.c_str(), resolved), c.error == ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), c.error);
    auto violations = device_.EventsOf("violation");
    if (c.error == ERROR_ACCESS_DENIED) {
        ASSERT_EQ(violations.size(), 1u);
        std::string what = violations[0]["what"];
        EXPECT_TRUE(what.starts_with(c.devicePath + " is ")) << what;
        return;
    }
    EXPECT_TRUE(violations.empty());
    if (c.error != ERROR_SUCCESS)
        return;
    EXPECT_EQ(resolved.devicePath, c.devicePath);
    EXPECT_EQ(resolved.hostPath, device_.Host(c.devicePath));
    EXPECT_EQ(resolved.exists, c.exists);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PathWalk,
    testing::Values(
        WalkCase{"Exact", u"\\NAND\\a\\b\\c\\f.txt", 0, "\\NAND\\a\\b\\c\\f.txt", true},
        WalkCase{"OtherCaseEverywhere", u"nand\\A\\B\\C\\F.TXT", 0, "\\NAND\\a\\b\\c\\f.txt", true},
        WalkCase{"OtherCaseInTheLastFolder", u"\\NAND\\a\\b\\C\\f.txt", 0, "\\NAND\\a\\b\\c\\f.txt",
                 true},
        WalkCase{"NewFile", u"\\NAND\\a\\b\\c\\New.txt", 0, "\\NAND\\a\\b\\c\\New.txt", false},
        WalkCase{"FolderWithBackslash", u"\\NAND\\a\\b\\c\\", 0, "\\NAND\\a\\b\\c", true},
        WalkCase{"MissingFolder", u"\\NAND\\a\\b\\gone\\f.txt", ERROR_PATH_NOT_FOUND, "", false},
        WalkCase{"FileAsFolder", u"\\NAND\\a\\b\\file.txt\\c\\f.txt", ERROR_PATH_NOT_FOUND, "",
                 false},
        WalkCase{"LinkOnTheWay", u"\\NAND\\a\\link\\b\\x.txt", ERROR_ACCESS_DENIED,
                 "\\NAND\\a\\link", false},
        WalkCase{"LinkOnTheWayOtherCase", u"\\nand\\A\\LINK\\b\\x.txt", ERROR_ACCESS_DENIED,
                 "\\NAND\\a\\link", false},
        WalkCase{"LinkLast", u"\\NAND\\a\\link", ERROR_ACCESS_DENIED, "\\NAND\\a\\link", false},
        WalkCase{"FifoOnTheWay", u"\\NAND\\a\\b\\pipe\\x", ERROR_ACCESS_DENIED,
                 "\\NAND\\a\\b\\pipe", false}),
    [](const auto &info) { return std::string(info.param.name); });

// A late volume is missing for paths deep beneath it too, until it mounts.
TEST(PathWalkLateVolume, DeepPathWaitsForTheMount)
{
    qs_test::TempDevice device(nlohmann::json{{"files", {{"mount_after_ms", {{"SD", 100}}}}}});
    device.PutFile("\\SD\\u\\v\\w.txt", "w");
    ce_host::ResolvedPath resolved;
    SetLastError(0);
    EXPECT_FALSE(ce_host::ResolvePath(u"\\SD\\u\\v\\w.txt", resolved));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    Sleep(100);
    ASSERT_TRUE(ce_host::ResolvePath(u"\\SD\\u\\v\\w.txt", resolved));
    EXPECT_TRUE(resolved.exists);
}

// Points the temporary folder, and so the next device folder, at a path that runs through a link.
class LinkedTempFolder {
public:
    LinkedTempFolder()
        : real_(fs::temp_directory_path() / ("qs-walk-" + std::to_string(::getpid()))),
          linked_(real_.string() + "-link"),
          saved_(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "")
    {
        fs::create_directories(real_);
        fs::create_directory_symlink(real_, linked_);
        ::setenv("TMPDIR", linked_.c_str(), 1);
    }
    ~LinkedTempFolder()
    {
        if (saved_.empty())
            ::unsetenv("TMPDIR");
        else
            ::setenv("TMPDIR", saved_.c_str(), 1);
        std::error_code ignored;
        fs::remove(linked_, ignored);
        fs::remove_all(real_, ignored);
    }
    const fs::path &linked() const { return linked_; }

private:
    fs::path real_, linked_;
    std::string saved_;
};

// Links above root/ are the host's business: a device folder reached through one works as any.
TEST(PathWalkLinkedDeviceFolder, ResolvesAndCopiesAsAnywhereElse)
{
    LinkedTempFolder temp;
    qs_test::TempDevice device;
    ASSERT_TRUE(device.folder().string().starts_with(temp.linked().string()));
    device.PutFile("\\NAND\\a\\b\\f.txt", "data");
    ASSERT_TRUE(CopyFileExW(u"\\NAND\\a\\b\\f.txt", u"\\NAND\\A\\B\\g.txt", NULL, NULL, NULL, 0));
    EXPECT_EQ(device.ReadFile("\\NAND\\a\\b\\g.txt"), "data");
    ce_host::ResolvedPath resolved;
    ASSERT_TRUE(ce_host::ResolvePath(u"\\NAND\\a\\b\\g.txt", resolved));
    EXPECT_EQ(resolved.hostPath, device.Host("\\NAND\\a\\b\\g.txt"));
    EXPECT_TRUE(device.EventsOf("violation").empty());
}

DWORD AttributesOf(const char16_t *path)
{
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(path, &data);
    if (search == INVALID_HANDLE_VALUE)
        return INVALID_FILE_ATTRIBUTES;
    FindClose(search);
    return data.dwFileAttributes;
}

// Keys of the entries beneath \NAND\a start "\nand\a\"; these neighbours sort just before, just
// after or among them without being beneath, and keep their attributes.
TEST(PathWalkRecords, FolderMadeAgainForgetsOnlyWhatWasBeneathIt)
{
    qs_test::TempDevice device;
    const std::u16string beneath[] = {u"\\NAND\\a\\f.txt", u"\\NAND\\a\\b", u"\\NAND\\A\\B\\G.txt"};
    const std::u16string neighbours[] = {u"\\NAND\\a!",        u"\\NAND\\a.txt", u"\\NAND\\a[",
                                         u"\\NAND\\a]\\x.txt", u"\\NAND\\a]b",   u"\\NAND\\ab",
                                         u"\\NAND\\b\\a\\y"};
    for (const char *path :
         {"\\NAND\\a\\f.txt", "\\NAND\\a\\b\\g.txt", "\\NAND\\a!", "\\NAND\\a.txt", "\\NAND\\a[",
          "\\NAND\\a]\\x.txt", "\\NAND\\a]b", "\\NAND\\ab", "\\NAND\\b\\a\\y"})
        device.PutFile(path, "");
    for (const auto &path : beneath)
        ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_HIDDEN));
    for (const auto &path : neighbours)
        ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(SetFileAttributesW(u"\\NAND\\a", FILE_ATTRIBUTE_HIDDEN));

    fs::remove_all(device.Host("\\NAND\\a"));
    ASSERT_TRUE(CreateDirectoryW(u"\\NAND\\A", NULL));
    device.PutFile("\\NAND\\A\\f.txt", "");
    device.PutFile("\\NAND\\A\\b\\g.txt", "");

    EXPECT_EQ(AttributesOf(u"\\NAND\\a"), DWORD(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(AttributesOf(u"\\NAND\\a\\f.txt"), DWORD(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(AttributesOf(u"\\NAND\\a\\b"), DWORD(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(AttributesOf(u"\\NAND\\a\\b\\g.txt"), DWORD(FILE_ATTRIBUTE_NORMAL));
    for (const auto &path : neighbours)
        EXPECT_EQ(AttributesOf(path.c_str()), DWORD(FILE_ATTRIBUTE_HIDDEN))
            << ce_host::ToUtf8(path);
}

}  // namespace
}  // namespace path_walk_test
