// The device folder as a whole: state.json read strictly, and one boot or command at a time.
#include <gtest/gtest.h>

#include <fstream>

#include "sim/device.h"
#include "sim/device_lock.h"
#include "sim/error.h"
#include "tests/support/temp_device.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A device folder whose state.json holds the text given.
class StateFile : public testing::Test {
protected:
    void WriteState(const std::string &text)
    {
        device_.Reload();  // state.json exists and holds what the drivers saved
        std::ofstream(device_.folder() / "state.json", std::ios::trunc) << text;
    }

    std::string OpenError()
    {
        try {
            sim::Device::Open(device_.folder());
        } catch (const sim::DeviceError &e) {
            return e.what();
        }
        return "";
    }

    qs_test::TempDevice device_;
};

struct StateRefusal {
    const char *text;
    const char *message;  // what follows "state.json: " in the one-line reason
};

class StateRefused : public StateFile, public testing::WithParamInterface<StateRefusal> {};

TEST_P(StateRefused, NamesTheFileAndKeyAndKeepsTheFile)
{
    WriteState(GetParam().text);
    std::string error = OpenError();
    EXPECT_EQ(error, (device_.folder() / "state.json").string() + ": " + GetParam().message);
    EXPECT_EQ(error.find('\n'), std::string::npos);
    // Nothing was replaced: the file still holds what was written.
    std::ifstream in(device_.folder() / "state.json");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StateRefused,
    testing::Values(
        StateRefusal{R"({"power": {"update_mode": "on"}})",
                     "power.update_mode: expected a whole number"},
        StateRefusal{R"({"power": {"update_mode": -1}})",
                     "power.update_mode: out of range 0 to "
                     "4294967295"},
        StateRefusal{R"({"power": {"restart_requests": 1.5}})",
                     "power.restart_requests: expected a whole number"},
        StateRefusal{R"({"power": {"update_mod": 0}})", "power.update_mod: unknown key"},
        StateRefusal{R"({"peripheral": []})", "peripheral: expected an object"},
        StateRefusal{R"({"peripheral": {"power_control": 4294967296}})",
                     "peripheral.power_control: out of range 0 to 4294967295"},
        StateRefusal{R"({"files": {"attributes": {"\\a.txt": 16}}})",
                     "files.attributes.\\a.txt: not a value this record holds"},
        StateRefusal{R"({"files": {"attributes": []}})",
                     "files.attributes: expected an object keyed by device path"},
        StateRefusal{R"({"files": {"created": {"\\a.txt": 0}}})",
                     "files.created.\\a.txt: not a value this record holds"},
        StateRefusal{R"({"files": {"next_created": "2"}})",
                     "files.next_created: expected a whole number, 0 or more"},
        StateRefusal{R"({"flash": {"nk_flag": 1}})", "flash.nk_flag: expected true or false"},
        StateRefusal{R"({"braille": {}})", "braille: unknown key"},
        StateRefusal{"{\n  \"power\": {\n    \"update_mode\": 0,\n  }\n}",
                     "not valid JSON at line 4"},
        StateRefusal{"[]", "expected an object"}));

TEST_F(StateFile, KeepsWhatTheDriversSavedAndDropsTheFlagsOfOlderFolders)
{
    WriteState(R"({"power": {"update_mode": 2901208236, "app_execute_flag": 44268,
                              "restart_requests": 3},
                   "peripheral": {"power_control": 1, "reset_control": 0},
                   "files": {"attributes": {"\\a.txt": 33}, "created": {"\\a.txt": 1},
                             "next_created": 2},
                   "flash": {"eboot_flag": false, "toc_flag": true, "nk_flag": false}})");
    std::unique_ptr<sim::Device> device = sim::Device::Open(device_.folder());
    device->Save();
    json saved = json::parse(std::ifstream(device_.folder() / "state.json"));
    EXPECT_EQ(saved["power"]["update_mode"], 0xACECECACu);
    EXPECT_EQ(saved["power"]["restart_requests"], 3);
    EXPECT_EQ(saved["peripheral"]["power_control"], 1);
    EXPECT_EQ(saved["files"]["attributes"]["\\a.txt"], 33);
    EXPECT_FALSE(saved.contains("flash")) << saved.dump();
}

TEST(DeviceLock, OneHolderAtATime)
{
    qs_test::TempDevice device;
    std::string busy =
        device.folder().string() + ": the device is in use by another boot or command";
    {
        sim::DeviceLock first(device.folder());
        try {
            sim::DeviceLock second(device.folder());
            FAIL() << "a second lock was taken";
        } catch (const sim::DeviceError &e) {
            EXPECT_EQ(e.what(), busy);
        }
    }
    // Released with its holder.
    EXPECT_NO_THROW(sim::DeviceLock again(device.folder()));
    try {
        sim::DeviceLock missing(device.folder() / "nowhere");
        FAIL() << "a missing folder was locked";
    } catch (const sim::DeviceError &e) {
        EXPECT_EQ(e.what(), (device.folder() / "nowhere").string() + ": no such device folder");
    }
}

}  // namespace
