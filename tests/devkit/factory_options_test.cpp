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

// The options as the command line spells them: ten digits or "none" for the serial (its text
// printed back), the whole unsigned range for a sector count.
TEST(FactoryOptions, ParsedOrRefused)
{
    for (auto [text, parsed] :
         std::initializer_list<std::pair<const char *, const char *>>{{"none", "none"},
                                                                      {"0000000000", "none"},
                                                                      {"0020240315", "0020240315"},
                                                                      {"9876543210", "9876543210"},
                                                                      {"0000000001", "0000000001"},
                                                                      {"None", nullptr},
                                                                      {"", nullptr},
                                                                      {"002024031", nullptr},
                                                                      {"00202403150", nullptr},
                                                                      {"00202403a5", nullptr}}) {
        std::optional<devkit::SerialDigits> serial = devkit::ParseFactorySerial(text);
        EXPECT_EQ(serial ? devkit::FactorySerialText(*serial) : "refused",
                  parsed ? parsed : "refused")
            << text;
    }
    EXPECT_EQ(devkit::ParseFactorySerial("0020240315"),
              (devkit::SerialDigits{0, 0, 2, 0, 2, 4, 0, 3, 1, 5}));
    for (auto [text, parsed] : std::initializer_list<std::pair<const char *, const char *>>{
             {"0", "0"},
             {"21951", "21951"},
             {"4294967296", "4294967296"},
             {"18446744073709551615", "18446744073709551615"},
             {"0021952", "21952"},
             {"18446744073709551616", nullptr},
             {"-1", nullptr},
             {"", nullptr},
             {" 1", nullptr},
             {"0x10", nullptr},
             {"1.5", nullptr}}) {
        std::optional<uint64_t> sectors = devkit::ParseSectorCount(text);
        EXPECT_EQ(sectors ? std::to_string(*sectors) : "refused", parsed ? parsed : "refused")
            << text;
    }
}

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
