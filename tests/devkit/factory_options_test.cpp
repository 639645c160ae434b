// A factory device whose TOC has lost its serial, and one whose BINFS partition has a chosen size:
// the options as the command line spells them, and what the device folder then holds.
#include <gtest/gtest.h>

#include "devkit/device_maker.h"
#include "sim/device.h"
#include "sim/flash_driver.h"
#include "tests/tools/tool_run.h"

namespace factory_options_test {
namespace {

namespace fs = std::filesystem;

struct SerialRow {
    const char *text;
    std::optional<devkit::SerialDigits> parsed;
};

class FactorySerial : public testing::TestWithParam<SerialRow> {};

TEST_P(FactorySerial, ParsesTenDigitsOrNone)
{
    EXPECT_EQ(devkit::ParseFactorySerial(GetParam().text), GetParam().parsed);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FactorySerial,
    testing::Values(SerialRow{"none", devkit::kNoSerial},
                    SerialRow{"0000000000", devkit::kNoSerial},
                    SerialRow{"0020240315", devkit::SerialDigits{0, 0, 2, 0, 2, 4, 0, 3, 1, 5}},
                    SerialRow{"None", std::nullopt}, SerialRow{"", std::nullopt},
                    SerialRow{"002024031", std::nullopt}, SerialRow{"00202403150", std::nullopt},
                    SerialRow{"00202403a5", std::nullopt}));

TEST(FactorySerial, TextOfTheSerial)
{
    EXPECT_EQ(devkit::FactorySerialText(devkit::kNoSerial), "none");
    EXPECT_EQ(devkit::FactorySerialText({9, 8, 7, 6, 5, 4, 3, 2, 1, 0}), "9876543210");
    EXPECT_EQ(devkit::FactorySerialText({0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), "0000000001");
}

struct SectorRow {
    const char *text;
    std::optional<uint64_t> parsed;
};

class SectorCountText : public testing::TestWithParam<SectorRow> {};

TEST_P(SectorCountText, ParsesTheWholeUnsignedRange)
{
    EXPECT_EQ(devkit::ParseSectorCount(GetParam().text), GetParam().parsed);
}

INSTANTIATE_TEST_SUITE_P(Table, SectorCountText,
                         testing::Values(SectorRow{"0", 0}, SectorRow{"21951", 21951},
                                         SectorRow{"4294967296", 4294967296ULL},
                                         SectorRow{"18446744073709551615", 18446744073709551615ULL},
                                         SectorRow{"0021952", 21952},
                                         SectorRow{"18446744073709551616", std::nullopt},
                                         SectorRow{"-1", std::nullopt}, SectorRow{"", std::nullopt},
                                         SectorRow{" 1", std::nullopt},
                                         SectorRow{"0x10", std::nullopt},
                                         SectorRow{"1.5", std::nullopt}));

class FactoryDevice : public testing::Test {
protected:
    devkit::TocRecord Toc(const fs::path &folder)
    {
        std::unique_ptr<sim::Device> device = sim::Device::Open(folder);
        auto sector = sim::DeviceFlash(*device).Flash().Sector(devkit::kTocSector);
        return devkit::DecodeToc(sector);
    }

    qs_test::TempFolder temp_;
};

// All sixteen serial bytes zero: the shell sees no serial; everything else as a fresh device.
TEST_F(FactoryDevice, WithoutSerialHasAnAllZeroSerialInAnAcceptedToc)
{
    fs::path folder = temp_.path() / "dev";
    devkit::CreatedDevice created = devkit::CreateDevice(folder, {.serial = devkit::kNoSerial});
    EXPECT_EQ(created.serial, devkit::kNoSerial);
    devkit::TocRecord toc = Toc(folder);
    EXPECT_EQ(toc.serialNumber, (std::array<uint8_t, 16>{}));
    EXPECT_FALSE(devkit::SerialPresent(toc));
    EXPECT_FALSE(devkit::TocRefusal(toc));
    EXPECT_EQ(toc.mac, devkit::kDefaultMac);

    fs::path other = temp_.path() / "other";
    devkit::CreateDevice(other, {});
    EXPECT_TRUE(devkit::SerialPresent(Toc(other)));
}

TEST_F(FactoryDevice, BinfsSectorsGoToTheFirstPartition)
{
    for (uint64_t sectors : {uint64_t{0}, uint64_t{21951}, uint64_t{18446744073709551615ULL}}) {
        SCOPED_TRACE(sectors);
        fs::path folder = temp_.path() / std::to_string(sectors);
        devkit::CreateDevice(folder, {.binfsSectors = sectors});
        nlohmann::json written =
            nlohmann::json::parse(qs_test::FileText(folder / "device.json"))["store"];
        EXPECT_EQ(written["partitions"],
                  nlohmann::json::array(
                      {{{"name", "Part00"}, {"file_system", "BINFS"}, {"sectors", sectors}}}));
        EXPECT_EQ(sim::Device::Open(folder)->Config().store.partitions.at(0).sectors, sectors);
    }
    fs::path folder = temp_.path() / "default";
    devkit::CreateDevice(folder, {});
    EXPECT_EQ(sim::Device::Open(folder)->Config().store.partitions.at(0).sectors, 21952u);
}

}  // namespace
}  // namespace factory_options_test
