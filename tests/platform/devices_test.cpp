// Drivers and their control codes, the storage manager's store, the heap, what a boot still
// holds, the virtual clock, sound cues and program starts.
#include <cstring>
#include <fstream>

#include "platform/host/host.h"
#include "sim/error.h"
#include "tests/platform/script.h"
#include "tests/support/expect.h"

namespace platform_script {
namespace {

using nlohmann::json;

const std::string kTst = R"({"tst": []})";
std::string Partitions(const std::string &list)
{
    return R"({"store": {"partitions": [)" + list + "]}}";
}

const Row kDeviceRows[] = {
    // A driver opens by its name in any case; an unknown one does not, and journals nothing. A
    // name with a letter where its number goes is a file name, whose colon is refused.
    {"DriverOpens",
     "hold XYZ9: rw ex; open TST1: rw ex f; open tst1: r oa s3; open TSTx: rw ex; "
     "open TST12: rw ex",
     kTst},
    {"DriverAbsent", "open PWR1: rw ex; open QKP1: rw ex", R"({"power": {"present": false}})"},
    // A control code passes its buffers both ways; the driver's answer is the call's.
    {"ControlCodes", "hold TST1: rw ex; ioctl 1 01abff 4; ioctl 77; write ab; tstwritten; close",
     kTst},
    {"PowerController", "hold PWR1: rw ex; ioctl 1281 - 4"},
    // Consecutive sector transfers merge into one event; a failed one breaks the run.
    {"SectorTransfers",
     "hold TST1: rw ex; ioctl 2 40000000; x64 ioctl 3; x2 ioctl 4; ioctl 2 f4010000; ioctl 3; "
     "ioctl 2 00000000; x3 ioctl 3",
     R"({"tst": [{"op": "read", "sector": 2}]})"},
    // A fault names a code by number or name, and fails every matching call or the nth.
    {"FaultOnEveryCall", "hold TST1: rw ex; x2 ioctl 5 00000000", R"({"tst": [{"code": 5}]})"},
    {"FaultOnTheNthCall", "hold TST1: rw ex; x4 ioctl 5 00000000; ioctl 1 - 0",
     R"({"tst": [{"code": "SET_WORD", "nth": 1}, {"code": 5, "nth": 4}, {"code": "ECHO",
        "nth": 2}]})"},
    // The store of DSK1:, its first partition, and the closing calls in the BINFS check's order.
    {"Store",
     "store DSK1:; part; close @0; partclose; store dsk1:; part; partclose; close; store DSK2:; "
     "store"},
    {"StoreAbsent", "store DSK1:", R"({"store": {"present": false}})"},
    // The store is the flash disk's: without the disk's driver there is no store either.
    {"FlashAbsent", "store DSK1:", R"({"flash": {"present": false}})"},
    // A fault with nth fires on that call of its own op only; a failed close still ends the
    // search.
    {"StoreFaults", "store DSK1:; store DSK1:; part; part; partclose; part; partclose",
     R"({"store": {"faults": [{"op": "open", "nth": 1}, {"op": "partition", "nth": 1},
        {"op": "close", "nth": 1}]}})"},
    {"NoPartition", "store DSK1:; part", Partitions("")},
    {"OnlyTheFirstPartition", "store DSK1:; part",
     Partitions(R"({"name": "Part01", "file_system": "FATFS", "sectors": 7},
                   {"name": "Part00", "file_system": "BINFS", "sectors": 21952})")},
    {"LongestNamesAndLargestCount", "store DSK1:; part",
     Partitions(R"({"name": ")" + std::string(31, 'n') + R"(", "file_system": ")" +
                std::string(31, 'f') + R"(", "sectors": 18446744073709551615})")},
    // Calls with the wrong handle or record are refused and journaled, and fill in nothing.
    {"StoreMisuse",
     "store DSK1:; hold /d/f.txt r ex; part @0 295; part @0 297; part @0 0; part; part @inv; "
     "part @0 -; part @0; partclose @0; close; held; partclose; partclose @again; close @0; "
     "close @again"},
    // The heap: a limit refuses what would pass it, the peak is kept, a block of 0 bytes is a
    // block, and misuse fails and is journaled.
    {"HeapLimit", "alloc 600; alloc 401; alloc 400 0x40; free @0; free; held",
     R"({"heap": {"limit_bytes": 1000}})"},
    {"HeapOfADevice", "alloc 67108864; alloc 1"},
    {"HeapUnlimited", "alloc 67108864; alloc 1", R"({"heap": {"limit_bytes": null}})"},
    {"ZeroByteBlocks", "alloc 0; alloc 0; held; free; free", R"({"heap": {"limit_bytes": 0}})"},
    {"HeapMisuse",
     "free @bad; alloc 16; free; free @again; alloc 16 2; alloc 16 0x42; alloc 16 0x2000; "
     "alloc 16 0x40; held"},
    // What a boot still holds is reported and journaled; a new boot starts with nothing.
    {"Leaks", "hold /d/f.txt r ex; alloc 512; held; leaks"},
    {"NewBootHoldsNothing", "alloc 64; reboot; held"},
    {"ClosingTwice", "hold /d/f.txt r ex; close; close @again; close @null; close @inv"},
    // The clock moves only when the program sleeps or a cue plays.
    {"Clock", "now; local; sleep 100; sleep 1250; now",
     R"({"clock": {"utc": "2026-12-31T23:59:59Z"}})"},
    {"LocalTimeEast", "local",
     R"({"clock": {"utc": "2026-03-01T00:30:00Z", "local_offset_minutes": 540}})"},
    {"LocalTimeWest", "local",
     R"({"clock": {"utc": "2026-03-01T00:30:00Z", "local_offset_minutes": -60}})"},
    {"Sounds",
     "play /D/CUE.WAV; play /d/missing.wav; play /d/f.txt; now; lay /d/long.wav {1000w}; "
     "play /d/long.wav; now"},
    // A program starts when its file is there and device.json does not list it as failing.
    {"Programs",
     "lay /w/b.exe MZ; start /D/APP.EXE; held; start /d/missing.exe; start /no/x.exe; "
     "start /d/sub; start /w/b.exe",
     R"({"programs": {"fail": ["\\w\\b.exe"]}})"},
};

INSTANTIATE_TEST_SUITE_P(Devices, ScriptTable, testing::ValuesIn(kDeviceRows), RowName);

TEST(DeviceFolder, MisspeltFaultCodeIsRefused)
{
    EXPECT_THROW(World(R"({"tst": [{"code": "SET_WROD"}]})"), sim::DeviceError);
}

// What a driver remembers goes through state.json, which only the device's own drivers write.
TEST(DeviceFolder, DriverStateLastsBetweenBoots)
{
    World world;
    Script(world).Run("hold PWR1: rw ex; ioctl 1045 acececac; reboot");
    std::filesystem::path state = world.device().folder() / "state.json";
    json saved = json::parse(std::ifstream(state));
    EXPECT_EQ(saved["power"]["update_mode"], 0xACECECACu);
    world.device().Reload();
    EXPECT_EQ(json::parse(std::ifstream(state)), saved);
}

// Each boot is a freshly started device: the same calls give the same handle values and ids.
TEST(DeviceFolder, HandlesAndIdsStartAfreshOnEachBoot)
{
    World world;
    std::vector<uintptr_t> boots[2];
    for (auto &seen : boots) {
        HANDLE file = CreateFileW(u"\\d\\f.txt", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        ASSERT_TRUE(CreateProcessW(u"\\d\\app.exe", NULL, NULL, NULL, FALSE, 0, NULL, NULL,
                                   &startup, &process));
        seen = {uintptr_t(file), uintptr_t(process.hProcess), uintptr_t(process.hThread),
                process.dwProcessId, process.dwThreadId};
        world.device().Reload();
    }
    EXPECT_EQ(boots[0], boots[1]);
}

// Every byte of the filled record, 16 a line in tests/golden/platform_partition_record.log: the
// size, the two names as UTF-16LE with their terminators, the sector count little-endian, and
// zeros everywhere else, whatever the record held before.
TEST(DeviceFolder, PartitionRecordByteForByte)
{
    World world(Partitions(R"({"name": "Part00", "file_system": "BINFS",
                               "sectors": 81985529216486895})"));
    HANDLE store = OpenStore(u"DSK1:");
    PARTINFO info;
    std::memset(&info, 0xCC, sizeof(info));
    info.cbSize = sizeof(PARTINFO);
    FindClosePartition(FindFirstPartition(store, &info));
    CloseHandle(store);
    const auto *bytes = reinterpret_cast<const uint8_t *>(&info);
    qs_test::Lines lines;
    for (size_t at = 0; at < sizeof(info); at += 16)
        lines.push_back(sim::ToHex({bytes + at, std::min<size_t>(16, sizeof(info) - at)}) + "\r\n");
    qs_test::ExpectGoldenLog(lines, "platform_partition_record");
}

}  // namespace
}  // namespace platform_script
