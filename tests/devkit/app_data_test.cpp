// A host folder read as application data: what the device and the shell's 260-character paths
// can hold; the kit's made-up application data.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "devkit/app_data.h"
#include "devkit/app_tree.h"
#include "sim/error.h"
#include "tests/support/expect.h"
#include "tests/tools/tool_run.h"

namespace app_data_test {
namespace {

namespace fs = std::filesystem;

// "name/" makes a folder, "name->target" a symbolic link, "name|" a fifo, anything else a file
// holding its own name.
void Lay(const fs::path &root, const std::vector<std::string> &entries)
{
    fs::create_directories(root);
    for (const std::string &entry : entries) {
        const size_t arrow = entry.find("->");
        const bool fifo = entry.ends_with("|");
        const fs::path path = root / entry.substr(0, fifo ? entry.size() - 1 : arrow);
        fs::create_directories(path.parent_path());
        if (entry.ends_with("/"))
            fs::create_directory(path);
        else if (arrow != std::string::npos)
            fs::create_symlink(entry.substr(arrow + 2), path);
        else if (fifo)
            ASSERT_EQ(mkfifo(path.c_str(), 0644), 0) << path;
        else
            std::ofstream(path, std::ios::binary) << entry;
    }
}

// The tree's sizes, folders and files, or why the device or the shell cannot hold it.
std::string Reading(const fs::path &folder)
{
    try {
        devkit::AppDataTree tree = devkit::ReadAppDataTree(folder);
        std::string text = "accepted: " + devkit::SizeText(tree.size) + " (" +
                           devkit::AppFoldersText(tree.appFolders) + "), folders";
        for (const fs::path &name : tree.folders)
            text += " " + name.string();
        text += ", files";
        for (const fs::path &name : tree.files)
            text += " " + name.string();
        return text;
    } catch (const sim::DeviceError &error) {
        return error.what();
    }
}

std::string Repeat(const std::string &text, size_t times)
{
    std::string repeated;
    while (times--)
        repeated += text;
    return repeated;
}

// \flashdisk\K275D-Update\APP_DATA is 32 characters: a file's name may take 226 more, a
// folder's 222, since the shell searches it as FOLDER\*.*. Each row's verdict, the folder
// written as <data>, against tests/golden/devkit_app_data.log.
TEST(AppDataTree, RefusesWhatTheDeviceOrTheShellCannotHold)
{
    const std::string deep = Repeat("p", 200) + "/";  // 233 characters with the prefix
    const std::string smiley = "\xF0\x9F\x98\x80";    // two UTF-16 units, four bytes
    const std::vector<std::vector<std::string>> rows = {
        {"Sound/", "apps/LumTask.exe", "apps/lib/deep/x.dll", "apps/empty/", "manual/",
         "notes.txt"},
        {Repeat("f", 226)},
        {Repeat("f", 227)},
        {Repeat("d", 222) + "/"},
        {Repeat("d", 223) + "/"},
        // The device counts UTF-16 units: 200 two-byte letters are 200 characters, a character
        // outside the basic plane is two.
        {Repeat("\xC3\xA9", 120)},
        {deep + Repeat(smiley, 12) + "x"},
        {deep + Repeat(smiley, 13)},
        {"apps/", "apps/lib->/etc/passwd"},
        {"manual->/tmp"},
        {"gone->nowhere"},
        {"apps/pipe|"},
        {"apps/a:b"},
        {"a\\b"},
        {"a*"},
        {"what?"},
        {"say\"so\""},
        {"<x>"},
        {"x|y"},
        {"tab\there"},
        {"lumhelp/\x1F/"},
        {"latin1-\xE9.txt"},
        {"overlong-\xC0\xAF"},
        {"surrogate-\xED\xA0\x80"},
        {"apps/Readme.txt", "apps/README.TXT"},
        {"Sound"},
        {"apps/sound", "manual/apps"}};
    qs_test::Lines seen;
    for (const std::vector<std::string> &entries : rows) {
        qs_test::TempFolder temp;
        Lay(temp.path() / "data", entries);
        std::string refusal = Reading(temp.path() / "data");
        if (refusal.starts_with(temp.path().string()))
            refusal = "<data>" + refusal.substr(temp.path().string().size() + 5);
        seen.push_back(std::to_string(seen.size() + 1) + ": " + refusal + "\r\n");
    }
    qs_test::ExpectGoldenLog(seen, "devkit_app_data");
}

// The largest file as asked, and no two 64-byte blocks of it alike, so that a copy that swaps
// blocks shows.
TEST(AppTree, LargeFilesUpToTheLargestAskedWithBlocksUnlike)
{
    qs_test::TempFolder temp;
    devkit::WriteAppTree(temp.path(), {.files = 200, .bytes = 3u << 20, .largestFile = 512u << 10});
    std::string big;
    for (const fs::path &name : devkit::ReadAppDataTree(temp.path()).files) {
        std::string content = qs_test::FileText(temp.path() / name);
        big = content.size() > big.size() ? content : big;
    }
    EXPECT_LE(big.size(), 512u << 10);
    EXPECT_GT(big.size(), 100u << 10);
    EXPECT_NE(big.substr(0, 64), big.substr(big.size() / 2, 64));
}

}  // namespace
}  // namespace app_data_test
