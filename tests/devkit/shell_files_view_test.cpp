// The system-information files and the BINFS check log read from a device folder as the device
// finds them, and the log's UTF-16LE text split into lines; views against
// tests/golden/devkit_shell_files.log.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "devkit/shell_files_view.h"
#include "tests/support/expect.h"
#include "tests/tools/tool_run.h"

namespace shell_files_view_test {
namespace {

namespace fs = std::filesystem;

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
    const std::pair<const char *, std::string> texts[] = {
        {"Empty", ""},
        {"TheShellsLine", Wide("Check BINFS: 2026/12/ 5  8:30 \r\n")},
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

    // Each step lays more on the same device folder and views it again.
    qs_test::TempFolder temp;
    auto put = [&](const std::string &relative, const std::string &content) {
        fs::create_directories((temp.path() / "root" / relative).parent_path());
        std::ofstream(temp.path() / "root" / relative, std::ios::binary) << content;
    };
    auto view = [&](const std::string &step) {
        seen.push_back("== " + step + "\r\n");
        qs_test::Lines lines = Described(devkit::ViewShellFiles(temp.path()));
        seen.insert(seen.end(), lines.begin(), lines.end());
    };
    view("nothing");
    fs::create_directories(temp.path() / "root" / "NAND");
    fs::create_directories(temp.path() / "root" / "flashdisk");
    view("empty folders");
    fs::remove_all(temp.path() / "root");
    // Every name the shell's pattern matches, in name order without regard to case; the MAC
    // address only from a file of exactly six bytes.
    put("nand/M7LITE_0020240315.sys", std::string("\x00\x1A\x2B\x3C\x4D\x5E", 6));
    put("nand/m7lite_12ab.SYS", std::string(9, 'x'));
    put("nand/M7LITE_.sys", "");
    for (const char *other :
         {"M7LITE_0020240315.sys.bak", "XM7LITE_1.sys", "M7LITE_1.sysx", "M7LITE.sys"})
        put(std::string("nand/") + other, "123456");
    fs::create_directories(temp.path() / "root" / "nand" / "M7LITE_dir.sys");
    fs::create_symlink("/etc/hostname", temp.path() / "root" / "nand" / "M7LITE_link.sys");
    put("FlashDisk/binfs_check.LOG", Wide("Check BINFS: 2026/12/ 5  8:30 \r\n") + "0123");
    view("system information files and a log in other letter case");
    fs::remove_all(temp.path() / "root");
    put("flashdisk/BINFS_CHECK.log", "");
    view("empty log");
    put("flashdisk/BINFS_CHECK.log", Wide("ok") + "!");
    view("log of odd size");
    fs::remove(temp.path() / "root/flashdisk/BINFS_CHECK.log");
    fs::create_directory(temp.path() / "root/flashdisk/BINFS_CHECK.log");
    view("log that is a folder");
    fs::remove(temp.path() / "root/flashdisk/BINFS_CHECK.log");
    fs::create_symlink("/etc/hostname", temp.path() / "root/flashdisk/BINFS_CHECK.log");
    view("log that is a link");
    qs_test::ExpectGoldenLog(seen, "devkit_shell_files");
}

}  // namespace
}  // namespace shell_files_view_test
