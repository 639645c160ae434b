// Made-up application data: the same shape gives the same bytes, the sizes spread as asked, and
// the main application sits where the shell starts it.
#include <gtest/gtest.h>

#include <map>

#include "devkit/app_tree.h"
#include "sim/error.h"
#include "tests/tools/tool_run.h"

namespace app_tree_test {
namespace {

namespace fs = std::filesystem;

// Relative path -> bytes, for every file below folder.
std::map<std::string, std::string> Files(const fs::path &folder)
{
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), folder).string()] = qs_test::FileText(entry.path());
    return files;
}

TEST(AppTree, SameShapeSameTreeWithTheSpreadAsked)
{
    qs_test::TempFolder temp;
    const devkit::AppTreeShape shape{.files = 200, .bytes = 3u << 20, .largestFile = 512u << 10};
    devkit::AppTreeTotals totals = devkit::WriteAppTree(temp.path() / "a", shape);
    devkit::WriteAppTree(temp.path() / "b", shape);

    std::map<std::string, std::string> files = Files(temp.path() / "a");
    EXPECT_EQ(files, Files(temp.path() / "b"));
    ASSERT_EQ(files.size(), 200u);
    EXPECT_EQ(totals.files, 200u);
    uint64_t bytes = 0, smallest = UINT64_MAX, largest = 0;
    std::map<std::string, int> perTop;
    for (const auto &[name, content] : files) {
        bytes += content.size();
        smallest = std::min<uint64_t>(smallest, content.size());
        largest = std::max<uint64_t>(largest, content.size());
        ++perTop[name.substr(0, name.find('/'))];
    }
    EXPECT_EQ(totals.bytes, bytes);
    EXPECT_GT(bytes, (3u << 20) * 9 / 10);
    EXPECT_LE(bytes, 3u << 20);
    EXPECT_LT(smallest, 64u) << "a few bytes at the small end";
    EXPECT_LE(largest, 512u << 10);
    EXPECT_GT(largest, 100u << 10) << "and large files at the other";
    EXPECT_EQ(perTop, (std::map<std::string, int>{
                          {"apps", 50}, {"lumhelp", 50}, {"manual", 50}, {"sound", 50}}));
    EXPECT_TRUE(files.count("apps/LumTask.exe"));
    EXPECT_GT(totals.folders, 8u) << "nested folders below the four";

    // No two 64-byte blocks of a large file are alike, so a copy that swaps blocks shows.
    const std::string &big = std::max_element(files.begin(), files.end(), [](auto &l, auto &r) {
                                 return l.second.size() < r.second.size();
                             })->second;
    EXPECT_NE(big.substr(0, 64), big.substr(big.size() / 2, 64));
}

TEST(AppTree, RefusesAFolderThatHoldsFiles)
{
    qs_test::TempFolder temp;
    std::ofstream(temp.path() / "x") << "x";
    EXPECT_THROW(devkit::WriteAppTree(temp.path(), {}), sim::DeviceError);
    EXPECT_EQ(Files(temp.path()).size(), 1u);
}

}  // namespace
}  // namespace app_tree_test
