// The system-information files and the BINFS check log read from a device folder as the device
// finds them, and the log's UTF-16LE text split into lines.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "devkit/shell_files_view.h"
#include "tests/tools/tool_run.h"

namespace shell_files_view_test {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// ASCII text as UTF-16LE bytes.
std::string Wide(const std::string &ascii)
{
    std::string bytes;
    for (char c : ascii) {
        bytes += c;
        bytes += '\0';
    }
    return bytes;
}

struct TextRow {
    const char *name;
    std::string bytes;
    Lines lines;
};

class Utf16Text : public testing::TestWithParam<TextRow> {};

TEST_P(Utf16Text, SplitsIntoLines)
{
    EXPECT_EQ(devkit::Utf16LeLines(GetParam().bytes), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf16Text,
    testing::Values(
        TextRow{"Empty", "", {}},
        TextRow{"TheShellsLine",
                Wide("Check BINFS: 2026/12/ 5  8:30 \r\n"),
                {"Check BINFS: 2026/12/ 5  8:30 "}},
        // A new line written over the start of an older, longer log keeps the old tail.
        TextRow{"OverAnOlderLongerLog",
                Wide("Check BINFS: 2027/ 1/10  0: 3 \r\nCheck BINFS: 2026/12/ 5  8:30 \r\n"),
                {"Check BINFS: 2027/ 1/10  0: 3 ", "Check BINFS: 2026/12/ 5  8:30 "}},
        TextRow{"TailWithoutLineEnd", Wide("a\r\nTAIL"), {"a", "TAIL"}},
        TextRow{"EmptyLinesInBetween", Wide("a\r\n\r\nb\r\n"), {"a", "", "b"}},
        TextRow{"OddLastByteLeftOut", Wide("AB") + "C", {"AB"}},
        TextRow{"LoneLineFeedAndReturn", Wide("a\nb\rc"), {"a\\u000Ab\\u000Dc"}},
        TextRow{"LatinLetter", std::string("\xE9\x00", 2), {"\xC3\xA9"}},
        TextRow{"C1Control", std::string("\x85\x00", 2), {"\\u0085"}},
        TextRow{"SurrogatePair", std::string("\x3D\xD8\x00\xDE", 4), {"\xF0\x9F\x98\x80"}},
        TextRow{"LoneHighSurrogate", std::string("\x3D\xD8", 2) + Wide("x"), {"\\uD83Dx"}},
        TextRow{"NulCharacter", std::string("\x00\x00", 2), {"\\u0000"}}),
    [](const auto &info) { return std::string(info.param.name); });

class ShellFiles : public testing::Test {
protected:
    void Put(const std::string &relative, const std::string &content)
    {
        fs::path file = temp_.path() / "root" / relative;
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << content;
    }
    devkit::ShellFilesView View() { return devkit::ViewShellFiles(temp_.path()); }

    qs_test::TempFolder temp_;
};

TEST_F(ShellFiles, NoneWhereTheFoldersOrFilesAreMissing)
{
    devkit::ShellFilesView view = View();
    EXPECT_TRUE(view.systemInfo.empty());
    EXPECT_FALSE(view.binfsLog);
    fs::create_directories(temp_.path() / "root" / "NAND");
    fs::create_directories(temp_.path() / "root" / "flashdisk");
    view = View();
    EXPECT_TRUE(view.systemInfo.empty());
    EXPECT_FALSE(view.binfsLog);
}

// Every name the shell's pattern matches, in name order without regard to case; the MAC
// address only from a file of exactly six bytes.
TEST_F(ShellFiles, SystemInfoFilesAsTheShellsSearchFindsThem)
{
    Put("nand/M7LITE_0020240315.sys", std::string("\x00\x1A\x2B\x3C\x4D\x5E", 6));
    Put("nand/m7lite_12ab.SYS", std::string(9, 'x'));
    Put("nand/M7LITE_.sys", "");
    Put("nand/M7LITE_0020240315.sys.bak", "123456");
    Put("nand/XM7LITE_1.sys", "123456");
    Put("nand/M7LITE_1.sysx", "123456");
    Put("nand/M7LITE.sys", "123456");
    fs::create_directories(temp_.path() / "root" / "nand" / "M7LITE_dir.sys");
    fs::create_symlink("/etc/hostname", temp_.path() / "root" / "nand" / "M7LITE_link.sys");

    struct Seen {
        std::string path, serial;
        bool tenDigits;
        std::optional<uint64_t> size;
        std::string macOrProblem;
        bool operator==(const Seen &) const = default;
    };
    std::vector<Seen> seen;
    for (const devkit::SystemInfoFileView &file : View().systemInfo)
        seen.push_back({file.devicePath, file.serial, file.serialIsTenDigits, file.size,
                        file.mac ? devkit::MacText(*file.mac) : file.problem.value_or("?")});
    std::vector<Seen> expected = {
        {"\\nand\\M7LITE_.sys", "", false, 0, "0 bytes, not 6"},
        {"\\nand\\M7LITE_0020240315.sys", "0020240315", true, 6, "00:1A:2B:3C:4D:5E"},
        {"\\nand\\m7lite_12ab.SYS", "12ab", false, 9, "9 bytes, not 6"},
        {"\\nand\\M7LITE_dir.sys", "dir", false, std::nullopt, "a folder, not a file"},
        {"\\nand\\M7LITE_link.sys", "link", false, std::nullopt, "not a plain file"},
    };
    ASSERT_EQ(seen.size(), expected.size());
    for (size_t i = 0; i < seen.size(); ++i)
        EXPECT_TRUE(seen[i] == expected[i])
            << i << ": " << seen[i].path << " " << seen[i].serial << " " << seen[i].macOrProblem;
}

TEST_F(ShellFiles, BinfsLogFoundWithoutRegardToCase)
{
    Put("FlashDisk/binfs_check.LOG", Wide("Check BINFS: 2026/12/ 5  8:30 \r\n") + "0123");
    std::optional<devkit::BinfsLogView> log = View().binfsLog;
    ASSERT_TRUE(log);
    EXPECT_EQ(log->devicePath, "\\FlashDisk\\binfs_check.LOG");
    EXPECT_EQ(log->size, 68u);
    EXPECT_EQ(log->lines, (Lines{"Check BINFS: 2026/12/ 5  8:30 ", "\xE3\x84\xB0\xE3\x8C\xB2"}));
    EXPECT_FALSE(log->problem);
}

struct LogRow {
    const char *name;
    std::function<void(const fs::path &flashdisk)> lay;
    uint64_t size;
    Lines lines;
    std::optional<std::string> problem;
};

void PrintTo(const LogRow &row, std::ostream *out)
{
    *out << row.name;
}

class BinfsLog : public testing::TestWithParam<LogRow> {};

TEST_P(BinfsLog, SaysWhatIsWrongWithIt)
{
    qs_test::TempFolder temp;
    fs::path flashdisk = temp.path() / "root" / "flashdisk";
    fs::create_directories(flashdisk);
    GetParam().lay(flashdisk);
    std::optional<devkit::BinfsLogView> log = devkit::ViewShellFiles(temp.path()).binfsLog;
    ASSERT_TRUE(log);
    EXPECT_EQ(log->devicePath, "\\flashdisk\\BINFS_CHECK.log");
    EXPECT_EQ(log->size, GetParam().size);
    EXPECT_EQ(log->lines, GetParam().lines);
    EXPECT_EQ(log->problem, GetParam().problem);
}

void Write(const fs::path &file, const std::string &content)
{
    std::ofstream(file, std::ios::binary) << content;
}

INSTANTIATE_TEST_SUITE_P(
    Table, BinfsLog,
    testing::Values(LogRow{"Empty",
                           [](const fs::path &f) { Write(f / "BINFS_CHECK.log", ""); },
                           0,
                           {},
                           std::nullopt},
                    LogRow{
                        "OddSize",
                        [](const fs::path &f) { Write(f / "BINFS_CHECK.log", Wide("ok") + "!"); },
                        5,
                        {"ok"},
                        "an odd size: the last byte is no UTF-16 character"},
                    LogRow{"Folder",
                           [](const fs::path &f) { fs::create_directory(f / "BINFS_CHECK.log"); },
                           0,
                           {},
                           "a folder, not a file"},
                    LogRow{"Link",
                           [](const fs::path &f) {
                               fs::create_symlink("/etc/hostname", f / "BINFS_CHECK.log");
                           },
                           0,
                           {},
                           "not a plain file"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace shell_files_view_test
