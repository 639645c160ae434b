// Hostile inputs in one table: what an update folder or a tree of application data may hold that
// the shell must refuse, the exact lines it refuses it with, and that nothing lands where it must
// not: the flash byte for byte as before, no flash write or erase sent, no file made or removed.
//
// The refusals themselves are also checked closer to the code, and those cases are not repeated
// here as units: records outside the buffer and files cut short (tests/osupdate/loader_test.cpp
// BelowTheBuffer, PastTheBuffer, LengthWrapsTheAddress, CutInsideRecordHeader), the .nb0 one byte
// short (tests/osupdate/eboot_writer_test.cpp OneByteShort), a source file of 4 GiB and more
// against a short destination (tests/appupdate/tree_walk_test.cpp CompareRefusesFilesOf4GiBOrMore),
// child paths well past 259 characters (tree_walk_test.cpp OverlongPath), device paths of 259 and
// 260 characters and refused characters at the platform (tests/platform/paths_test.cpp), and a
// system-information file name with refused characters (tests/shell/system_info_test.cpp
// BytesTenToFifteen). Here each one meets the whole update procedure or tree walk instead.
#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "appupdate/tree_walk.h"
#include "devkit/bin_image.h"
#include "devkit/device_maker.h"
#include "devkit/image_crc.h"
#include "devkit/nb0_image.h"
#include "osupdate/OSUPDATE.h"
#include "platform/host/host.h"
#include "sim/device.h"
#include "sim/flash_driver.h"
#include "tests/tools/tool_run.h"

namespace hostile_inputs_test {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using Tree = std::map<std::string, uintmax_t>;  // path below root/ -> size (folders: 0)

constexpr uint32_t kBase = 0x80020000;  // RAM_IMAGE_BASE
const std::string kUpdate = "\\flashdisk\\K275D-Update\\";
const std::string kUploadFail = "OS NK Image upload fail!!!! \r\n";
constexpr uint64_t k4GiB = uint64_t{1} << 32;

std::string Words(std::initializer_list<uint32_t> words)
{
    std::string bytes;
    for (uint32_t word : words)
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(char(word >> shift));
    return bytes;
}

std::string Hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%X", value);
    return text;
}

std::string Trailer()
{
    std::array<uint8_t, devkit::kBinTrailerSize> trailer = devkit::EncodeBinTrailer({});
    return std::string(trailer.begin(), trailer.end());
}

// A .BIN file whose header claims one record's worth and whose records are given, ending with
// the signature trailer, so that the signature check passes and the loader meets the records.
std::string BinFile(const std::string &records)
{
    return "B000FF\n" + Words({kBase, 0x1000}) + records + Trailer();
}

std::string RecordLine(uint32_t addr, uint32_t len, uint32_t chk)
{
    return "RecNum:1 RecAddr:" + Hex(addr) + " RecLen:" + Hex(len) + " RecChk:" + Hex(chk) +
           " \r\n";
}

std::string OutsideLine(uint32_t addr, uint32_t len)
{
    return "ERROR - Record outside the image buffer Addr:" + Hex(addr) + " Len:" + Hex(len) +
           " \r\n";
}

// One record of 32 bytes whose last 24 bytes are the trailer's first 24; the trailer's other six
// follow as the next record's address and half its length. The file ends inside that header and
// its last 30 bytes are still a trailer the signature check accepts.
std::string CutInsideSecondHeader()
{
    std::string trailer = Trailer();
    std::string data = std::string(8, '\x11') + trailer.substr(0, 24);
    uint32_t sum = 0;
    for (unsigned char byte : data)
        sum += byte;
    return "B000FF\n" + Words({kBase, 0x1000}) + Words({kBase, 32, sum}) + data +
           trailer.substr(24);
}

std::string Bytes(const std::vector<uint8_t> &bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

// The boot-loader image one byte short, with the side file that matches those bytes.
std::pair<std::string, std::string> ShortNb0()
{
    std::vector<uint8_t> nb0 = devkit::MakeNb0(std::nullopt, std::nullopt);
    nb0.pop_back();
    std::array<uint8_t, 4> side = devkit::CrcSideFileBytes(devkit::ImageCrc(nb0));
    return {Bytes(nb0), std::string(side.begin(), side.end())};
}

// The side file's value for ShortNb0's image, as the CRC line prints it.
std::string ShortNb0CrcHex()
{
    std::vector<uint8_t> nb0 = devkit::MakeNb0(std::nullopt, std::nullopt);
    nb0.pop_back();
    return Hex(devkit::ImageCrc(nb0));
}

// A name below the update folder that makes a device path of the given length.
std::string UpdateName(const std::string &prefix, const std::string &suffix, size_t pathLength)
{
    return prefix + std::string(pathLength - kUpdate.size() - prefix.size() - suffix.size(), 'k') +
           suffix;
}

// Child paths below the walks' folders: "\s\" + 200 characters + "\" is 204 characters.
const std::string kDeep = std::string(200, 'f');
std::string DeepName(size_t pathLength)
{
    return std::string(pathLength - 4 - kDeep.size(), 'n');
}

// What a row lays down and runs, on a factory-fresh device.
class Device {
public:
    explicit Device(const fs::path &folder) : folder_(folder) {}

    // "\A\b.txt" -> root/A/b.txt
    fs::path Host(std::string devicePath) const
    {
        std::replace(devicePath.begin(), devicePath.end(), '\\', '/');
        return folder_ / "root" / devicePath.substr(1);
    }
    void Put(const std::string &devicePath, const std::string &bytes) const
    {
        fs::create_directories(Host(devicePath).parent_path());
        std::ofstream(Host(devicePath), std::ios::binary) << bytes;
    }
    // A file of the given size that holds no disk blocks.
    void Sparse(const std::string &devicePath, uint64_t size) const
    {
        Put(devicePath, "");
        fs::resize_file(Host(devicePath), size);
    }
    void Folder(const std::string &devicePath) const { fs::create_directories(Host(devicePath)); }

private:
    fs::path folder_;
};

DWORD Update()
{
    return UpdateSystemImage(1);
}
std::function<DWORD()> Compare(std::u16string source, std::u16string dest)
{
    return [=] { return CheckExeFile(source.c_str(), dest.c_str()); };
}
std::function<DWORD()> Copy(std::u16string source, std::u16string dest)
{
    return [=] { return CopyExeFile(source.c_str(), dest.c_str()); };
}

struct HostileRow {
    const char *name;
    std::function<void(const Device &)> arrange;
    std::function<DWORD()> run;
    DWORD result;
    Lines lines;  // among the log's lines, in this order
    Tree made;    // entries that appear below root/: what a walk may copy
};

void PrintTo(const HostileRow &row, std::ostream *out)
{
    *out << row.name;
}

class HostileInput : public testing::TestWithParam<HostileRow> {
protected:
    void SetUp() override
    {
        devkit::CreateDevice(folder(), {.blocks = 16});
        Device(folder()).Folder(kUpdate);
        GetParam().arrange(Device(folder()));
        flashBefore_ = qs_test::FileText(folder() / "nand.bin");
        treeBefore_ = RootTree();
    }

    fs::path folder() const { return work_.path() / "device"; }

    Tree RootTree() const
    {
        Tree tree;
        fs::path root = folder() / "root";
        for (const auto &entry : fs::recursive_directory_iterator(root))
            tree[entry.path().lexically_relative(root).string()] =
                entry.is_regular_file() ? entry.file_size() : 0;
        return tree;
    }

    qs_test::TempFolder work_;
    std::string flashBefore_;
    Tree treeBefore_;
};

TEST_P(HostileInput, IsRefusedWithItsLinesAndWritesNothing)
{
    const HostileRow &row = GetParam();
    std::unique_ptr<sim::Device> device = sim::Device::Open(folder());
    ce_host::Attach(*device);
    ResetShellState();

    EXPECT_EQ(row.run(), row.result);

    ce_host::Holdings held = ce_host::Held();
    std::vector<std::string> flags = sim::DeviceFlash(*device).FlagsLeftOn();
    Lines log, changes;
    for (const auto &event : device->Events().Events()) {
        if (event["event"] == "log")
            log.push_back(event["text"]);
        if (event["event"] == "ioctl" &&
            (event["name"] == "IOCTL_FMD_WRITE_SECTOR" || event["name"] == "IOCTL_FMD_ERASE_BLOCK"))
            changes.push_back(event.dump());
    }
    ce_host::Detach();
    device.reset();

    auto from = log.begin();
    for (const std::string &line : row.lines) {
        auto found = std::find(from, log.end(), line);
        EXPECT_TRUE(found != log.end()) << "missing or out of order: " << line;
        from = found == log.end() ? from : found + 1;
    }
    EXPECT_TRUE(changes.empty()) << testing::PrintToString(changes);
    EXPECT_TRUE(qs_test::FileText(folder() / "nand.bin") == flashBefore_)
        << "the flash differs from the factory's";
    Tree expected = treeBefore_;
    expected.insert(row.made.begin(), row.made.end());
    EXPECT_EQ(RootTree(), expected);
    EXPECT_EQ(held.handles, 0u);
    EXPECT_EQ(held.heapBlocks, 0u);
    EXPECT_TRUE(flags.empty()) << testing::PrintToString(flags);
}

const std::string kNk = kUpdate + "R5nk_1.bin";
const std::string kNb0 = kUpdate + "R5boot_1.nb0";
const std::string kDeepSource = "\\s\\" + kDeep + "\\";
const std::string kDeepDest = "\\d\\" + kDeep + "\\";

INSTANTIATE_TEST_SUITE_P(
    Table, HostileInput,
    testing::Values(
        // .BIN records: below the buffer, running past its end, of length 0xFFFFFFFF.
        HostileRow{"RecordBelowTheBuffer",
                   [](const Device &d) {
                       d.Put(kNk, BinFile(Words({kBase - 1, 2, 2}) + "\x01\x01"));
                   },
                   Update,
                   0,
                   {RecordLine(kBase - 1, 2, 2), OutsideLine(kBase - 1, 2), kUploadFail},
                   {}},
        HostileRow{"RecordRunsPastTheBufferEnd",
                   [](const Device &d) {
                       d.Put(kNk, BinFile(Words({0x82AFFFF0, 0x20, 0}) + std::string(0x20, '\0')));
                   },
                   Update,
                   0,
                   {RecordLine(0x82AFFFF0, 0x20, 0), OutsideLine(0x82AFFFF0, 0x20), kUploadFail},
                   {}},
        HostileRow{"RecordLengthAllOnes",
                   [](const Device &d) {
                       d.Put(kNk, BinFile(Words({kBase, 0xFFFFFFFF, 0})));
                   },
                   Update,
                   0,
                   {RecordLine(kBase, 0xFFFFFFFF, 0), OutsideLine(kBase, 0xFFFFFFFF), kUploadFail},
                   {}},
        HostileRow{
            "FileCutInsideARecordHeader",
            [](const Device &d) { d.Put(kNk, CutInsideSecondHeader()); },
            Update,
            0,
            {"OSUPDATE: CheckImageSignature Company and Product signature is matched. "
             "Company: QUOR Product: K275D \r\n",
             "ERROR(0)- File Read Error cbData=0x4 dwReadByte=0x2!\r\n", "\r\n", kUploadFail},
            {}},
        // The boot loader's image one byte short of its five blocks, its CRC right: refused
        // before the boot area is erased; without an NK image the update ends there.
        HostileRow{"Nb0OneByteShort",
                   [](const Device &d) {
                       auto [nb0, side] = ShortNb0();
                       d.Put(kNb0, nb0);
                       d.Put(kNb0 + ".crc", side);
                   },
                   Update,
                   0,
                   {"CheckCRCFile: Check CRC of " + kNb0 + " success \r\n",
                    "[QuorShell] WriteEBootImage: image size 0x83FFF is out of range 0x84000 - "
                    "0x2AE0000 \r\n",
                    "Write EBoot Image fail \r\n", "ERROR(2)- Cannot find NK image file \r\n"},
                   {}},
        // An image path of 255 characters leaves its side file 259: read, and its CRC compared.
        HostileRow{"SideFilePathOf259Characters",
                   [](const Device &d) {
                       std::string nb0 = kUpdate + UpdateName("R5boot_", ".nb0", 255);
                       d.Put(nb0, ShortNb0().first);
                       d.Put(nb0 + ".crc", Words({0}));
                   },
                   Update,
                   0,
                   {"CheckCRCFile: CRC is not match. CAL: " + ShortNb0CrcHex() + " READ: 0x0 \r\n",
                    "Check CRC for Eboot Image File fail \r\n"},
                   {}},
        // 256 characters would make it 260: refused without a look.
        HostileRow{"SideFilePathOf260Characters",
                   [](const Device &d) {
                       std::string nb0 = kUpdate + UpdateName("R5boot_", ".nb0", 256);
                       d.Put(nb0, ShortNb0().first);
                       d.Put(nb0 + ".crc", ShortNb0().second);
                   },
                   Update,
                   0,
                   {"CheckCRCFile: CreateFile " + kUpdate + UpdateName("R5boot_", ".nb0", 256) +
                        ".crc fail \r\n",
                    "Check CRC for Eboot Image File fail \r\n"},
                   {}},
        // An NK image whose path is 259 characters is chosen and read; one of 260 leaves the
        // pattern in the path, which opens nothing.
        HostileRow{"ImagePathOf259Characters",
                   [](const Device &d) {
                       d.Put(kUpdate + UpdateName("R5nk_", ".bin", 259),
                             BinFile(Words({kBase, 0xFFFFFFFF, 0})));
                   },
                   Update,
                   0,
                   {"Update File Path : " + kUpdate + UpdateName("R5nk_", ".bin", 259) + " \r\n",
                    OutsideLine(kBase, 0xFFFFFFFF), kUploadFail},
                   {}},
        HostileRow{"ImagePathOf260Characters",
                   [](const Device &d) {
                       d.Put(kUpdate + UpdateName("R5nk_", ".bin", 260),
                             BinFile(Words({kBase, 0xFFFFFFFF, 0})));
                   },
                   Update,
                   0,
                   {"Update File Path : " + kUpdate + "R5nk_*.bin \r\n",
                    "OSUPDATE: CheckImageSignature Open file handle fail \r\n"},
                   {}},
        // A name the device's file systems refuse is found, but cannot be opened.
        HostileRow{"ImageNameWithAColon",
                   [](const Device &d) {
                       d.Put(kUpdate + "R5nk_24:315.bin", BinFile(Words({0, kBase, 0})));
                   },
                   Update,
                   0,
                   {"Update File Path : " + kUpdate + "R5nk_24:315.bin \r\n",
                    "OSUPDATE: CheckImageSignature Open file handle fail \r\n"},
                   {}},
        // Application files of 4 GiB: exactly 4 GiB against an empty file (the low words both
        // read 0), and a short source against a destination past 4 GiB.
        HostileRow{"CompareSourceOfExactly4GiB",
                   [](const Device &d) {
                       d.Sparse("\\s\\big.bin", k4GiB);
                       d.Put("\\d\\big.bin", "");
                   },
                   Compare(u"\\s\\", u"\\d\\"),
                   0,
                   {"CheckExeFile: file too large \\s\\big.bin \r\n"},
                   {}},
        HostileRow{"CompareDestinationPast4GiB",
                   [](const Device &d) {
                       d.Put("\\s\\big.bin", "abc");
                       d.Sparse("\\d\\big.bin", k4GiB + 3);
                   },
                   Compare(u"\\s\\", u"\\d\\"),
                   0,
                   {"CheckExeFile: file too large \\s\\big.bin \r\n"},
                   {}},
        // Child paths at the limit: 259 characters are copied, 260 refused with the folder.
        HostileRow{"CopyChildPathOf259Characters",
                   [](const Device &d) {
                       d.Put(kDeepSource + DeepName(259), "259");
                       d.Folder("\\d");
                   },
                   Copy(u"\\s\\", u"\\d\\"),
                   1,
                   {"Copy: " + kDeepSource + DeepName(259) + " \r\n"},
                   {{"d/" + kDeep, 0}, {"d/" + kDeep + "/" + DeepName(259), 3}}},
        HostileRow{"CopyChildPathOf260Characters",
                   [](const Device &d) {
                       d.Put(kDeepSource + DeepName(260), "260");
                       d.Folder("\\d");
                   },
                   Copy(u"\\s\\", u"\\d\\"),
                   0,
                   {"CopyExeFile: path too long below " + kDeepSource + " \r\n",
                    "CopyExeFile: CopyExeFile fail \r\n"},
                   {{"d/" + kDeep, 0}}},
        HostileRow{"CompareChildPathOf260Characters",
                   [](const Device &d) {
                       d.Put(kDeepSource + DeepName(260), "260");
                       d.Put(kDeepDest + "other.txt", "");
                   },
                   Compare(u"\\s\\", u"\\d\\"),
                   0,
                   {"CheckExeFile: path too long below " + kDeepSource + " \r\n",
                    "CheckExeFile: CheckExeFile fail \r\n"},
                   {}},
        // Names the device's file systems refuse: the copy fails, and so does the attribute
        // reset of a destination that never came to be.
        HostileRow{"CopyNameWithAQuestionMark",
                   [](const Device &d) {
                       d.Put("\\s\\a?b.txt", "q");
                       d.Folder("\\d");
                   },
                   Copy(u"\\s\\", u"\\d\\"),
                   0,
                   {"Copy: \\s\\a?b.txt \r\n",
                    "QuorShell: CopyExeFile SetFileAttributes \\d\\a?b.txt fail \r\n"},
                   {}},
        HostileRow{"CopyNameWithAControlCharacter",
                   [](const Device &d) {
                       d.Put("\\s\\tab\there.txt", "t");
                       d.Folder("\\d");
                   },
                   Copy(u"\\s\\", u"\\d\\"),
                   0,
                   {"Copy: \\s\\tab\there.txt \r\n",
                    "QuorShell: CopyExeFile SetFileAttributes \\d\\tab\there.txt fail \r\n"},
                   {}}),
    [](const testing::TestParamInfo<HostileRow> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace hostile_inputs_test
