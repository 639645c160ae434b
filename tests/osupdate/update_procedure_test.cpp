// The whole operating-system update on a device made as the factory makes it, fed with update
// packages as the device kit places them: what the procedure logs, what it leaves on the flash
// and in the update folder, and that it holds nothing and leaves every flag off.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "devkit/bin_image.h"
#include "devkit/bin_reader.h"
#include "devkit/device_maker.h"
#include "devkit/flash_verify.h"
#include "devkit/image_crc.h"
#include "devkit/nb0_image.h"
#include "devkit/update_package.h"
#include "osupdate/OSUPDATE.h"
#include "platform/host/host.h"
#include "sim/device.h"
#include "sim/flash_driver.h"

// Named, so that the area's files can share one unity build.
namespace update_procedure_test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Lines = std::vector<std::string>;

const std::string kEntry = "*************** [QuorShell]UpdateSystemImage ++ \r\n";
std::string Exit(int result)
{
    return "*********************[QuorShell]UpdateSystemImage -- " + std::to_string(result) +
           " \r\n";
}

// An NK image of a little over three blocks, whose bytes tell their offsets apart.
devkit::BinImageLayout NkLayout()
{
    devkit::BinImageLayout layout;
    layout.image.resize(0x1F800 + 2 * 0x20000 + 0x345);
    for (size_t i = 0; i < layout.image.size(); ++i)
        layout.image[i] = uint8_t(i * 13 + i / 2048 + 1);
    layout.launch = 0x80021000;
    return layout;
}

std::string Read(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class UpdateProcedure : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "qs-update-XXXXXX").string();
        work_ = mkdtemp(pattern.data());
        folder_ = work_ / "device";
        images_ = work_ / "images";
        fs::create_directories(images_);
        devkit::WriteBinImage(images_ / "nk.bin", NkLayout());
        nb0_ = devkit::MakeNb0(std::nullopt, std::nullopt);
        std::ofstream(images_ / "boot.nb0", std::ios::binary)
            .write(reinterpret_cast<const char *>(nb0_.data()), std::streamsize(nb0_.size()));
    }

    void TearDown() override
    {
        ce_host::Detach();
        device_.reset();
        std::error_code ignored;
        fs::remove_all(work_, ignored);
    }

    // A factory-fresh device of 64 blocks, with the changes given merged into its device.json.
    void MakeDevice(const json &changes = json::object(), std::vector<uint32_t> bad = {})
    {
        devkit::CreateDevice(folder_, {.force = true, .blocks = 64, .bad = bad});
        json description = json::parse(Read(folder_ / "device.json"));
        description.merge_patch(changes);
        std::ofstream(folder_ / "device.json") << description.dump(2);
    }

    void Place(const std::string &key, bool eboot = true, const fs::path &nk = fs::path())
    {
        devkit::PackageFiles files;
        files.nk = nk.empty() ? images_ / "nk.bin" : nk;
        if (eboot)
            files.eboot = images_ / "boot.nb0";
        files.key = key;
        devkit::PlacePackage(folder_, files);
    }

    fs::path Update(const std::string &name) const { return devkit::UpdateFolder(folder_) / name; }

    // Runs the procedure once on the device folder as it is now.
    DWORD Run()
    {
        device_ = sim::Device::Open(folder_);
        ce_host::Attach(*device_);
        ResetShellState();
        DWORD result = UpdateSystemImage(1);
        held_ = ce_host::Held();
        flagsLeftOn_ = sim::DeviceFlash(*device_).FlagsLeftOn();
        return result;
    }

    Lines Log() const
    {
        Lines lines;
        for (const auto &event : device_->Events().Events())
            if (event["event"] == "log")
                lines.push_back(event["text"]);
        return lines;
    }

    std::vector<std::string> Cues() const
    {
        std::vector<std::string> cues;
        for (const auto &event : device_->Events().Events())
            if (event["event"] == "sound")
                cues.push_back(event["path"]);
        return cues;
    }

    devkit::VerifyReport Verify(bool withEboot)
    {
        devkit::LoadedBinImage nk = devkit::ReadBinImageFile(images_ / "nk.bin");
        std::optional<std::span<const uint8_t>> nb0;
        if (withEboot)
            nb0 = std::span<const uint8_t>(nb0_);
        return devkit::VerifyFlash(sim::DeviceFlash(*device_), nk, nb0);
    }

    // The raw bytes of blocks first..last of the flash as it is now.
    std::string Blocks(uint32_t first, uint32_t last)
    {
        const sim::FlashArray &flash = sim::DeviceFlash(*device_).Flash();
        std::string bytes;
        for (uint32_t sector = first * 64; sector < (last + 1) * 64; ++sector) {
            auto record = flash.Sector(sector);
            bytes.append(reinterpret_cast<const char *>(record.data()), record.size());
        }
        return bytes;
    }

    void ExpectNothingLeft()
    {
        EXPECT_EQ(held_.handles, 0u);
        EXPECT_EQ(held_.heapBlocks, 0u);
        EXPECT_TRUE(flagsLeftOn_.empty()) << testing::PrintToString(flagsLeftOn_);
    }

    fs::path work_, folder_, images_;
    std::vector<uint8_t> nb0_;
    std::unique_ptr<sim::Device> device_;
    ce_host::Holdings held_;
    std::vector<std::string> flagsLeftOn_;
};

TEST_F(UpdateProcedure, WritesBothImagesRecordsTheNkAndDeletesOnlyItsFile)
{
    MakeDevice();
    Place("240315");
    ASSERT_EQ(Run(), 1u);
    ExpectNothingLeft();
    Lines log = Log();
    for (const char *line :
         {"Find flashdisk success \r\n", "DirPath== \\flashdisk\\K275D-Update \r\n",
          "Found Image Path! \r\n", "Is eboot update enabled? 1 \r\n", "Found EBoot Image! \r\n",
          "Found OS NK Image! \r\n"})
        EXPECT_THAT(log, testing::Contains(line));
    // The NK search follows the boot loader's write.
    auto at = [&](const std::string &line) { return std::find(log.begin(), log.end(), line); };
    EXPECT_LT(at("WriteEBootImage -- return 1 \r\n"),
              at("Find NK Image Path==\\flashdisk\\K275D-Update\\R5nk_*.bin \r\n"));
    devkit::VerifyReport report = Verify(true);
    EXPECT_TRUE(report.Ok()) << report.failure.value_or("");
    EXPECT_FALSE(fs::exists(Update("R5nk_240315.bin")));
    EXPECT_TRUE(fs::exists(Update("R5boot_240315.nb0")));
    EXPECT_TRUE(fs::exists(Update("R5boot_240315.nb0.crc")));
    EXPECT_TRUE(Cues().empty());
    // The heap held at once: the RAM image buffer, the SectorInfo array and one block buffer.
    EXPECT_EQ(ce_host::Held().peakHeapBytes, 0x2AE0000u + 0x200u + 0x20000u);
}

struct FailureRow {
    const char *name;
    json device;                              // merged into device.json
    void (*arrange)(const fs::path &update);  // changes to the placed package, may be null
    DWORD result;
    Lines lines;        // in this order among the log's lines
    bool ebootWritten;  // blocks 0-4 hold the new boot loader afterwards
    bool nkWritten;     // the NK blocks and the TOC hold the new image afterwards
    bool binKept;       // the NK image file is still in the update folder
};

void RemoveCrc(const fs::path &update)
{
    fs::remove(update / "R5boot_1.nb0.crc");
}

void WrongProduct(const fs::path &update)
{
    std::fstream file(update / "R5nk_1.bin", std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(-30 + 5, std::ios::end);
    file.write("K275X", 5);
}

void BreakFirstChecksum(const fs::path &update)
{
    std::fstream file(update / "R5nk_1.bin", std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(15 + 8, std::ios::beg);  // the first record's checksum
    char byte = 0;
    file.seekg(15 + 8);
    file.read(&byte, 1);
    byte = char(byte + 1);
    file.seekp(15 + 8);
    file.write(&byte, 1);
}

void RemoveEverything(const fs::path &update)
{
    fs::remove_all(update);
}

class UpdateFailure : public UpdateProcedure, public testing::WithParamInterface<FailureRow> {};

// Each failure of the procedure: its line, its result, and what stays on the flash.
TEST_P(UpdateFailure, LeavesTheFlashAsItsRowSays)
{
    const FailureRow &row = GetParam();
    MakeDevice(row.device);
    Place("1");
    if (row.arrange)
        row.arrange(devkit::UpdateFolder(folder_));
    // The flash as the factory left it, to tell what the procedure changed.
    std::unique_ptr<sim::Device> before = sim::Device::Open(folder_);
    device_ = std::move(before);
    std::string factoryBoot = Blocks(0, 4), factoryToc = Blocks(5, 5), factoryNk = Blocks(6, 10);
    device_.reset();

    EXPECT_EQ(Run(), row.result);
    ExpectNothingLeft();
    Lines log = Log();
    EXPECT_EQ(log.front(), kEntry);
    EXPECT_EQ(log.back(), Exit(int(row.result)));
    auto from = log.begin();
    for (const std::string &line : row.lines) {
        auto found = std::find(from, log.end(), line);
        EXPECT_NE(found, log.end()) << "missing or out of order: " << line;
        if (found != log.end())
            from = found + 1;
    }
    if (row.ebootWritten)
        EXPECT_NE(Blocks(0, 4), factoryBoot);
    else
        EXPECT_EQ(Blocks(0, 4), factoryBoot) << "the boot loader's blocks are as they were";
    if (row.nkWritten) {
        EXPECT_TRUE(Verify(false).Ok()) << Verify(false).failure.value_or("");
    } else {
        EXPECT_EQ(Blocks(5, 5), factoryToc) << "the TOC on the flash is unchanged";
    }
    EXPECT_EQ(fs::exists(Update("R5nk_1.bin")), row.binKept);
}

const json kNoFlashdisk = {{"files", {{"mount_after_ms", {{"flashdisk", 10000}}}}}};

INSTANTIATE_TEST_SUITE_P(
    Table, UpdateFailure,
    testing::Values(
        FailureRow{"NoRoot",
                   kNoFlashdisk,
                   nullptr,
                   0,
                   {"OSUPDATE: No Image Files \r\n"},
                   false,
                   false,
                   true},
        FailureRow{"NoUpdateFolder",
                   json::object(),
                   RemoveEverything,
                   0,
                   {"ERROR(2)- Cannot find Image Path \r\n"},
                   false,
                   false,
                   false},
        FailureRow{"EbootUpdateNotAllowed",
                   {{"flash", {{"eboot_update", 0}}}},
                   nullptr,
                   1,
                   {"Is eboot update enabled? 0 \r\n", "Found OS NK Image! \r\n"},
                   false,
                   true,
                   false},
        FailureRow{"EbootUpdateRefused",
                   {{"flash", {{"faults", {{{"code", "IOCTL_FMD_GET_EBOOT_UPDATE"}}}}}}},
                   nullptr,
                   1,
                   {"[QuorShell]FMD DeviceIoControl IOCTL_FMD_GET_EBOOT_UPDATE fail \r\n",
                    "Found OS NK Image! \r\n"},
                   false,
                   true,
                   false},
        FailureRow{"CrcSideFileMissing",
                   json::object(),
                   RemoveCrc,
                   1,
                   {"CheckCRCFile: CreateFile "
                    "\\flashdisk\\K275D-Update\\R5boot_1.nb0.crc fail \r\n",
                    "Check CRC for Eboot Image File fail \r\n", "Found OS NK Image! \r\n"},
                   false,
                   true,
                   false},
        FailureRow{"WrongProduct",
                   json::object(),
                   WrongProduct,
                   0,
                   {"WriteEBootImage -- return 1 \r\n",
                    "OSUPDATE: CheckImageSignature Product Signature is not match. exp:K275D "
                    "real:K275X \r\n"},
                   true,
                   false,
                   true},
        FailureRow{"ChecksumWrong",
                   json::object(),
                   BreakFirstChecksum,
                   0,
                   {"**** ReadAndVerify fail \r\n", "OS NK Image upload fail!!!! \r\n"},
                   true,
                   false,
                   true},
        FailureRow{
            "NkWriteFails",
            {{"flash", {{"faults", {{{"op", "write"}, {"block", 8}}}}}}},
            nullptr,
            0,
            {"[QuorShell] WriteNK: NandWriteBlock fail \r\n", "Write NK Image fail !!!! \r\n"},
            true,
            false,
            true},
        FailureRow{"NoMemory",
                   {{"heap", {{"limit_bytes", 0x2000000}}}},
                   nullptr,
                   0,
                   {"[QuorShell]UpdateSystemImage: malloc fail \r\n"},
                   false,
                   false,
                   true}),
    [](const testing::TestParamInfo<FailureRow> &info) { return std::string(info.param.name); });

TEST_F(UpdateProcedure, NoRootCostsTwentyNineProbesAndNeverOpensTheFlash)
{
    MakeDevice(kNoFlashdisk);
    Place("1");
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(Log(), (Lines{kEntry, "OSUPDATE: No Image Files \r\n", Exit(0)}));
    size_t sleeps = 0, opens = 0;
    for (const auto &event : device_->Events().Events()) {
        sleeps += event["event"] == "sleep" && event["ms"] == 100;
        opens += event["event"] == "open";
    }
    EXPECT_EQ(sleeps, 29u);
    EXPECT_EQ(opens, 0u);
    EXPECT_EQ(device_->Clock().ElapsedMs(), 2900u);
}

TEST_F(UpdateProcedure, ATocTheReaderRefusesIsRebuiltAndWrittenWithTheNewImage)
{
    MakeDevice();
    {
        // Block 5 erased: no TOC at all.
        std::unique_ptr<sim::Device> device = sim::Device::Open(folder_);
        ce_host::Attach(*device);
        HANDLE disk =
            CreateFileW(u"DSK1:", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        DWORD on = 0xACEC, off = 0, block = 5, returned = 0;
        DeviceIoControl(disk, 0x72004, &on, 4, NULL, 0, &returned, NULL);
        DeviceIoControl(disk, 0x71FE4, &block, 4, NULL, 0, &returned, NULL);
        DeviceIoControl(disk, 0x72004, &off, 4, NULL, 0, &returned, NULL);
        CloseHandle(disk);
        ce_host::Detach();
    }
    Place("1", false);
    EXPECT_EQ(Run(), 1u);
    EXPECT_THAT(Log(), testing::Contains(
                           "[QuorShell]UpdateSystemImage: TOC_Read fail. So Initialize TOC \r\n"));
    devkit::VerifyReport report = Verify(false);
    EXPECT_TRUE(report.Ok()) << report.failure.value_or("");
    ExpectNothingLeft();
}

TEST_F(UpdateProcedure, OfTwoNkImagesOnlyTheChosenOneIsTouched)
{
    MakeDevice();
    devkit::BinImageLayout older = NkLayout();
    older.image.resize(0x30000);
    devkit::WriteBinImage(images_ / "older.bin", older);
    Place("240101", false, images_ / "older.bin");
    Place("240102", false);
    std::string olderBytes = Read(Update("R5nk_240101.bin"));
    EXPECT_EQ(Run(), 1u);
    EXPECT_THAT(Log(), testing::Contains(
                           "Update File Path : \\flashdisk\\K275D-Update\\R5nk_240102.bin \r\n"));
    EXPECT_FALSE(fs::exists(Update("R5nk_240102.bin")));
    EXPECT_EQ(Read(Update("R5nk_240101.bin")), olderBytes);
    EXPECT_TRUE(Verify(false).Ok());
}

}  // namespace
}  // namespace update_procedure_test
