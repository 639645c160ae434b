// Driver handles, control codes, faults and the journal, through the calls the shell makes.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/ce.h"
#include "platform/host/host.h"
#include "sim/error.h"
#include "sim/power_controller.h"
#include "tests/support/temp_device.h"
#include "tests/support/test_driver.h"

namespace {

using nlohmann::json;
using qs_test::TestDriver;

class Devices : public testing::Test {
protected:
    // Adds the test driver with the faults given, as device.json would list them.
    TestDriver &AddDriver(const json &faults = json::array())
    {
        std::vector<sim::FaultSpec> parsed;
        for (const json &fault : faults)
            parsed.push_back(sim::FaultSpec::FromJson(fault, "test.faults"));
        auto driver = std::make_unique<TestDriver>(parsed);
        TestDriver &added = *driver;
        device_.device().AddDriver(std::move(driver));
        return added;
    }

    HANDLE Open(const char16_t *name)
    {
        return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    }

    BOOL SendWord(HANDLE h, DWORD code, DWORD word)
    {
        return DeviceIoControl(h, code, &word, sizeof(word), NULL, 0, NULL, NULL);
    }

    qs_test::TempDevice device_;
};

TEST_F(Devices, UnknownDriverFailsToOpenWithFileNotFound)
{
    AddDriver();
    EXPECT_EQ(Open(u"XYZ9:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(device_.EventsOf("open").empty());
}

TEST_F(Devices, OpenEventCarriesTheParametersOfEachOpen)
{
    AddDriver();
    const DWORD opens[][4] = {
        {GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0},
        {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS, 0x80}};
    for (const DWORD *open : opens)
        CloseHandle(CreateFileW(u"TST1:", open[0], open[1], NULL, open[2], open[3], NULL));
    auto events = device_.EventsOf("open");
    ASSERT_EQ(events.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        json fields = events[i];
        for (const char *stamp : {"seq", "t", "event"})
            fields.erase(stamp);
        EXPECT_EQ(fields, (json{{"device", "TST1:"},
                                {"access", opens[i][0]},
                                {"share", opens[i][1]},
                                {"disposition", opens[i][2]},
                                {"flags", opens[i][3]}}));
    }
}

TEST(DeviceRegistry, DriverMarkedAbsentCannotBeOpened)
{
    qs_test::TempDevice device(json{{"power", {{"present", false}}}});
    EXPECT_EQ(CreateFileW(u"PWR1:", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    HANDLE h = CreateFileW(u"QKP1:", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

TEST_F(Devices, ControlCodePassesBuffersAndIsJournaledInOrder)
{
    AddDriver();
    HANDLE h = Open(u"tst1:");  // names are matched without regard to case
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    BYTE in[3] = {0x01, 0xAB, 0xFF};
    BYTE out[4] = {0, 0, 0, 0};
    DWORD returned = 99;
    ASSERT_TRUE(DeviceIoControl(h, TestDriver::kEcho, in, 3, out, 4, &returned, NULL));
    EXPECT_EQ(returned, 3u);
    EXPECT_EQ(out[1], 0xAB);
    EXPECT_FALSE(DeviceIoControl(h, 77, NULL, 0, NULL, 0, &returned, NULL));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(CloseHandle(h));

    std::vector<json> kinds;
    for (const auto &event : device_.device().Events().Events())
        kinds.push_back(event["event"]);
    EXPECT_EQ(kinds, (std::vector<json>{"open", "ioctl", "ioctl", "close"}));
    auto ioctls = device_.EventsOf("ioctl");
    EXPECT_EQ(ioctls[0]["device"], "TST1:");
    EXPECT_EQ(ioctls[0]["code"], 1);
    EXPECT_EQ(ioctls[0]["name"], "ECHO");
    EXPECT_EQ(ioctls[0]["in"], "01abff");
    EXPECT_EQ(ioctls[0]["out"], "01abff00");
    EXPECT_EQ(ioctls[0]["ok"], true);
    EXPECT_EQ(ioctls[1]["name"], "");
    EXPECT_EQ(ioctls[1]["ok"], false);
    // seq counts from 1 without gaps.
    for (size_t i = 0; i < device_.device().Events().Events().size(); ++i)
        EXPECT_EQ(device_.device().Events().Events()[i]["seq"], i + 1);
}

TEST_F(Devices, ConsecutiveSectorTransfersMergeIntoOneEvent)
{
    AddDriver();
    HANDLE h = Open(u"TST1:");
    ASSERT_TRUE(SendWord(h, TestDriver::kSetSector, 64));
    for (int i = 0; i < 64; ++i)
        ASSERT_TRUE(DeviceIoControl(h, TestDriver::kReadSector, NULL, 0, NULL, 0, NULL, NULL));
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(DeviceIoControl(h, TestDriver::kWriteSector, NULL, 0, NULL, 0, NULL, NULL));
    ASSERT_TRUE(SendWord(h, TestDriver::kSetSector, 500));
    ASSERT_TRUE(DeviceIoControl(h, TestDriver::kReadSector, NULL, 0, NULL, 0, NULL, NULL));
    CloseHandle(h);

    auto ioctls = device_.EventsOf("ioctl");
    ASSERT_EQ(ioctls.size(), 5u);
    EXPECT_EQ(ioctls[1]["name"], "READ_SECTOR");
    EXPECT_EQ(ioctls[1]["first"], 64);
    EXPECT_EQ(ioctls[1]["count"], 64);
    EXPECT_FALSE(ioctls[1].contains("in"));  // merged transfers carry no sector data
    EXPECT_EQ(ioctls[2]["name"], "WRITE_SECTOR");
    EXPECT_EQ(ioctls[2]["first"], 128);
    EXPECT_EQ(ioctls[2]["count"], 2);
    EXPECT_EQ(ioctls[4]["first"], 500);
    EXPECT_EQ(ioctls[4]["count"], 1);
}

TEST_F(Devices, FailedTransferBreaksTheRun)
{
    AddDriver(json::parse(R"([{"op": "read", "sector": 2}])"));
    HANDLE h = Open(u"TST1:");
    SendWord(h, TestDriver::kSetSector, 0);
    std::vector<BOOL> results;
    for (int i = 0; i < 3; ++i)
        results.push_back(
            DeviceIoControl(h, TestDriver::kReadSector, NULL, 0, NULL, 0, NULL, NULL));
    CloseHandle(h);
    EXPECT_EQ(results, (std::vector<BOOL>{TRUE, TRUE, FALSE}));
    auto ioctls = device_.EventsOf("ioctl");
    ASSERT_EQ(ioctls.size(), 3u);
    EXPECT_EQ(ioctls[1]["count"], 2);
    EXPECT_EQ(ioctls[2]["first"], 2);
    EXPECT_EQ(ioctls[2]["ok"], false);
}

struct FaultCase {
    const char *faults;
    std::vector<BOOL> results;  // of four SET_WORD calls in a row
};

class DeviceFaults : public Devices, public testing::WithParamInterface<FaultCase> {};

TEST_P(DeviceFaults, FailTheMatchingCalls)
{
    AddDriver(json::parse(GetParam().faults));
    HANDLE h = Open(u"TST1:");
    std::vector<BOOL> results;
    for (DWORD i = 0; i < 4; ++i) {
        results.push_back(SendWord(h, TestDriver::kSetWord, i));
        if (!results.back()) {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_GEN_FAILURE));
        }
    }
    CloseHandle(h);
    EXPECT_EQ(results, GetParam().results);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeviceFaults,
    testing::Values(FaultCase{"[]", {TRUE, TRUE, TRUE, TRUE}},
                    FaultCase{R"([{"code": 5}])", {FALSE, FALSE, FALSE, FALSE}},
                    FaultCase{R"([{"code": "SET_WORD", "nth": 2}])", {TRUE, FALSE, TRUE, TRUE}},
                    FaultCase{R"([{"code": 5, "nth": 1}, {"code": 5, "nth": 4}])",
                              {FALSE, TRUE, TRUE, FALSE}},
                    FaultCase{R"([{"code": "ECHO"}])", {TRUE, TRUE, TRUE, TRUE}}));

TEST_F(Devices, UnknownCodeNameInAFaultIsRefused)
{
    EXPECT_THROW(AddDriver(json::parse(R"([{"code": "SET_WROD"}])")), sim::DeviceError);
}

// What a driver remembers goes through state.json, which only the device's own drivers write.
TEST_F(Devices, DriverStateLastsBetweenBoots)
{
    HANDLE h = Open(u"PWR1:");
    SendWord(h, sim::PowerController::kSetOsUpdateMode, 0xACECECAC);
    CloseHandle(h);
    device_.Reload();
    json state = json::parse(std::ifstream(device_.folder() / "state.json"));
    EXPECT_EQ(state["power"]["update_mode"], 0xACECECACu);
    device_.Reload();  // read back and written again unchanged
    EXPECT_EQ(json::parse(std::ifstream(device_.folder() / "state.json")), state);
}

TEST_F(Devices, WriteFileHandsDataToTheDriver)
{
    TestDriver &driver = AddDriver();
    HANDLE h = Open(u"TST1:");
    BYTE cells[32] = {0x8E, 0x4E};
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, cells, sizeof(cells), &written, NULL));
    EXPECT_EQ(written, 32u);
    EXPECT_EQ(driver.written.size(), 32u);
    EXPECT_EQ(driver.written[1], 0x4E);
    CloseHandle(h);
}

TEST_F(Devices, StoreAndFirstPartition)
{
    HANDLE store = OpenStore(u"DSK1:");
    ASSERT_NE(store, INVALID_HANDLE_VALUE);
    PARTINFO info;
    memset(&info, 0xCC, sizeof(info));
    info.cbSize = sizeof(PARTINFO);
    HANDLE search = FindFirstPartition(store, &info);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_EQ(qs_test::Narrow(info.szPartitionName), "Part00");
    EXPECT_EQ(qs_test::Narrow(info.szFileSys), "BINFS");
    EXPECT_EQ(info.snNumSectors, 21952u);
    EXPECT_EQ(info.szVolumeName[0], 0);
    EXPECT_FALSE(CloseHandle(search));  // a partition search has its own close
    EXPECT_TRUE(CloseHandle(store));
    EXPECT_TRUE(FindClosePartition(search));
    EXPECT_EQ(ce_host::Held().handles, 0u);

    std::vector<std::string> calls;
    for (const auto &event : device_.EventsOf("store"))
        calls.push_back(event["call"].get<std::string>() + (event["ok"] ? "" : " failed"));
    EXPECT_EQ(calls,
              (std::vector<std::string>{"OpenStore", "FindFirstPartition", "FindClosePartition"}));
}

struct StoreCase {
    const char *store;
    bool opens;
    bool findsPartition;
    DWORD error;
};

class StoreFailures : public testing::TestWithParam<StoreCase> {};

TEST_P(StoreFailures, RefuseAsDescribed)
{
    qs_test::TempDevice device(json{{"store", json::parse(GetParam().store)}});
    HANDLE store = OpenStore(u"DSK1:");
    ASSERT_EQ(store != INVALID_HANDLE_VALUE, GetParam().opens);
    if (store == INVALID_HANDLE_VALUE) {
        EXPECT_EQ(GetLastError(), GetParam().error);
        return;
    }
    PARTINFO info = {};
    info.cbSize = sizeof(info);
    HANDLE search = FindFirstPartition(store, &info);
    EXPECT_EQ(search != INVALID_HANDLE_VALUE, GetParam().findsPartition);
    if (search == INVALID_HANDLE_VALUE) {
        EXPECT_EQ(GetLastError(), GetParam().error);
    } else {
        FindClosePartition(search);
    }
    CloseHandle(store);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StoreFailures,
    testing::Values(StoreCase{R"({"present": false})", false, false, ERROR_FILE_NOT_FOUND},
                    StoreCase{R"({"faults": [{"op": "open"}]})", false, false, ERROR_GEN_FAILURE},
                    StoreCase{R"({"faults": [{"op": "partition"}]})", true, false,
                              ERROR_GEN_FAILURE},
                    StoreCase{R"({"partitions": []})", true, false, ERROR_NO_MORE_ITEMS}));

}  // namespace
