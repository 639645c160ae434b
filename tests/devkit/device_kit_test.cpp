// The device kit's tests. Folders: a host folder read as application data (what the device and
// the shell's 260-character paths can hold), the kit's made-up application data, a device folder
// made with the factory options, and the system-information files and the BINFS check log the
// shell leaves there. Images: .BIN files as the encoder writes or refuses them and as the strict
// reader places them in RAM, the .nb0, the CRC value of its side file, and verify's verdict on a
// flash laid out by hand. Whole verdicts and views are kept in tests/golden/devkit_*.log.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <numeric>
#include <span>
#include <sstream>

#include "devkit/app_data.h"
#include "devkit/app_tree.h"
#include "devkit/bin_image.h"
#include "devkit/bin_reader.h"
#include "devkit/boot_loader_view.h"
#include "devkit/device_maker.h"
#include "devkit/flash_verify.h"
#include "devkit/image_crc.h"
#include "devkit/nb0_image.h"
#include "devkit/shell_files_view.h"
#include "sim/config.h"
#include "sim/device.h"
#include "sim/error.h"
#include "tests/devkit/flash_layout.h"
#include "tests/support/expect.h"
#include "tests/tools/tool_run.h"

namespace device_kit_test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using qs_test::Hex;
using qs_test::Words;

// " a b c": each item as text gives it, after a space.
template <typename Items, typename Text>
std::string Listed(const Items &items, Text text)
{
    std::string listed;
    for (const auto &item : items)
        listed += " " + text(item);
    return listed;
}

// "name/" makes a folder, "name->target" a symbolic link, "name|" a fifo, "name=bytes" a file
// holding the bytes, anything else a file holding its own name.
void Lay(const fs::path &root, const std::vector<std::string> &entries)
{
    qs_test::Tree tree;
    for (const std::string &entry : entries) {
        const size_t equals = entry.find('='), arrow = entry.find("->");
        if (entry.ends_with("|"))
            tree[entry.substr(0, entry.size() - 1)] = qs_test::kFifo;
        else if (equals != std::string::npos)
            tree[entry.substr(0, equals)] = entry.substr(equals + 1);
        else if (entry.ends_with("/"))
            tree[entry] = qs_test::kFolder;
        else if (arrow != std::string::npos)
            tree[entry.substr(0, arrow)] = qs_test::Link(entry.substr(arrow + 2));
        else
            tree[entry] = entry;
    }
    qs_test::LayTree(root, tree);
}

// The tree's sizes, folders and files, or why the device or the shell cannot hold it.
std::string Verdict(const fs::path &folder)
{
    try {
        devkit::AppDataTree tree = devkit::ReadAppDataTree(folder);
        auto name = [](const fs::path &path) { return path.string(); };
        return "accepted: " + devkit::SizeText(tree.size) + " (" +
               devkit::AppFoldersText(tree.appFolders) + "), folders" + Listed(tree.folders, name) +
               ", files" + Listed(tree.files, name);
    } catch (const sim::DeviceError &error) {
        return error.what();
    }
}

std::string Repeat(const std::string &text, size_t times)
{
    return times ? text + Repeat(text, times - 1) : "";
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
        std::string refusal = Verdict(temp.path() / "data");
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
    for (const fs::path &name : devkit::ReadAppDataTree(temp.path()).files)
        if (fs::file_size(temp.path() / name) > big.size())
            big = qs_test::FileText(temp.path() / name);
    EXPECT_EQ(big.size(), 512u << 10);
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
    // The flash's block count, both ends included: a device of 4096 blocks is too large to make
    // in a test, so its check is asked directly.
    for (uint32_t blocks : {devkit::kMinBlocks, devkit::kMaxBlocks})
        EXPECT_EQ(devkit::BlockCountProblem(blocks), std::nullopt) << blocks;
    for (uint32_t blocks : {devkit::kMinBlocks - 1, devkit::kMaxBlocks + 1})
        EXPECT_NE(devkit::BlockCountProblem(blocks), std::nullopt) << blocks;
    // 0 is a size like any other, not the default.
    qs_test::TempFolder temp;
    devkit::CreateDevice(temp.path() / "dev", {.binfsSectors = 0});
    EXPECT_EQ(sim::Device::Open(temp.path() / "dev")->Config().store.partitions.at(0).sectors, 0u);
}

// ASCII text as UTF-16LE bytes.
std::string Wide(const std::string &ascii)
{
    return ascii.empty() ? "" : std::string{ascii[0], '\0'} + Wide(ascii.substr(1));
}

const auto kBracketed = [](const std::string &line) { return "[" + line + "]"; };

// Each view's fields in one line: every system-information file the shell's search would find,
// then the BINFS check log.
void Describe(const devkit::ShellFilesView &view, qs_test::Lines &lines)
{
    for (const devkit::SystemInfoFileView &file : view.systemInfo)
        lines.push_back(file.devicePath + " serial [" + file.serial + "]" +
                        (file.serialIsTenDigits ? " ten digits" : "") + " size " +
                        (file.size ? std::to_string(*file.size) : "none") + " " +
                        (file.mac ? devkit::MacText(*file.mac) : file.problem.value_or("?")) +
                        "\r\n");
    if (const auto &log = view.binfsLog)
        lines.push_back(log->devicePath + " size " + std::to_string(log->size) +
                        Listed(log->lines, kBracketed) + " " + log->problem.value_or("fine") +
                        "\r\n");
    else
        lines.push_back("no BINFS check log\r\n");
}

TEST(ShellFiles, ViewsAsGolden)
{
    const std::string line = Wide("Check BINFS: 2026/12/ 5  8:30 \r\n");
    const std::pair<const char *, std::string> texts[] = {
        {"Empty", ""},
        // A new line written over the start of an older, longer log keeps the old tail.
        {"OverAnOlderLongerLog",
         Wide("Check BINFS: 2027/ 1/10  0: 3 \r\nCheck BINFS: 2026/12/ 5  8:30 \r\n")},
        {"TailWithoutLineEnd", Wide("a\r\nTAIL")},
        {"EmptyLinesInBetween", Wide("a\r\n\r\nb\r\n")},
        {"LoneLineFeedAndReturn", Wide("a\nb\rc")},
        {"LatinLetter", std::string("\xE9\x00", 2)},
        {"C1Control", std::string("\x85\x00", 2)},
        {"SurrogatePair", std::string("\x3D\xD8\x00\xDE", 4)},
        {"LoneHighSurrogate", std::string("\x3D\xD8", 2) + Wide("x")},
        {"NulCharacter", std::string("\x00\x00", 2)}};
    qs_test::Lines seen;
    for (const auto &[name, bytes] : texts)
        seen.push_back(std::string(name) + ":" + Listed(devkit::Utf16LeLines(bytes), kBracketed) +
                       "\r\n");

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
        Describe(devkit::ViewShellFiles(temp.path()), seen);
    }
    qs_test::ExpectGoldenLog(seen, "devkit_shell_files");
}

constexpr uint32_t kBase = 0x80020000;

// The reader's view of a file in one line: header, records, the image's bytes (up to 64) and
// what follows the terminating record, or its refusal.
std::string Reading(const std::string &file)
{
    std::istringstream in(file);
    try {
        devkit::LoadedBinImage image = devkit::ReadBinImage(in);
        auto record = [](const devkit::BinRecord &r) {
            return "0x" + Hex(r.address) + "+" + Hex(r.length) + "/" + Hex(r.checksum);
        };
        auto byte = [](uint8_t b) { return Hex(b); };
        auto shown = [](char c) {  // printable bytes as they are
            const auto b = uint8_t(c);
            return std::isgraph(b) ? std::string(1, c) : (b < 16 ? "\\x0" : "\\x") + Hex(b);
        };
        return "start 0x" + Hex(image.start) + " length 0x" + Hex(image.length) + " launch 0x" +
               Hex(image.launch) + " covered " + std::to_string(image.covered) + " records" +
               Listed(image.records, record) + " bytes" +
               Listed(std::span(image.bytes).first(std::min<size_t>(image.length, 64)), byte) +
               " then" + Listed(file.substr(size_t(in.tellg())), shown);
    } catch (const sim::DeviceError &error) {
        return std::string("refused: ") + error.what();
    }
}

TEST(BinImage, ReadingsAndRefusalsAsGolden)
{
    auto Header = [](uint32_t length) { return "B000FF\n" + Words({kBase, length}); };
    auto End = [](uint32_t launch) { return Words({0, launch, 0}); };
    auto Record = [](uint32_t address, const std::string &data, int checksumError = 0) {
        uint32_t sum = std::accumulate(data.begin(), data.end(), 0u,
                                       [](uint32_t sum, char c) { return sum + uint8_t(c); });
        return Words({address, uint32_t(data.size()), sum + checksumError}) + data;
    };
    const std::vector<std::pair<const char *, std::string>> files = {
        {"records land at their offsets, the trailer is not read",
         Header(16) + Record(kBase, "\x01\x02\x03") + Record(kBase + 8, "abcd") +
             Record(kBase + 4, "") + End(0x80021000) + std::string(30, 'T')},
        // Only both address and checksum 0 end the image.
        {"address 0 with a checksum", Header(4) + Record(0, "\x05") + End(0)},
        {"checksum 0 at an address",
         Header(4) + Record(kBase + 1, std::string(2, '\0')) + End(kBase)},
        {"carriage return", "B000FF\r" + Words({kBase, 4}) + End(0)},
        {"short signature", "B000F"},
        {"no length", "B000FF\n" + Words({kBase})},
        {"no first record", Header(4)},
        {"data cut short", Header(4) + Words({kBase, 4, 10}) + "\1\2"},
        {"checksum one off", Header(4) + Record(kBase, "\1\2\3", 1) + End(0)},
        {"past ImageLen", Header(4) + Record(kBase + 2, "\1\2\3") + End(0)},
        {"below the base", Header(4) + Record(kBase - 1, "\1") + End(0)},
        {"no terminating record", Header(4) + Record(kBase, "\1")},
        {"empty image", Header(0) + End(0)},
        {"larger than RAM", Header(0x2AE0001) + End(0)}};
    qs_test::Lines lines;
    for (const auto &[name, file] : files)
        lines.push_back(std::string(name) + ": " + Reading(file) + "\r\n");

    // What the encoder builds from an image of 20 bytes (unless a row gives one), read back, or
    // refuses for a reason a command can show.
    using Layout = devkit::BinImageLayout;
    const std::vector<std::pair<const char *, std::function<void(Layout &)>>> layouts = {
        {"defaults", [](Layout &) {}},
        {"records of 6 around a gap at 4",
         [](Layout &l) {
             l.recordSize = 6;
             l.gaps.emplace_back(4, 3);
         }},
        {"a launch address", [](Layout &l) { l.launch = 0x80022000; }},
        {"a version", [](Layout &l) { l.trailer->version = "240315"; }},
        {"no trailer", [](Layout &l) { l.trailer.reset(); }},
        {"a gap to the end", [](Layout &l) { l.gaps.emplace_back(10, 10); }},
        {"records of 64 KiB at most", [](Layout &l) { l.image.assign(70000, 3); }},
        {"ending at the address space's end", [](Layout &l) { l.start = 0xFFFFFFEC; }},
        {"record size 0", [](Layout &l) { l.recordSize = 0; }},
        {"gap past the end", [](Layout &l) { l.gaps.emplace_back(10, 11); }},
        {"gap starts past the end", [](Layout &l) { l.gaps.emplace_back(21, 0); }},
        {"past the address space", [](Layout &l) { l.start = 0xFFFFFFED; }},
        {"zero record at address 0",
         [](Layout &l) {
             l.start = 0;
             l.image.assign(20, 0);
         }},
        {"company too long", [](Layout &l) { l.trailer->company = "QUORS"; }},
        {"product too long", [](Layout &l) { l.trailer->product = "K275D-2024X"; }},
        {"version too long", [](Layout &l) { l.trailer->version = "2403150"; }},
        {"language of four letters", [](Layout &l) { l.trailer->language = "KORE"; }},
        {"language too long", [](Layout &l) { l.trailer->language = "KOREA"; }}};
    for (const auto &[name, change] : layouts) {
        Layout layout;
        layout.image = qs_test::PatternBytes(20, 0);
        change(layout);
        try {
            std::vector<uint8_t> file = devkit::EncodeBinImage(layout);
            lines.push_back(std::string(name) + ": " + std::to_string(file.size()) +
                            " bytes: " + Reading(std::string(file.begin(), file.end())) + "\r\n");
        } catch (const std::invalid_argument &error) {
            lines.push_back(std::string(name) + ": refused: " + error.what() + "\r\n");
        }
    }
    qs_test::ExpectGoldenLog(lines, "devkit_bin_image");
}

// Parts not given are a pattern whose sectors differ, each opening with a label; a given EBoot is
// placed after the StepLoader and filled up with erased bytes. (A given StepLoader and the
// checksum word show in the quordev sessions' images and verify.)
TEST(Nb0Image, PatternPartsOrAGivenEbootFilledUp)
{
    std::vector<uint8_t> nb0 = devkit::MakeNb0(std::nullopt, std::nullopt);
    auto TextAt = [&nb0](size_t offset, size_t size) {
        return std::string(nb0.begin() + std::ptrdiff_t(offset),
                           nb0.begin() + std::ptrdiff_t(offset + size));
    };
    EXPECT_EQ(TextAt(16, 27), "StepLoader block 0 sector 0");
    EXPECT_EQ(TextAt(0x84000 - 2048, 23), "EBoot block 4 sector 63");
    EXPECT_NE(TextAt(0x4000 + 100, 1900), TextAt(0x4800 + 100, 1900));

    std::vector<uint8_t> eboot = qs_test::PatternBytes(0x30001, 2);
    std::vector<uint8_t> given = devkit::MakeNb0(std::nullopt, eboot);
    ASSERT_EQ(given.size(), 0x84000u);
    EXPECT_TRUE(std::equal(nb0.begin(), nb0.begin() + 0x4000, given.begin()));
    EXPECT_TRUE(std::equal(eboot.begin(), eboot.end(), given.begin() + 0x4000));
    EXPECT_EQ(given[0x4000 + 0x30001], 0xFF);
    EXPECT_EQ(given.back(), 0xFF);
    EXPECT_THROW(devkit::MakeNb0(std::nullopt, std::vector<uint8_t>(0x80001, 1)), sim::DeviceError);
    EXPECT_NO_THROW(
        devkit::MakeNb0(std::vector<uint8_t>(0x4000, 1), std::vector<uint8_t>(0x80000, 1)));
}

// The register complemented on entry, shifted bit by bit, never complemented on exit; the file
// taken in chunks of 32768 bytes (chunk 0 only: the standard CRC-32's register).
uint32_t BitwiseFileValue(const std::vector<uint8_t> &bytes)
{
    uint32_t value = 0;
    for (size_t chunk = 0; chunk < bytes.size(); chunk += 32768) {
        uint32_t reg = ~value;
        for (size_t i = chunk; i < std::min(bytes.size(), chunk + 32768); ++i) {
            reg ^= bytes[i];
            for (int bit = 0; bit < 8; ++bit)
                reg = (reg & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
        }
        value = reg;
    }
    return value;
}

TEST(ImageCrc, FilesOfEverySizeAroundTheChunkMatchTheDefinition)
{
    qs_test::TempFolder temp;
    for (size_t size : {0, 1, 32767, 32768, 32769, 65536, 100000}) {
        SCOPED_TRACE(size);
        std::vector<uint8_t> bytes = qs_test::PatternBytes(size, 3);
        std::ofstream(temp.path() / "image.nb0", std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(size));
        EXPECT_EQ(devkit::ImageCrc(bytes), BitwiseFileValue(bytes));
        EXPECT_EQ(devkit::ImageFileCrc(temp.path() / "image.nb0"), BitwiseFileValue(bytes));
    }
}

// Flash states laid out by hand, each with verify's report and the boot loader's view of it,
// against tests/golden/devkit_flash_verify.log.
constexpr uint32_t kFirstBlockBytes = 63 * 2048;
// 35 further blocks and a bit: with 6 bad the image reaches past block 40.
constexpr uint32_t kLong = kFirstBlockBytes + 35 * 128 * 1024 + 5;
constexpr uint32_t kShort = kFirstBlockBytes + 1;

struct Row {
    const char *name;
    std::vector<uint32_t> bad;                          // marked before anything is laid
    uint32_t size;                                      // of the image
    std::vector<std::array<uint32_t, 3>> cleared = {};  // block, sector, byte cleared after
    // 1: no record covers bytes 100..199, which the loader fills with 0xFF; 2: and the flash
    // holds that fill there.
    int uncovered = 0;
    bool bootLoader = true;  // laid from the kit's .nb0 and verified against it
    bool nk = true;          // the TOC and the image laid
    uint32_t sectors = 0;    // ID[3]'s; 0: as the image needs
    uint32_t start = qs_test::kImageBase, launch = 0x80021000;  // ID[3]'s
};

const Row kRows[] = {
    {"as the writers lay it", {6, 40}, kLong},
    // With 6 bad: image byte 5 is in block 7 sector 1; the fourth further block is 11; the
    // block after the bad 40 is 41.
    {"first NK sector", {6, 40}, kLong, {{7, 1, 5}}},
    {"further block", {6, 40}, kLong, {{11, 12, 0x1F3}}},
    {"block after a bad one", {6, 40}, kLong, {{41, 0, 0}}},
    {"last image byte", {6, 40}, kLong, {{44, 0, 4}}},
    {"StepLoader checksum word", {6, 40}, kLong, {{0, 0, 8}}},
    {"StepLoader last sector", {6, 40}, kLong, {{0, 7, 0x7FF}}},
    {"EBoot", {6, 40}, kLong, {{3, 63, 0x10}}},
    {"sector 0 of the first NK block and past the image", {6, 40}, kLong, {{7, 0, 0}, {44, 0, 5}}},
    {"uncovered bytes, the flash not the fill", {}, kFirstBlockBytes + 3000, {}, 1},
    {"uncovered bytes, the flash the fill", {}, kFirstBlockBytes + 3000, {}, 2},
    {"EBoot block 2 bad", {2}, 1},
    {"load address", {}, kShort, {}, 0, false, true, 0, 0x80030000},
    {"jump address", {}, kShort, {}, 0, false, true, 0, qs_test::kImageBase, 0x80020000},
    {"sector count", {}, kShort, {}, 0, false, true, 0x6000},
    {"nothing laid", {}, 1, {}, 0, false, false},
    // ID[3] records sectors over an image of one byte.
    {"63 sectors", {}, 1, {}, 0, false, true, 63},
    {"64 sectors", {}, 1, {}, 0, false, true, 64},
    {"127 sectors, 6 bad", {6}, 1, {}, 0, false, true, 127},
    {"128 sectors, 6 and 8 bad", {6, 8}, 1, {}, 0, false, true, 128},
    {"to the flash's end", {}, 1, {}, 0, false, true, 63 + 41 * 64},
    {"one sector past it", {}, 1, {}, 0, false, true, 63 + 41 * 64 + 1},
};

const auto kNumber = [](uint32_t number) { return std::to_string(number); };

TEST(FlashVerify, StatesAndVerdicts)
{
    const std::vector<uint8_t> nb0 = devkit::MakeNb0(std::nullopt, std::nullopt);
    qs_test::Lines lines;
    for (const Row &row : kRows) {
        auto array = sim::FlashArray::InMemory(48);
        array->MarkBad(row.bad);
        qs_test::HandFlash hand(*array);
        sim::FlashDriver driver(sim::FlashConfig{}, std::move(array));
        qs_test::NkOnFlash nk{qs_test::PatternBytes(row.size, 11), row.start, row.launch,
                              row.sectors};
        devkit::LoadedBinImage loaded{qs_test::kImageBase, row.size, 0x80021000, {}, {}, {}};
        loaded.bytes = nk.image;
        loaded.covered = row.size - (row.uncovered ? 100 : 0);
        for (size_t i = 100; row.uncovered && i < 200; ++i) {
            loaded.bytes[i] = 0xFF;
            nk.image[i] = row.uncovered == 2 ? 0xFF : nk.image[i];
        }
        if (row.bootLoader)
            hand.LayBootLoader(nb0);
        if (row.nk)
            hand.LayNk(nk);
        for (auto [block, sector, byte] : row.cleared)
            hand.ClearByte(block, sector, byte);

        using Nb0 = std::optional<std::span<const uint8_t>>;
        devkit::VerifyReport report =
            devkit::VerifyFlash(driver, loaded, row.bootLoader ? Nb0(nb0) : std::nullopt);
        lines.push_back(std::string("== ") + row.name + "\r\n");
        for (const std::string &passed : report.passed)
            lines.push_back("ok    " + passed + "\r\n");
        lines.push_back("FAIL  " + report.failure.value_or("none") + "\r\n");
        if (const auto &d = report.difference)
            lines.push_back(d->part + " at" +
                            Listed(std::vector{d->place.block, d->place.sector}, kNumber) + " 0x" +
                            qs_test::Hex(d->place.byte) + ": flash 0x" + qs_test::Hex(d->flash) +
                            ", image 0x" + qs_test::Hex(d->image) + "\r\n");
        lines.push_back("compared " + std::to_string(report.nkBytesCompared) + ", filled " +
                        std::to_string(report.nkBytesFilled) + "\r\n");

        devkit::BootLoaderView view = devkit::ViewBootLoader(driver);
        std::string seen = "StepLoader sum 0x" + qs_test::Hex(view.stepLoader.checksum) +
                           (view.stepLoader.checksumMatches ? " matches" : " differs") + "; EBoot" +
                           Listed(view.eboot.blocks, kNumber) + ", skipping" +
                           Listed(view.eboot.skipped, kNumber);
        if (const auto &nk = view.nk)
            seen += "; NK " + std::to_string(nk->sectors) + " sectors in" +
                    Listed(nk->blocks, kNumber) + ", skipping" + Listed(nk->skipped, kNumber) +
                    ", " + nk->unreadable.value_or("readable");
        lines.push_back(seen + "\r\n");
    }
    qs_test::ExpectGoldenLog(lines, "devkit_flash_verify");
}

}  // namespace
}  // namespace device_kit_test
