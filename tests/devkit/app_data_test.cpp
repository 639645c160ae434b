// A host folder read as application data: what the device and the shell's 260-character paths
// can hold, and the tree copied whole.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <map>

#include "devkit/app_data.h"
#include "devkit/staged_copy.h"
#include "sim/error.h"
#include "tests/support/expect.h"
#include "tests/tools/tool_run.h"

namespace app_data_test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

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

// Relative path -> "<folder>" or the file's bytes, for every entry below folder, hidden ones too.
std::map<std::string, std::string> Snapshot(const fs::path &folder)
{
    std::map<std::string, std::string> entries;
    for (const auto &entry : fs::recursive_directory_iterator(folder))
        entries[entry.path().lexically_relative(folder).string()] =
            entry.is_directory() ? "<folder>" : qs_test::FileText(entry.path());
    return entries;
}

std::string Refusal(const fs::path &folder)
{
    try {
        devkit::ReadAppDataTree(folder);
    } catch (const sim::DeviceError &error) {
        return error.what();
    }
    return "accepted";
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
        {"apps/LumTask.exe", "sound/", "notes.txt"},
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
        std::string refusal = Refusal(temp.path() / "data");
        if (refusal.starts_with(temp.path().string()))
            refusal = "<data>" + refusal.substr(temp.path().string().size() + 5);
        seen.push_back(std::to_string(seen.size() + 1) + ": " + refusal + "\r\n");
    }
    qs_test::TempFolder temp;
    Lay(temp.path() / "data", {"apps/x"});
    for (const char *other : {"nowhere", "data/apps/x"})
        seen.push_back(std::string(other) + ": " +
                       Refusal(temp.path() / other).substr(temp.path().string().size()) + "\r\n");
    qs_test::ExpectGoldenLog(seen, "devkit_app_data");
}

TEST(AppDataTree, ListsTheTreeAndCopiesItWhole)
{
    qs_test::TempFolder temp;
    const fs::path data = temp.path() / "data";
    Lay(data, {"Sound/", "apps/LumTask.exe", "apps/lib/deep/x.dll", "apps/empty/", "manual/",
               "notes.txt"});
    std::string big(devkit::kCopyChunk * 5 / 2, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = char(i * 7919 % 251);
    std::ofstream(data / "apps" / "big.bin", std::ios::binary) << big;
    std::ofstream(data / "manual" / "empty.txt");

    devkit::AppDataTree tree = devkit::ReadAppDataTree(data);
    EXPECT_THAT(tree.folders,
                ElementsAre("Sound", "apps", "apps/empty", "apps/lib", "apps/lib/deep", "manual"));
    EXPECT_THAT(tree.files, ElementsAre("apps/LumTask.exe", "apps/big.bin", "apps/lib/deep/x.dll",
                                        "manual/empty.txt", "notes.txt"));
    const uint64_t bytes = big.size() + 16 + 19 + 0 + 9;
    EXPECT_EQ(tree.size.files, 5u);
    EXPECT_EQ(tree.size.bytes, bytes);
    EXPECT_THAT(tree.appFolders, ElementsAre("apps", "manual", "sound"));
    EXPECT_EQ(devkit::AppFoldersText(tree.appFolders), "apps, manual, sound");
    EXPECT_EQ(devkit::SizeText(tree.size), "5 files, " + std::to_string(bytes) + " bytes");

    fs::create_directory(temp.path() / "into");
    devkit::TreeSize copied = devkit::CopyAppDataTree(tree, temp.path() / "into");
    EXPECT_EQ(copied.files, 5u);
    EXPECT_EQ(copied.bytes, bytes);
    EXPECT_EQ(Snapshot(temp.path() / "into"), Snapshot(data));
}

}  // namespace
}  // namespace app_data_test
