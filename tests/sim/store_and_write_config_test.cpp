// device.json's store partitions over the whole 64-bit sector range, the flash disk's presence,
// and the write faults of the files section: read, written back, or refused in one line.
#include <gtest/gtest.h>

#include "sim/config.h"
#include "sim/device.h"
#include "sim/error.h"
#include "sim/flash_driver.h"
#include "tests/support/temp_device.h"

namespace store_and_write_config_test {
namespace {

using nlohmann::json;

std::string RefusalOf(const std::string &text)
{
    try {
        sim::DeviceConfig::Parse(text);
    } catch (const sim::DeviceError &e) {
        return e.what();
    }
    return {};
}

struct SectorRow {
    const char *name;
    const char *sectors;  // as written in device.json
    uint64_t read;
};

class SectorCount : public testing::TestWithParam<SectorRow> {};

// The number is read exactly and written back with the same digits.
TEST_P(SectorCount, IsReadAndWrittenBackExactly)
{
    std::string text = std::string(R"({"store": {"partitions": [{"name": "Part00", "sectors": )") +
                       GetParam().sectors + "}]}}";
    sim::DeviceConfig config = sim::DeviceConfig::Parse(text);
    ASSERT_EQ(config.store.partitions.size(), 1u);
    EXPECT_EQ(config.store.partitions[0].sectors, GetParam().read);
    std::string written = config.ToJson().dump();
    EXPECT_NE(written.find(std::string("\"sectors\":") + GetParam().sectors), std::string::npos)
        << written;
    EXPECT_EQ(sim::DeviceConfig::Parse(written).store.partitions[0].sectors, GetParam().read);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SectorCount,
    testing::Values(SectorRow{"Zero", "0", 0}, SectorRow{"TheMinimum", "21952", 21952},
                    SectorRow{"TwoToTheThirtySecond", "4294967296", 4294967296ULL},
                    SectorRow{"BeyondTheSignedRange", "9223372036854775808",
                              9223372036854775808ULL},
                    SectorRow{"TheLargest", "18446744073709551615", 18446744073709551615ULL}),
    [](const auto &info) { return std::string(info.param.name); });

struct RefusalRow {
    const char *name;
    const char *description;
    const char *refusal;
};

class Refused : public testing::TestWithParam<RefusalRow> {};

TEST_P(Refused, WithOneLineNamingTheKey)
{
    EXPECT_EQ(RefusalOf(GetParam().description), GetParam().refusal);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Refused,
    testing::Values(
        RefusalRow{"NegativeSectors", R"({"store": {"partitions": [{"sectors": -1}]}})",
                   "store.partitions[0].sectors: expected a whole number, 0 or more"},
        RefusalRow{"FractionalSectors", R"({"store": {"partitions": [{"sectors": 21951.5}]}})",
                   "store.partitions[0].sectors: expected a whole number, 0 or more"},
        RefusalRow{"SectorsAsText", R"({"store": {"partitions": [{"sectors": "21952"}]}})",
                   "store.partitions[0].sectors: expected a whole number, 0 or more"},
        RefusalRow{"OnePastTheLargest",
                   R"({"store": {"partitions": [{}, {"sectors": 18446744073709551616}]}})",
                   "store.partitions[1].sectors: out of range 0 to 18446744073709551615"},
        RefusalRow{"FarPastTheLargest", R"({"store": {"partitions": [{"sectors": 1e30}]}})",
                   "store.partitions[0].sectors: out of range 0 to 18446744073709551615"},
        RefusalRow{"NameTooLongForPartInfo",
                   R"({"store": {"partitions": [{"name": "0123456789abcdef0123456789abcdef"}]}})",
                   "store.partitions[0].name: at most 31 characters"},
        RefusalRow{
            "FileSystemTooLongForPartInfo",
            R"({"store": {"partitions": [{"file_system": "0123456789abcdef0123456789abcdef"}]}})",
            "store.partitions[0].file_system: at most 31 characters"},
        // Characters beyond the 16-bit plane take two of PARTINFO's characters each.
        RefusalRow{"NameOfWideCharacters",
                   R"({"store": {"partitions": [{"name": "0123456789abcdef0123456789abcd😀"}]}})",
                   "store.partitions[0].name: at most 31 characters"},
        RefusalRow{"UnknownPartitionKey", R"({"store": {"partitions": [{"size": 1}]}})",
                   "store.partitions[0].size: unknown key"},
        RefusalRow{"CloseFaultWithABlock",
                   R"({"store": {"faults": [{"op": "open"}, {"op": "close", "block": 1}]}})",
                   "store.faults[1]: a close fault cannot name a block"},
        RefusalRow{"FlashPresentAsText", R"({"flash": {"present": "no"}})",
                   "flash.present: expected true or false"},
        RefusalRow{"WriteFaultWithoutPath", R"({"files": {"fail_writes": [{"after_bytes": 6}]}})",
                   "files.fail_writes[0].path: missing"},
        RefusalRow{"WriteFaultWithEmptyPath",
                   R"({"files": {"fail_writes": [{"path": "", "after_bytes": 6}]}})",
                   "files.fail_writes[0].path: expected a device path"},
        RefusalRow{"WriteFaultWithoutLimit",
                   R"({"files": {"fail_writes": [{"path": "\\a", "after_bytes": 1},
                                                 {"path": "\\b"}]}})",
                   "files.fail_writes[1].after_bytes: missing"},
        RefusalRow{"WriteFaultWithNegativeLimit",
                   R"({"files": {"fail_writes": [{"path": "\\a", "after_bytes": -6}]}})",
                   "files.fail_writes[0].after_bytes: expected a whole number, 0 or more"},
        RefusalRow{"WriteFaultWithMisspeltKey",
                   R"({"files": {"fail_writes": [{"path": "\\a", "after_byte": 6}]}})",
                   "files.fail_writes[0].after_bytes: missing"},
        RefusalRow{"WriteFaultWithExtraKey",
                   R"({"files": {"fail_writes": [{"path": "\\a", "after_bytes": 6, "nth": 1}]}})",
                   "files.fail_writes[0].nth: unknown key"},
        RefusalRow{"WriteFaultsNotAList", R"({"files": {"fail_writes": {"path": "\\a"}}})",
                   "files.fail_writes: expected a list"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(DeviceDescription, NewKeysHaveTheirDefaultsAndRoundTrip)
{
    json defaults = sim::DeviceConfig::Parse("{}").ToJson();
    EXPECT_EQ(defaults["flash"]["present"], true);
    EXPECT_EQ(defaults["files"]["fail_writes"], json::array());

    json written = sim::DeviceConfig::Parse(R"({
        "flash": {"present": false},
        "files": {"fail_writes": [{"path": "\\NAND\\M7LITE_0020240315.sys", "after_bytes": 3},
                                  {"path": "flashdisk/BINFS_CHECK.log", "after_bytes": 0}]},
        "store": {"faults": [{"op": "close", "nth": 2}]}})")
                       .ToJson();
    EXPECT_EQ(written["flash"]["present"], false);
    EXPECT_EQ(written["files"]["fail_writes"],
              json::parse(R"([{"path": "\\NAND\\M7LITE_0020240315.sys", "after_bytes": 3},
                              {"path": "flashdisk/BINFS_CHECK.log", "after_bytes": 0}])"));
    EXPECT_EQ(written["store"]["faults"], json::parse(R"([{"op": "close", "nth": 2}])"));
    EXPECT_EQ(sim::DeviceConfig::FromJson(written).ToJson(), written);
}

// An absent flash disk cannot be opened, and each try is journaled; its driver and flash stay
// reachable for what reads the device from outside.
TEST(AbsentFlash, NoOpenFindsItButItsFlashStaysReadable)
{
    qs_test::TempDevice device(json{{"flash", {{"present", false}}}});
    EXPECT_EQ(device.device().FindDriver("DSK1:"), nullptr);
    EXPECT_EQ(device.device().FindDriver("dsk1:"), nullptr);
    EXPECT_NE(device.device().FindDriver("PWR1:"), nullptr) << "other drivers are there";
    std::vector<nlohmann::ordered_json> faults = device.EventsOf("fault");
    ASSERT_EQ(faults.size(), 2u);
    EXPECT_EQ(faults[0]["device"], "DSK1:");
    EXPECT_EQ(faults[0]["what"], "absent: device.json marks it not present");
    EXPECT_NE(device.device().InstalledDriver("DSK1:"), nullptr);
    EXPECT_EQ(sim::DeviceFlash(device.device()).Flash().Sector(0)[0], 0xFF);
    EXPECT_EQ(device.EventsOf("fault").size(), 2u) << "reading from outside is no open";
}

TEST(AbsentFlash, PresentFlashIsFoundWithoutAFault)
{
    qs_test::TempDevice device(json{{"flash", {{"present", true}}}});
    EXPECT_NE(device.device().FindDriver("DSK1:"), nullptr);
    EXPECT_TRUE(device.EventsOf("fault").empty());
}

}  // namespace
}  // namespace store_and_write_config_test
