// The device folder: device.json and state.json read strictly, written back whole, refused in one
// line that names the file and the key; the flash disk's presence.
#include <gtest/gtest.h>

#include <fstream>

#include "sim/config.h"
#include "sim/device.h"
#include "sim/error.h"
#include "sim/flash_driver.h"
#include "tests/support/expect.h"
#include "tests/support/temp_device.h"

namespace {

using nlohmann::json;
using sim::DeviceConfig;

// Each line of the golden file: the file, the text given it (a line break written \n), and its
// answer: "opens", or the one-line reason less the folder's path. A refused file is kept as it is.
TEST(DeviceFolder, RefusesWhatCouldNeverBeMeantInOneLineNamingTheKey)
{
    const std::string name = "sim_device_folder_refusals", arrow = " -> ";
    qs_test::TempDevice device;
    const std::string folder = device.folder().string() + "/";
    qs_test::Lines answers;
    for (std::string line : qs_test::GoldenLog(name)) {
        line.resize(line.find(arrow));
        std::string file = line.substr(0, line.find(' ')), text = line.substr(file.size() + 1);
        for (size_t at; (at = text.find("\\n")) != std::string::npos;)
            text.replace(at, 2, "\n");
        std::filesystem::remove(folder + "state.json");
        std::ofstream(folder + "device.json") << (file == "state.json" ? "{}" : text);
        std::ofstream(folder + file) << text;
        std::string reason = "opens";
        try {
            sim::Device::Open(folder);
        } catch (const sim::DeviceError &e) {
            reason = e.what();
        }
        EXPECT_EQ(reason.find('\n'), std::string::npos) << reason;
        EXPECT_EQ(sim::ReadWholeFile(folder + file), text);
        if (reason.rfind(folder, 0) == 0)
            reason.erase(0, folder.size());
        answers.push_back(line + arrow + reason + "\r\n");
    }
    EXPECT_GT(answers.size(), 90u);
    qs_test::ExpectGoldenLog(answers, name);
}

// Every key written back as read; the defaults in full (as the golden file gives them); a null
// heap limit lifts it.
TEST(DeviceFolder, DescriptionRoundTripsAndHasItsDefaults)
{
    const json full = json::parse(R"({
        "clock": {"utc": "2027-01-31T23:59:59Z", "local_offset_minutes": 90},
        "files": {"find_order": "created", "dot_entries": false, "locked": ["\\a.txt"],
                  "mount_after_ms": {"flashdisk": 250, "NAND": 0, "windows": 4294967295},
                  "corrupt_copies": [{"path": "\\NAND\\a.dll", "copies": 2, "offset": 10}],
                  "fail_copies": [{"path": "b.dat", "after_bytes": 70000}],
                  "fail_writes": [{"path": "\\NAND\\M7LITE_0020240315.sys", "after_bytes": 3},
                                  {"path": "flashdisk/BINFS_CHECK.log", "after_bytes": 0}]},
        "heap": {"limit_bytes": 4096},
        "flash": {"present": false, "blocks": 9, "bad": [2, 8], "eboot_update": 7, "protect": false,
                  "faults": [{"op": "read", "block": 1, "sector": 64, "nth": 2},
                             {"code": "IOCTL_FMD_ERASE_BLOCK"},
                             {"op": "corrupt", "sector": 3, "offset": 2050}],
                  "timing": {"page_read_us": 25, "page_program_us": 4294967295,
                             "block_erase_us": 2000}},
        "power": {"present": false, "boot_key": 16, "serial": -5,
                  "faults": [{"code": "SET_OS_UPDATE_MODE", "nth": 2}]},
        "peripheral": {"present": false, "faults": [{"code": 20044}]},
        "braille": {"present": false, "faults": [{"code": "BRL_IOCTL_WRITE_LINE", "nth": 2}]},
        "store": {"present": false, "faults": [{"op": "close", "nth": 2}],
                  "partitions": [{"name": "0123456789abcdef0123456789abc😀", "file_system": "",
                                  "sectors": 0},
                                 {"name": "P", "file_system": "FAT", "sectors": 4294967296},
                                 {"name": "Q", "file_system": "", "sectors": 9223372036854775808},
                                 {"name": "R", "file_system": "", "sectors": 18446744073709551615}]},
        "programs": {"fail": ["\\windows\\K290DFunctionTest.exe"]}})");
    EXPECT_EQ(DeviceConfig::FromJson(full).ToJson(), full);

    std::string defaults = DeviceConfig::Parse(R"({"heap": {}})").ToJson().dump(2) + "\n";
    qs_test::Lines lines;
    for (size_t at = 0, end; (end = defaults.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(defaults.substr(at, end - at) + "\r\n");
    qs_test::ExpectGoldenLog(lines, "sim_device_defaults");
    json unlimited = DeviceConfig::Parse(R"({"heap": {"limit_bytes": null}})").ToJson();
    EXPECT_EQ(unlimited["heap"], json::parse(R"({"limit_bytes": null})"));
    EXPECT_EQ(DeviceConfig::FromJson(unlimited).ToJson(), unlimited);
}

TEST(DeviceFolder, StateKeepsWhatTheDriversSavedAndDropsTheFlagsOfOlderFolders)
{
    qs_test::TempDevice device;
    json state = json::parse(R"({
        "power": {"update_mode": 2901208236, "app_execute_flag": 44268, "restart_requests": 3},
        "peripheral": {"power_control": 1, "reset_control": 0},
        "files": {"attributes": {"\\a.txt": 33}, "created": {"\\a.txt": 1}, "next_created": 2},
        "flash": {"eboot_flag": false, "toc_flag": true, "nk_flag": false}})");
    std::ofstream(device.folder() / "state.json") << state;
    sim::Device::Open(device.folder())->Save();
    state.erase("flash");
    EXPECT_EQ(json::parse(sim::ReadWholeFile(device.folder() / "state.json")), state);
}

// An absent flash disk cannot be opened, and each try is journaled; its driver and flash stay
// reachable for what reads the device from outside.
TEST(DeviceFolder, AbsentFlashDiskIsNotFoundButItsFlashStaysReadable)
{
    for (bool present : {true, false}) {
        qs_test::TempDevice device(json{{"flash", {{"present", present}}}});
        EXPECT_EQ(device.device().FindDriver("DSK1:") != nullptr, present);
        EXPECT_EQ(device.device().FindDriver("dsk1:") != nullptr, present);
        EXPECT_NE(device.device().FindDriver("PWR1:"), nullptr) << "other drivers are there";
        EXPECT_EQ(sim::DeviceFlash(device.device()).Flash().Sector(0)[0], 0xFF);
        std::vector<nlohmann::ordered_json> faults = device.EventsOf("fault");
        ASSERT_EQ(faults.size(), present ? 0u : 2u) << "reading from outside is no open";
        for (const auto &fault : faults) {
            EXPECT_EQ(fault["device"], "DSK1:");
            EXPECT_EQ(fault["what"], "absent: device.json marks it not present");
        }
    }
}

}  // namespace
