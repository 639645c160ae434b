// The whole operating-system update on a device made as the factory makes it, fed with update
// packages as the device kit places them: each row's log, cues, opens and the driver's flags,
// erases and status queries, then what the flash, the update folder and the heap show, against
// tests/golden/osupdate_procedure_NAME.log.
#include <fstream>

#include <gtest/gtest.h>

#include "devkit/bin_image.h"
#include "devkit/bin_reader.h"
#include "devkit/device_maker.h"
#include "devkit/flash_verify.h"
#include "devkit/nb0_image.h"
#include "devkit/update_package.h"
#include "osupdate/OSUPDATE.h"
#include "platform/host/host.h"
#include "sim/device.h"
#include "sim/flash_driver.h"
#include "tests/support/expect.h"

// Named, so that the area's files can share one unity build.
namespace update_procedure_test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using qs_test::Lines;

class UpdateProcedure;

struct Row {
    const char *name;
    json device = json::object();                  // merged into device.json
    void (*arrange)(UpdateProcedure &) = nullptr;  // after the package is placed
    bool eboot = true;                             // the package holds a boot-loader image
};

void PrintTo(const Row &row, std::ostream *os)
{
    *os << row.name;
}

class UpdateProcedure : public testing::TestWithParam<Row> {
public:
    void SetUp() override
    {
        work_ = temp_.path();
        folder_ = work_ / "device";
        fs::create_directories(work_ / "images");
        // An NK image of a little over three blocks, whose bytes tell their offsets apart.
        layout_.image = qs_test::PatternBytes(0x1F800 + 2 * 0x20000 + 0x345, 1);
        devkit::WriteBinImage(work_ / "images/nk.bin", layout_);
        nb0_ = devkit::MakeNb0(std::nullopt, std::nullopt);
        std::ofstream(work_ / "images/boot.nb0", std::ios::binary)
            .write(reinterpret_cast<const char *>(nb0_.data()), std::streamsize(nb0_.size()));
    }

    void TearDown() override
    {
        ce_host::Detach();
        device_.reset();
    }

    void Place(const std::string &key, bool eboot, const fs::path &nk)
    {
        devkit::PlacePackage(
            folder_, {nk, eboot ? std::optional(work_ / "images/boot.nb0") : std::nullopt, key});
    }

    // What the update folder holds, by name.
    std::map<std::string, std::string> Files()
    {
        std::map<std::string, std::string> files;
        std::error_code none;  // a missing folder holds nothing
        for (const auto &entry : fs::directory_iterator(devkit::UpdateFolder(folder_), none))
            files[entry.path().filename().string()] = qs_test::FileText(entry.path());
        return files;
    }

    // The flash bytes of blocks first..last.
    std::string Blocks(uint32_t first, uint32_t last)
    {
        const sim::FlashArray &flash = sim::DeviceFlash(*device_).Flash();
        std::string bytes;
        for (uint32_t sector = first * 64; sector < (last + 1) * 64; ++sector)
            bytes.append(reinterpret_cast<const char *>(flash.Sector(sector).data()), 2056);
        return bytes;
    }

    std::string Verified(bool withEboot)
    {
        devkit::LoadedBinImage nk = devkit::ReadBinImageFile(work_ / "images/nk.bin");
        std::optional<std::span<const uint8_t>> nb0;
        if (withEboot)
            nb0 = std::span<const uint8_t>(nb0_);
        return devkit::VerifyFlash(sim::DeviceFlash(*device_), nk, nb0).failure.value_or("ok");
    }

    qs_test::TempFolder temp_;
    fs::path work_, folder_;
    devkit::BinImageLayout layout_;
    std::vector<uint8_t> nb0_;
    std::unique_ptr<sim::Device> device_;
};

TEST_P(UpdateProcedure, LogFlashAndFilesAsGolden)
{
    const Row &row = GetParam();
    devkit::CreateDevice(folder_, {.force = true, .blocks = 64});
    json description = json::parse(qs_test::FileText(folder_ / "device.json"));
    description.merge_patch(row.device);
    std::ofstream(folder_ / "device.json") << description.dump(2);
    Place("1", row.eboot, work_ / "images/nk.bin");
    if (row.arrange)
        row.arrange(*this);
    std::map<std::string, std::string> placed = Files();
    device_ = sim::Device::Open(folder_);
    std::string factoryBoot = Blocks(0, 4), factoryToc = Blocks(5, 5);
    ce_host::Attach(*device_);
    ResetShellState();

    DWORD result = UpdateSystemImage(1);

    ce_host::Holdings held = ce_host::Held();
    Lines seen;
    for (const std::string &line : qs_test::Transcript())
        if (!line.starts_with("> DSK1: IOCTL_FMD_SET_SECTOR_ADDR") &&
            !line.starts_with("> DSK1: IOCTL_FMD_READ_SECTOR") &&
            !line.starts_with("> DSK1: IOCTL_FMD_WRITE_SECTOR"))
            seen.push_back(line);
    seen.push_back("result " + std::to_string(result) + " after " +
                   std::to_string(device_->Clock().ElapsedMs()) + " ms, heap peak 0x" +
                   qs_test::Hex(held.peakHeapBytes) + "\r\n");
    seen.push_back(std::string("boot area ") +
                   (Blocks(0, 4) == factoryBoot ? "as the factory left it" : "changed") + ", TOC " +
                   (Blocks(5, 5) == factoryToc ? "as the factory left it" : "changed") + "\r\n");
    seen.push_back("verify NK: " + Verified(false) + "\r\n");
    seen.push_back("verify with the boot loader: " + Verified(true) + "\r\n");
    for (const auto &[name, bytes] : Files())
        seen.push_back(name +
                       (placed.count(name) == 0 ? " new"
                        : placed[name] == bytes ? " as placed"
                                                : " changed") +
                       "\r\n");
    qs_test::ExpectGoldenLog(seen, std::string("osupdate_procedure_") + row.name);
    EXPECT_EQ(held.handles, 0u);
    EXPECT_EQ(held.heapBlocks, 0u);
    EXPECT_EQ(sim::DeviceFlash(*device_).FlagsLeftOn(), Lines{});
}

void RemoveCrc(UpdateProcedure &t)
{
    fs::remove(devkit::UpdateFolder(t.folder_) / "R5boot_1.nb0.crc");
}

// The trailer's product, or the first record's checksum, one off.
void ChangeByte(const fs::path &file, std::streamoff at, std::ios::seekdir from)
{
    std::fstream bytes(file, std::ios::in | std::ios::out | std::ios::binary);
    bytes.seekg(at, from);
    char byte = char(bytes.get() + 1);
    bytes.seekp(at, from);
    bytes.put(byte);
}

void WrongProduct(UpdateProcedure &t)
{
    ChangeByte(devkit::UpdateFolder(t.folder_) / "R5nk_1.bin", -30 + 9, std::ios::end);
}

void BreakFirstChecksum(UpdateProcedure &t)
{
    ChangeByte(devkit::UpdateFolder(t.folder_) / "R5nk_1.bin", 15 + 8, std::ios::beg);
}

void RemoveEverything(UpdateProcedure &t)
{
    fs::remove_all(devkit::UpdateFolder(t.folder_));
}

// Block 5 erased: no TOC at all.
void EraseToc(UpdateProcedure &t)
{
    std::unique_ptr<sim::Device> device = sim::Device::Open(t.folder_);
    ce_host::Attach(*device);
    HANDLE disk =
        CreateFileW(u"DSK1:", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    DWORD on = 0xACEC, off = 0, block = 5, returned = 0;
    DeviceIoControl(disk, 0x72004, &on, 4, NULL, 0, &returned, NULL);
    DeviceIoControl(disk, 0x71FE4, &block, 4, NULL, 0, &returned, NULL);
    DeviceIoControl(disk, 0x72004, &off, 4, NULL, 0, &returned, NULL);
    CloseHandle(disk);
    ce_host::Detach();
    device->Save();
}

// A second, older and shorter NK image beside the first: only the newer one is touched.
void OlderImageBeside(UpdateProcedure &t)
{
    devkit::BinImageLayout older = t.layout_;
    older.image.resize(0x30000);
    devkit::WriteBinImage(t.work_ / "images/older.bin", older);
    t.Place("0", false, t.work_ / "images/older.bin");
}

const json kNoFlashdisk = {{"files", {{"mount_after_ms", {{"flashdisk", 10000}}}}}};

INSTANTIATE_TEST_SUITE_P(
    Table, UpdateProcedure,
    testing::Values(Row{"BothImages"}, Row{"NoRoot", kNoFlashdisk},
                    Row{"NoUpdateFolder", json::object(), RemoveEverything},
                    Row{"EbootUpdateNotAllowed", {{"flash", {{"eboot_update", 0}}}}},
                    // Any word but 0 allows it, one whose low byte is 0 too.
                    Row{"EbootUpdateAllowedByHighByte", {{"flash", {{"eboot_update", 0x100}}}}},
                    Row{"EbootUpdateRefused",
                        {{"flash", {{"faults", {{{"code", "IOCTL_FMD_GET_EBOOT_UPDATE"}}}}}}}},
                    Row{.name = "NoEbootImage", .eboot = false},
                    Row{"CrcSideFileMissing", json::object(), RemoveCrc},
                    Row{"WrongProduct", json::object(), WrongProduct},
                    Row{"ChecksumWrong", json::object(), BreakFirstChecksum},
                    Row{"NkWriteFails",
                        {{"flash", {{"faults", {{{"op", "write"}, {"block", 8}}}}}}}},
                    Row{"NoMemory", {{"heap", {{"limit_bytes", 0x2000000}}}}},
                    Row{"TocRefusedIsRebuilt", json::object(), EraseToc, false},
                    Row{"OfTwoNkImagesTheNewer", json::object(), OlderImageBeside, false}),
    [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace update_procedure_test
