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
#include "tests/tools/tool_run.h"

namespace app_data_test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::StartsWith;

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
// folder's 222, since the shell searches it as FOLDER\*.*.
TEST(AppDataTree, RefusesWhatTheDeviceOrTheShellCannotHold)
{
    const std::string fileAtLimit = Repeat("f", 226), folderAtLimit = Repeat("d", 222);
    const std::string deep = Repeat("p", 200) + "/";  // 233 characters with the prefix
    const std::string smiley = "\xF0\x9F\x98\x80";    // two UTF-16 units, four bytes
    struct Case {
        std::vector<std::string> entries;
        std::string refusal;  // after "<folder>/", or "accepted"
    } const cases[] = {
        {{"apps/LumTask.exe", "sound/", "notes.txt"}, "accepted"},
        {{fileAtLimit}, "accepted"},
        {{fileAtLimit + "f"},
         fileAtLimit + "f: its device path \\flashdisk\\K275D-Update\\APP_DATA\\" + fileAtLimit +
             "f would be 260 characters; the shell's paths hold 259 at most"},
        {{folderAtLimit + "/"}, "accepted"},
        {{folderAtLimit + "d/"},
         folderAtLimit + "d: the shell's search of it, \\flashdisk\\K275D-Update\\APP_DATA\\" +
             folderAtLimit + "d\\*.* would be 260 characters; the shell's paths hold 259 at most"},
        // The device counts UTF-16 units: 200 two-byte letters are 200 characters, a character
        // outside the basic plane is two.
        {{Repeat("\xC3\xA9", 120)}, "accepted"},
        {{deep + Repeat(smiley, 12) + "x"}, "accepted"},
        {{deep + Repeat(smiley, 13)}, deep + Repeat(smiley, 13) + ": its device path"},
        {{"apps/", "apps/lib->/etc/passwd"},
         "apps/lib: is a symbolic link; the device follows none below root/"},
        {{"manual->/tmp"}, "manual: is a symbolic link"},
        {{"gone->nowhere"}, "gone: is a symbolic link"},
        {{"apps/pipe|"}, "apps/pipe: is not a plain file or folder; the device holds nothing else"},
        {{"apps/a:b"}, "apps/a:b: the name holds ':', which the device's file systems refuse"},
        {{"a\\b"}, "a\\b: the name holds '\\'"},
        {{"a*"}, "a*: the name holds '*'"},
        {{"what?"}, "what?: the name holds '?'"},
        {{"say\"so\""}, "say\"so\": the name holds '\"'"},
        {{"<x>"}, "<x>: the name holds '<'"},
        {{"x|y"}, "x|y: the name holds '|'"},
        {{"tab\there"}, "tab\\x09here: the name holds the control character 0x09"},
        {{"lumhelp/\x1F/"}, "lumhelp/\\x1F: the name holds the control character 0x1F"},
        {{"latin1-\xE9.txt"}, "latin1-\\xE9.txt: the name is not UTF-8 text"},
        {{"overlong-\xC0\xAF"}, "overlong-\\xC0\\xAF: the name is not UTF-8 text"},
        {{"surrogate-\xED\xA0\x80"}, "surrogate-\\xED\\xA0\\x80: the name is not UTF-8 text"},
        {{"apps/Readme.txt", "apps/README.TXT"},
         "apps/Readme.txt: the device takes it for \"README.TXT\": the names differ only in "
         "letter case"},
        {{"Sound"}, "Sound: is a file, but the shell takes it for its sound folder"},
        {{"apps/sound", "manual/apps"}, "accepted"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.entries.front());
        qs_test::TempFolder temp;
        Lay(temp.path() / "data", c.entries);
        const std::string refusal = Refusal(temp.path() / "data");
        if (c.refusal == "accepted")
            EXPECT_EQ(refusal, "accepted");
        else
            EXPECT_THAT(refusal, StartsWith((temp.path() / "data").string() + "/" + c.refusal));
    }
}

TEST(AppDataTree, RefusesAMissingFolderAndAFile)
{
    qs_test::TempFolder temp;
    Lay(temp.path() / "data", {"apps/x"});
    EXPECT_EQ(Refusal(temp.path() / "nowhere"),
              (temp.path() / "nowhere").string() + ": no such folder");
    EXPECT_EQ(Refusal(temp.path() / "data/apps/x"),
              (temp.path() / "data/apps/x").string() + ": is not a folder");
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
