// Folders as the kit reads and makes them: a host folder read as application data (what the
// device and the shell's 260-character paths can hold), the kit's made-up application data, a
// device folder made with the factory options, and the system-information files and the BINFS
// check log the shell leaves there. Verdicts and views against tests/golden/devkit_*.log.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "devkit/app_data.h"
#include "devkit/app_tree.h"
#include "devkit/device_maker.h"
#include "devkit/shell_files_view.h"
#include "sim/device.h"
#include "sim/error.h"
#include "tests/support/expect.h"
#include "tests/tools/tool_run.h"

namespace folders_test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// "name/" makes a folder, "name->target" a symbolic link, "name|" a fifo, "name=bytes" a file
// holding the bytes, anything else a file holding its own name.
void Lay(const fs::path &root, const std::vector<std::string> &entries)
{
    fs::create_directories(root);
    for (const std::string &entry : entries) {
        const size_t equals = entry.find('='), arrow = entry.find("->");
        const bool fifo = entry.ends_with("|");
        const fs::path path =
            root / entry.substr(0, fifo ? entry.size() - 1 : std::min(equals, arrow));
        fs::create_directories(path.parent_path());
        if (equals != std::string::npos)
            std::ofstream(path, std::ios::binary) << entry.substr(equals + 1);
        else if (entry.ends_with("/"))
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
    const std::string deep = std::string(200, 'p') + "/";  // 233 characters with the prefix
    const std::string smiley = "\xF0\x9F\x98\x80";         // two UTF-16 units, four bytes
    // A row's entries are separated by ", ".
    const std::vector<std::string> rows = {
        "Sound/, apps/LumTask.exe, apps/lib/deep/x.dll, apps/empty/, manual/, notes.txt",
        std::string(226, 'f'), std::string(227, 'f'), std::string(222, 'd') + "/",
        std::string(223, 'd') + "/",
        // The device counts UTF-16 units: 200 two-byte letters are 200 characters, a character
        // outside the basic plane is two.
        Repeat("\xC3\xA9", 120), deep + Repeat(smiley, 12) + "x", deep + Repeat(smiley, 13),
        "apps/, apps/lib->/etc/passwd", "manual->/tmp", "gone->nowhere", "apps/pipe|", "apps/a:b",
        "a\\b", "a*", "what?", "say\"so\"", "<x>", "x|y", "tab\there", "lumhelp/\x1F/",
        "latin1-\xE9.txt", "overlong-\xC0\xAF", "surrogate-\xED\xA0\x80",
        "apps/Readme.txt, apps/README.TXT", "Sound", "apps/sound, manual/apps"};
    qs_test::Lines seen;
    for (const std::string &row : rows) {
        qs_test::TempFolder temp;
        std::vector<std::string> entries;
        for (size_t from = 0, to = 0; to != std::string::npos; from = to + 2)
            entries.push_back(row.substr(from, (to = row.find(", ", from)) - from));
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

// The options as the command line spells them: ten digits or "none" for the serial (its text
// printed back), the whole unsigned range for a sector count.
TEST(FactoryOptions, ParsedOrRefused)
{
    auto serial = [](const char *text) {
        std::optional<devkit::SerialDigits> serial = devkit::ParseFactorySerial(text);
        return serial ? devkit::FactorySerialText(*serial) : "refused";
    };
    for (const char *text : {"0020240315", "9876543210", "0000000001", "none"})
        EXPECT_EQ(serial(text), text);
    EXPECT_EQ(serial("0000000000"), "none");
    for (const char *text : {"None", "", "002024031", "00202403150", "00202403a5"})
        EXPECT_EQ(serial(text), "refused") << text;

    auto sectors = [](const char *text) {
        std::optional<uint64_t> sectors = devkit::ParseSectorCount(text);
        return sectors ? std::to_string(*sectors) : "refused";
    };
    for (const char *text : {"0", "21951", "4294967296", "18446744073709551615"})
        EXPECT_EQ(sectors(text), text);
    EXPECT_EQ(sectors("0021952"), "21952");
    for (const char *text : {"18446744073709551616", "-1", "", " 1", "0x10", "1.5"})
        EXPECT_EQ(sectors(text), "refused") << text;
    // 0 is a size like any other, not the default.
    qs_test::TempFolder temp;
    devkit::CreateDevice(temp.path() / "dev", {.binfsSectors = 0});
    EXPECT_EQ(sim::Device::Open(temp.path() / "dev")->Config().store.partitions.at(0).sectors, 0u);
}

// ASCII text as UTF-16LE bytes.
std::string Wide(const std::string &ascii)
{
    std::string bytes;
    for (char c : ascii)
        bytes += std::string{c, '\0'};
    return bytes;
}

std::string Joined(const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &line : lines)
        text += " [" + line + "]";
    return text;
}

// Each view's fields in one line: every system-information file the shell's search would find,
// then the BINFS check log.
qs_test::Lines Described(const devkit::ShellFilesView &view)
{
    qs_test::Lines lines;
    for (const devkit::SystemInfoFileView &file : view.systemInfo)
        lines.push_back(file.devicePath + " serial [" + file.serial + "]" +
                        (file.serialIsTenDigits ? " ten digits" : "") + " size " +
                        (file.size ? std::to_string(*file.size) : "none") + " " +
                        (file.mac ? devkit::MacText(*file.mac) : file.problem.value_or("?")) +
                        "\r\n");
    if (const auto &log = view.binfsLog)
        lines.push_back(log->devicePath + " size " + std::to_string(log->size) +
                        Joined(log->lines) + " " + log->problem.value_or("fine") + "\r\n");
    else
        lines.push_back("no BINFS check log\r\n");
    return lines;
}

TEST(ShellFiles, ViewsAsGolden)
{
    const std::string line = Wide("Check BINFS: 2026/12/ 5  8:30 \r\n");
    const std::pair<const char *, std::string> texts[] = {
        {"Empty", ""},
        {"TheShellsLine", line},
        // A new line written over the start of an older, longer log keeps the old tail.
        {"OverAnOlderLongerLog",
         Wide("Check BINFS: 2027/ 1/10  0: 3 \r\nCheck BINFS: 2026/12/ 5  8:30 \r\n")},
        {"TailWithoutLineEnd", Wide("a\r\nTAIL")},
        {"EmptyLinesInBetween", Wide("a\r\n\r\nb\r\n")},
        {"OddLastByteLeftOut", Wide("AB") + "C"},
        {"LoneLineFeedAndReturn", Wide("a\nb\rc")},
        {"LatinLetter", std::string("\xE9\x00", 2)},
        {"C1Control", std::string("\x85\x00", 2)},
        {"SurrogatePair", std::string("\x3D\xD8\x00\xDE", 4)},
        {"LoneHighSurrogate", std::string("\x3D\xD8", 2) + Wide("x")},
        {"NulCharacter", std::string("\x00\x00", 2)}};
    qs_test::Lines seen;
    for (const auto &[name, bytes] : texts)
        seen.push_back(std::string(name) + ":" + Joined(devkit::Utf16LeLines(bytes)) + "\r\n");

    // Each step lays its entries under a device folder's root/ and views it.
    const std::pair<const char *, std::vector<std::string>> steps[] = {
        {"nothing", {}},
        {"empty folders", {"NAND/", "flashdisk/"}},
        // Every name the shell's pattern matches, in name order without regard to case; the MAC
        // address only from a file of exactly six bytes.
        {"system information files and a log in other letter case",
         {"nand/M7LITE_0020240315.sys=\x00\x1A\x2B\x3C\x4D\x5E"s, "nand/m7lite_12ab.SYS=xxxxxxxxx",
          "nand/M7LITE_.sys=", "nand/M7LITE_0020240315.sys.bak=123456", "nand/XM7LITE_1.sys=123456",
          "nand/M7LITE_1.sysx=123456", "nand/M7LITE.sys=123456", "nand/M7LITE_dir.sys/",
          "nand/M7LITE_link.sys->/etc/hostname", "FlashDisk/binfs_check.LOG=" + line + "0123"}},
        {"empty log", {"flashdisk/BINFS_CHECK.log="}},
        {"log of odd size", {"flashdisk/BINFS_CHECK.log=" + Wide("ok") + "!"}},
        {"log that is a folder", {"flashdisk/BINFS_CHECK.log/"}},
        {"log that is a link", {"flashdisk/BINFS_CHECK.log->/etc/hostname"}}};
    for (const auto &[step, entries] : steps) {
        qs_test::TempFolder temp;
        if (!entries.empty())
            Lay(temp.path() / "root", entries);
        seen.push_back("== "s + step + "\r\n");
        qs_test::Lines lines = Described(devkit::ViewShellFiles(temp.path()));
        seen.insert(seen.end(), lines.begin(), lines.end());
    }
    qs_test::ExpectGoldenLog(seen, "devkit_shell_files");
}

}  // namespace
}  // namespace folders_test
