#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "devkit/device_maker.h"
#include "platform/host/host.h"
#include "platform/host/internal.h"
#include "sim/device.h"
#include "tests/tools/tool_run.h"

namespace {

namespace fs = std::filesystem;
using qs_test::FileText;

uint32_t LittleEndianAt(const std::string &bytes, size_t offset, int size)
{
    uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | uint8_t(bytes[offset + size_t(i)]);
    return value;
}

class FreshDeviceTest : public ::testing::Test {
protected:
    void SetUp() override { created_ = devkit::CreateDevice(folder_, {}); }

    qs_test::TempFolder temp_;
    fs::path folder_ = temp_.path() / "device";
    devkit::CreatedDevice created_;
};

TEST_F(FreshDeviceTest, CuesAreCanonicalPcmWavesThatPlayForTheirLength)
{
    std::unique_ptr<sim::Device> device = sim::Device::Open(folder_);
    ce_host::Attach(*device);
    for (const devkit::FactoryCue &cue : devkit::FactoryCues()) {
        SCOPED_TRACE(cue.fileName);
        std::string wave = FileText(folder_ / "root" / "windows" / cue.fileName);
        ASSERT_GE(wave.size(), 44u);
        EXPECT_EQ(wave.substr(0, 4), "RIFF");
        EXPECT_EQ(LittleEndianAt(wave, 4, 4), wave.size() - 8);
        EXPECT_EQ(wave.substr(8, 8), "WAVEfmt ");
        EXPECT_EQ(LittleEndianAt(wave, 20, 2), 1u) << "PCM";
        EXPECT_EQ(LittleEndianAt(wave, 22, 2), 1u) << "mono";
        EXPECT_EQ(LittleEndianAt(wave, 24, 4), 8000u);
        EXPECT_EQ(LittleEndianAt(wave, 34, 2), 8u) << "bits a sample";
        EXPECT_EQ(wave.substr(36, 4), "data");
        EXPECT_EQ(LittleEndianAt(wave, 40, 4), cue.durationMs * 8);

        uint64_t before = device->Clock().ElapsedMs();
        std::u16string path = ce_host::FromUtf8(std::string("\\windows\\") + cue.fileName);
        EXPECT_TRUE(PlaySoundW(path.c_str(), nullptr, 0));
        EXPECT_EQ(device->Clock().ElapsedMs() - before, cue.durationMs);
    }
    ce_host::Detach();
}

TEST_F(FreshDeviceTest, HoldsTheFactoryFilesAndNothingBesideIt)
{
    EXPECT_TRUE(fs::is_directory(folder_ / "root" / "flashdisk"));
    EXPECT_TRUE(fs::is_empty(folder_ / "root" / "flashdisk"));
    EXPECT_TRUE(fs::is_regular_file(folder_ / "root" / "NAND" / "APPS" / "LumTask.exe"));
    EXPECT_TRUE(fs::is_regular_file(folder_ / "root" / "windows" / "K290DFunctionTest.exe"));
    EXPECT_TRUE(fs::is_regular_file(folder_ / "nand.bin"));
    EXPECT_EQ(created_.entries.size(), 5 + devkit::FactoryCues().size());
    for (const std::string &entry : created_.entries)
        EXPECT_TRUE(fs::exists(folder_ / entry)) << entry;
    // The description written is the defaults with the flash part's typical timing, and a boot
    // reads it back unchanged.
    nlohmann::json written = nlohmann::json::parse(FileText(folder_ / "device.json"));
    sim::DeviceConfig expected;
    expected.flash.timing = devkit::kTypicalFlashTiming;
    EXPECT_EQ(written, expected.ToJson());
    EXPECT_EQ(
        written["flash"]["timing"],
        nlohmann::json({{"page_read_us", 25}, {"page_program_us", 200}, {"block_erase_us", 1500}}));
    // No staging folder is left beside the device.
    EXPECT_EQ(std::distance(fs::directory_iterator(temp_.path()), fs::directory_iterator()), 1);
}

}  // namespace
