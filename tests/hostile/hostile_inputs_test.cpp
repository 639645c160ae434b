// Hostile inputs: what an update folder may hold that the update procedure must refuse, each met
// by the whole procedure on a factory-fresh device. The refusal's log is kept whole in
// tests/golden, and nothing lands where it must not: the flash byte for byte as before, no flash
// write or erase sent, no file made or removed, nothing held, no flag left on. Hostile trees of
// application data are rows of the tree table (tests/appupdate/install_test.cpp).
#include <array>
#include <fstream>
#include <optional>

#include <gtest/gtest.h>

#include "devkit/bin_image.h"
#include "devkit/device_maker.h"
#include "devkit/image_crc.h"
#include "devkit/nb0_image.h"
#include "osupdate/OSUPDATE.h"
#include "platform/host/host.h"
#include "sim/device.h"
#include "sim/error.h"
#include "sim/flash_driver.h"
#include "tests/support/expect.h"
#include "tests/tools/tool_run.h"

namespace hostile_inputs_test {
namespace {

using qs_test::Words;

constexpr uint32_t kBase = 0x80020000;  // RAM_IMAGE_BASE
const std::string kUpdate = "\\flashdisk\\K275D-Update\\";
const std::string kNk = kUpdate + "R5nk_1.bin";

std::string Trailer()
{
    std::array<uint8_t, devkit::kBinTrailerSize> trailer = devkit::EncodeBinTrailer({});
    return std::string(trailer.begin(), trailer.end());
}

// A .BIN file with the given records and the signature trailer, so that the signature check
// passes and the loader meets the records.
std::string BinFile(const std::string &records)
{
    return "B000FF\n" + Words({kBase, 0x1000}) + records + Trailer();
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

// The boot-loader image one byte short, with a side file holding its CRC, or a wrong one.
qs_test::Entries ShortNb0(const std::string &path, bool rightCrc)
{
    std::vector<uint8_t> nb0 = devkit::MakeNb0(std::nullopt, std::nullopt);
    nb0.pop_back();
    std::array<uint8_t, 4> side = devkit::CrcSideFileBytes(devkit::ImageCrc(nb0));
    return {{path, std::string(nb0.begin(), nb0.end())},
            {path + ".crc", rightCrc ? std::string(side.begin(), side.end()) : Words({0})}};
}

// An image below the update folder whose device path has the given length.
std::string UpdatePath(const std::string &prefix, const std::string &suffix, size_t pathLength)
{
    return kUpdate + prefix +
           std::string(pathLength - kUpdate.size() - prefix.size() - suffix.size(), 'k') + suffix;
}

struct HostileRow {
    const char *name;  // its log: tests/golden/hostile_NAME.log
    qs_test::Entries files;
};

class HostileInput : public testing::TestWithParam<HostileRow> {};

TEST_P(HostileInput, IsRefusedWithItsLogAndWritesNothing)
{
    qs_test::TempFolder work;
    std::filesystem::path folder = work.path() / "device";
    devkit::CreateDevice(folder, {.blocks = 16});
    qs_test::LayEntries(folder, GetParam().files);
    std::string flashBefore = qs_test::FileText(folder / "nand.bin");
    qs_test::Entries treeBefore = qs_test::ReadEntries(folder);
    std::unique_ptr<sim::Device> device = sim::Device::Open(folder);
    ce_host::Attach(*device);
    ResetShellState();

    qs_test::Lines story;
    DWORD result = UpdateSystemImage(1);
    qs_test::ExpectNothingHeld();
    EXPECT_EQ(sim::DeviceFlash(*device).FlagsLeftOn(), std::vector<std::string>{});
    for (const auto &event : device->Events().Events()) {
        if (event["event"] == "log")
            story.push_back(event["text"]);
        if (event["event"] == "ioctl" &&
            (event["name"] == "IOCTL_FMD_WRITE_SECTOR" || event["name"] == "IOCTL_FMD_ERASE_BLOCK"))
            story.push_back("flash changed: " + event.dump() + "\r\n");
    }
    story.push_back("result " + std::to_string(result) + "\r\n");
    ce_host::Detach();
    device.reset();

    qs_test::ExpectGoldenLog(story, std::string("hostile_") + GetParam().name);
    EXPECT_TRUE(qs_test::FileText(folder / "nand.bin") == flashBefore)
        << "the flash differs from the factory's";
    EXPECT_EQ(qs_test::ReadEntries(folder), treeBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HostileInput,
    testing::Values(
        // A file whose last 30 bytes pass the signature check though it ends inside a record
        // header; the loader's own rows hold the other broken records.
        HostileRow{"FileCutInsideARecordHeader", {{kNk, CutInsideSecondHeader()}}},
        // An image path of 255 characters leaves its side file 259: read, and its CRC compared;
        // 256 would make it 260: refused without a look.
        HostileRow{"SideFilePathOf259Characters",
                   ShortNb0(UpdatePath("R5boot_", ".nb0", 255), false)},
        HostileRow{"SideFilePathOf260Characters",
                   ShortNb0(UpdatePath("R5boot_", ".nb0", 256), true)},
        // An NK image whose path is 259 characters is chosen and read; one of 260 leaves the
        // pattern in the path, which opens nothing.
        HostileRow{"ImagePathOf259Characters",
                   {{UpdatePath("R5nk_", ".bin", 259), BinFile(Words({kBase, 0xFFFFFFFF, 0}))}}},
        HostileRow{"ImagePathOf260Characters",
                   {{UpdatePath("R5nk_", ".bin", 260), BinFile(Words({kBase, 0xFFFFFFFF, 0}))}}},
        // A name the device's file systems refuse is found, but cannot be opened.
        HostileRow{"ImageNameWithAColon",
                   {{kUpdate + "R5nk_24:315.bin", BinFile(Words({0, kBase, 0}))}}}),
    [](const testing::TestParamInfo<HostileRow> &info) { return std::string(info.param.name); });

// Device folders whose description or saved state holds a number past the range of a double:
// refused with the library's range error in one line that names the file, never with another
// exception or a crash. Each row: device.json, state.json (none: not written), the file named.
struct TextRow {
    std::string deviceJson;
    std::optional<std::string> stateJson;
    std::string file;
};
// clang-format off
const TextRow kTextRows[] = {
    {R"({"heap": {"limit_bytes": 1e999}})", std::nullopt, "device.json"},
    {"{}", R"({"power": {"update_mode": -1e400}})", "state.json"},
    {R"({"files": {"locked": [1E+999]}})", std::nullopt, "device.json"},
};
// clang-format on

TEST(HostileFolderText, IsRefusedWithOneLineNamingTheFile)
{
    for (const TextRow &row : kTextRows) {
        qs_test::TempFolder folder;
        std::ofstream(folder.path() / "device.json") << row.deviceJson;
        if (row.stateJson)
            std::ofstream(folder.path() / "state.json") << *row.stateJson;
        std::string refusal = "opened";
        try {
            sim::Device::Open(folder.path());
        } catch (const sim::DeviceError &error) {
            refusal = error.what();
        }
        EXPECT_EQ(refusal,
                  (folder.path() / row.file).string() + ": not valid JSON: a number out of range");
    }
}

}  // namespace
}  // namespace hostile_inputs_test
