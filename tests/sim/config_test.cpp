#include <gtest/gtest.h>

#include "sim/config.h"
#include "sim/error.h"

namespace {

using nlohmann::json;

// The defaults that a device.json without keys stands for.
TEST(DeviceConfig, EmptyDescriptionGivesTheDefaults)
{
    json defaults = sim::DeviceConfig::Parse("{}").ToJson();
    EXPECT_EQ(defaults["clock"]["utc"], "2026-12-05T08:30:00Z");
    EXPECT_EQ(defaults["clock"]["local_offset_minutes"], 0);
    EXPECT_EQ(defaults["files"]["find_order"], "name");
    EXPECT_EQ(defaults["files"]["dot_entries"], true);
    EXPECT_EQ(defaults["files"]["mount_after_ms"], json::object());
    EXPECT_EQ(defaults["heap"]["limit_bytes"], 67108864);  // a device-sized RAM
    EXPECT_EQ(defaults["flash"]["blocks"], 512);
    EXPECT_EQ(defaults["flash"]["eboot_update"], 1);
    EXPECT_EQ(defaults["flash"]["protect"], true);
    EXPECT_EQ(defaults["power"]["present"], true);
    EXPECT_EQ(defaults["power"]["boot_key"], 0);
    EXPECT_EQ(defaults["power"]["serial"], 20240315);
    EXPECT_EQ(defaults["store"]["partitions"],
              json::parse(R"([{"name":"Part00","file_system":"BINFS","sectors":21952}])"));
    EXPECT_EQ(defaults["programs"]["fail"], json::array());
}

TEST(DeviceConfig, WrittenValuesRoundTrip)
{
    const char *text = R"({
        "clock": { "utc": "2027-01-31T23:59:59Z", "local_offset_minutes": 90 },
        "files": { "find_order": "created", "dot_entries": false, "locked": ["\\a.txt"],
                   "mount_after_ms": { "flashdisk": 250, "NAND": 0, "windows": 4294967295 },
                   "corrupt_copies": [ { "path": "\\NAND\\a.dll", "copies": 2, "offset": 10 } ],
                   "fail_copies": [ { "path": "b.dat", "after_bytes": 70000 } ] },
        "heap": { "limit_bytes": 4096 },
        "power": { "boot_key": 16, "serial": -5, "faults": [ { "code": "SET_OS_UPDATE_MODE", "nth": 2 } ] },
        "store": { "partitions": [] }
    })";
    json config = sim::DeviceConfig::Parse(text).ToJson();
    EXPECT_EQ(config["clock"]["local_offset_minutes"], 90);
    EXPECT_EQ(config["files"]["find_order"], "created");
    EXPECT_EQ(config["files"]["mount_after_ms"],
              json::parse(R"({"flashdisk": 250, "NAND": 0, "windows": 4294967295})"));
    EXPECT_EQ(config["files"]["corrupt_copies"],
              json::parse(R"([{"path": "\\NAND\\a.dll", "copies": 2, "offset": 10}])"));
    EXPECT_EQ(config["files"]["fail_copies"],
              json::parse(R"([{"path": "b.dat", "after_bytes": 70000}])"));
    EXPECT_EQ(config["heap"]["limit_bytes"], 4096);
    EXPECT_EQ(config["power"]["serial"], -5);
    EXPECT_EQ(config["power"]["faults"][0],
              json::parse(R"({"code":"SET_OS_UPDATE_MODE","nth":2})"));
    EXPECT_EQ(config["store"]["partitions"], json::array());
    // Parsing its own output gives the same description again.
    EXPECT_EQ(sim::DeviceConfig::FromJson(config).ToJson(), config);
}

// Absent keeps the device-sized default; null lifts the limit, and is written back as null.
TEST(DeviceConfig, HeapLimitAbsentOrNull)
{
    EXPECT_EQ(sim::DeviceConfig::Parse("{}").heap.limitBytes, uint64_t{67108864});
    EXPECT_EQ(sim::DeviceConfig::Parse(R"({"heap": {}})").heap.limitBytes, uint64_t{67108864});
    sim::DeviceConfig unlimited = sim::DeviceConfig::Parse(R"({"heap": {"limit_bytes": null}})");
    EXPECT_FALSE(unlimited.heap.limitBytes.has_value());
    json config = unlimited.ToJson();
    EXPECT_TRUE(config["heap"].contains("limit_bytes"));
    EXPECT_TRUE(config["heap"]["limit_bytes"].is_null());
    EXPECT_EQ(sim::DeviceConfig::FromJson(config).ToJson(), config);
}

struct Refusal {
    const char *text;
    const char *message;  // a part of the one-line reason
};

class DeviceConfigRefusal : public testing::TestWithParam<Refusal> {};

TEST_P(DeviceConfigRefusal, NamesWhatIsWrong)
{
    try {
        sim::DeviceConfig::Parse(GetParam().text);
        FAIL() << "accepted " << GetParam().text;
    } catch (const sim::DeviceError &e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeviceConfigRefusal,
    testing::Values(
        Refusal{R"({"flahs": {}})", "flahs: unknown key"},
        Refusal{R"({"power": {"faults": [{"code": 1045, "nht": 2}]}})",
                "power.faults[0].nht: unknown key"},
        Refusal{R"({"power": {"faults": [{"nth": 2}]}})", "names a \"code\" or an \"op\""},
        Refusal{R"({"braille": {"faults": [{"op": "write"}]}})",
                "braille.faults[0]: unknown op \"write\" (braille faults name a control code)"},
        Refusal{R"({"power": {"boot_key": "16"}})", "power.boot_key: expected a whole number"},
        Refusal{R"({"power": {"boot_key": 256}})", "power.boot_key: out of range"},
        Refusal{R"({"files": {"find_order": "size"}})", "files.find_order: expected"},
        Refusal{R"({"files": {"appear_after": {"flashdisk": 3}}})", "appear_after: unknown key"},
        Refusal{R"({"files": {"mount_after_ms": {"flashdisk": -1}}})",
                "files.mount_after_ms.flashdisk: expected milliseconds"},
        Refusal{R"({"files": {"mount_after_ms": {"flashdisk": 4294967296}}})",
                "files.mount_after_ms.flashdisk: expected milliseconds"},
        Refusal{R"({"files": {"mount_after_ms": {"flashdisk": 2.5}}})",
                "files.mount_after_ms.flashdisk: expected milliseconds"},
        Refusal{R"({"files": {"mount_after_ms": {"flashdisk": "250"}}})",
                "files.mount_after_ms.flashdisk: expected milliseconds"},
        Refusal{R"({"files": {"mount_after_ms": [250]}})", "files.mount_after_ms: expected"},
        Refusal{R"({"files": {"corrupt_copies": {"path": "\\a.dll"}}})",
                "files.corrupt_copies: expected a list"},
        Refusal{R"({"files": {"corrupt_copies": ["\\a.dll"]}})",
                "files.corrupt_copies[0]: expected an object"},
        Refusal{R"({"files": {"corrupt_copies": [{"copies": 1, "offset": 0}]}})",
                "files.corrupt_copies[0].path: missing"},
        Refusal{R"({"files": {"corrupt_copies": [{"path": "", "copies": 1, "offset": 0}]}})",
                "files.corrupt_copies[0].path: expected a device path"},
        Refusal{R"({"files": {"corrupt_copies": [{"path": 7, "copies": 1, "offset": 0}]}})",
                "files.corrupt_copies[0].path: expected a device path"},
        Refusal{R"({"files": {"corrupt_copies": [{"path": "\\a", "offset": 0}]}})",
                "files.corrupt_copies[0].copies: missing"},
        Refusal{R"({"files": {"corrupt_copies": [{"path": "\\a", "copies": 0, "offset": 0}]}})",
                "files.corrupt_copies[0].copies: expected 1 or more"},
        Refusal{R"({"files": {"corrupt_copies": [{"path": "\\a", "copies": 1}]}})",
                "files.corrupt_copies[0].offset: missing"},
        Refusal{R"({"files": {"corrupt_copies": [{"path": "\\a", "copies": 1, "offset": -1}]}})",
                "files.corrupt_copies[0].offset: expected a whole number"},
        Refusal{R"({"files": {"corrupt_copies": [{"path": "\\a", "copies": 1, "offset": 0,
                                                  "nth": 2}]}})",
                "files.corrupt_copies[0].nth: unknown key"},
        Refusal{R"({"files": {"fail_copies": [{"path": "\\b"}]}})",
                "files.fail_copies[0].after_bytes: missing"},
        Refusal{R"({"files": {"fail_copies": [{"path": "\\b", "after_bytes": "1"}]}})",
                "files.fail_copies[0].after_bytes: expected a whole number"},
        Refusal{R"({"files": {"fail_copies": [{"after_bytes": 1}]}})",
                "files.fail_copies[0].path: missing"},
        Refusal{R"({"files": {"fail_copies": [{"path": "\\b", "after_bytes": 1, "copies": 1}]}})",
                "files.fail_copies[0].copies: unknown key"},
        Refusal{R"({"heap": {"limit_bytes": -1}})", "heap.limit_bytes"},
        Refusal{R"({"flash": {"bad": [7, -1]}})", "flash.bad: expected a list of numbers"},
        Refusal{R"({"clock": {"utc": "2026-02-30T00:00:00Z"}})", "clock.utc"},
        Refusal{"{\n  \"power\": {\n    \"present\": tru\n  }\n}", "not valid JSON at line 3"},
        Refusal{"[1, 2]", "expected an object"}));

}  // namespace
