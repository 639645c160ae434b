// Emptying a folder tree: what goes, what stays, and the lines of each failure.
#include <gtest/gtest.h>

#include "appupdate/tree_walk.h"
#include "platform/host/host.h"
#include "tests/support/temp_device.h"

// Named, so that the area's files can share one unity build.
namespace delete_all_test {
namespace {

using nlohmann::json;
using Lines = std::vector<std::string>;

struct DeleteCase {
    const char *name;
    json device;  // device.json
    void (*arrange)(qs_test::TempDevice &);
    DWORD result;
    Lines log;
    std::set<std::string> left;  // entries under root/flashdisk afterwards
};

void Tree(qs_test::TempDevice &device)
{
    device.PutFile("\\flashdisk\\up\\a.bin", "a");
    device.PutFile("\\flashdisk\\up\\sub\\b.bin", "b");
    device.PutFile("\\flashdisk\\up\\sub\\deep\\c.bin", "c");
    device.PutFolder("\\flashdisk\\up\\empty");
}

void ReadOnlyFile(qs_test::TempDevice &device)
{
    Tree(device);
    SetFileAttributesW(u"\\flashdisk\\up\\sub\\b.bin", FILE_ATTRIBUTE_READONLY);
}

void ReadOnlyFolder(qs_test::TempDevice &device)
{
    Tree(device);
    SetFileAttributesW(u"\\flashdisk\\up\\sub", FILE_ATTRIBUTE_READONLY);
}

// A name that fits its own folder's path but not a child path below it.
void LongName(qs_test::TempDevice &device)
{
    device.PutFolder("\\flashdisk\\up\\" + std::string(240, 'n'));
    device.PutFile("\\flashdisk\\up\\" + std::string(240, 'n') + "\\x.bin", "x");
}

class DeleteAll : public testing::TestWithParam<DeleteCase> {};

TEST_P(DeleteAll, EmptiesTheFolderOrSaysWhereItStopped)
{
    qs_test::TempDevice device(GetParam().device);
    device.PutFolder("\\flashdisk");
    if (GetParam().arrange)
        GetParam().arrange(device);
    device.device().Events().Clear();
    EXPECT_EQ(DeleteAllFile(u"\\flashdisk\\up"), GetParam().result);
    EXPECT_EQ(device.LogEntries(), GetParam().log);
    std::set<std::string> left;
    for (const auto &entry :
         std::filesystem::recursive_directory_iterator(device.Host("\\flashdisk")))
        left.insert(entry.path().lexically_relative(device.Host("\\flashdisk")).string());
    EXPECT_EQ(left, GetParam().left);
    EXPECT_EQ(ce_host::Held().handles, 0u);
}

const std::string kLong(240, 'n');

INSTANTIATE_TEST_SUITE_P(
    Table, DeleteAll,
    testing::Values(
        DeleteCase{"Missing", json::object(), nullptr, 1, {}, {}},
        DeleteCase{"WholeTree", json::object(), Tree, 1, {}, {"up"}},
        DeleteCase{"ReadOnlyFileGoesToo", json::object(), ReadOnlyFile, 1, {}, {"up"}},
        DeleteCase{"FolderThatStays",
                   json::object(),
                   ReadOnlyFolder,
                   1,
                   {"DeleteAllFile: RemoveDirectory \\flashdisk\\up\\sub fail \r\n"},
                   {"up", "up/sub"}},
        DeleteCase{
            "HeldFileStopsEveryLevel",
            {{"files", {{"locked", {"\\flashdisk\\up\\sub\\deep\\c.bin"}}}}},
            Tree,
            0,
            {"DeleteAllFile: DeleteFile \\flashdisk\\up\\sub\\deep\\c.bin fail \r\n",
             "DeleteAllFile: DeleteAllFile fail \r\n", "DeleteAllFile: DeleteAllFile fail \r\n"},
            {"up", "up/sub", "up/sub/deep", "up/sub/deep/c.bin"}},
        DeleteCase{"ChildPathTooLong",
                   json::object(),
                   LongName,
                   0,
                   {"DeleteAllFile: path too long below \\flashdisk\\up\\" + kLong + " \r\n",
                    "DeleteAllFile: DeleteAllFile fail \r\n"},
                   {"up", "up/" + kLong, "up/" + kLong + "/x.bin"}}),
    [](const testing::TestParamInfo<DeleteCase> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace delete_all_test
