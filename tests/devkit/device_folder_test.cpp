// A device folder as the kit makes it with the factory options, and as it reads back the
// system-information files and the BINFS check log the shell leaves there (the log's UTF-16LE
// text split into lines); views against tests/golden/devkit_shell_files.log.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "devkit/device_maker.h"
#include "devkit/shell_files_view.h"
#include "sim/device.h"
#include "tests/support/expect.h"
#include "tests/tools/tool_run.h"

namespace device_folder_test {
namespace {

namespace fs = std::filesystem;

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
    EXPECT_EQ(devkit::ParseFactorySerial("0020240315"),
              (devkit::SerialDigits{0, 0, 2, 0, 2, 4, 0, 3, 1, 5}));

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
}  // namespace device_folder_test
