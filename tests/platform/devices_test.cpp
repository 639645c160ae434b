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
const std::string kTstOpen = "open TST1: 3221225472 0 3 128";
const std::string kSetWord = "ioctl TST1: 5 SET_WORD 00000000 ";
std::string Store(const std::string &call, const std::string &detail)
{
    return "store " + call + " " + detail;
}
const std::string kFound = "ok:Part00,BINFS,21952";
const std::string kStoreAllWell = Store("OpenStore", "DSK1: true|") +
                                  Store("FindFirstPartition", "Part00 true|") +
                                  Store("FindClosePartition", "true");
std::string Partitions(const std::string &list)
{
    return R"({"store": {"partitions": [)" + list + "]}}";
}
const std::string kHeapMisuse = "misuse LocalAlloc flags ";

const Row kDeviceRows[] = {
    // A driver opens by its name in any case; an unknown one does not, and journals nothing.
    {"DriverOpens", "hold XYZ9: rw ex; open TST1: rw ex f; open tst1: r oa s3", "!2 ok ok", "",
     "open TST1: 3221225472 0 3 0|close TST1:|open TST1: 2147483648 3 4 128|close TST1:", kTst},
    {"DriverAbsent", "open PWR1: rw ex; open QKP1: rw ex", "!2 ok", "",
     "open QKP1: 3221225472 0 3 128|close QKP1:", R"({"power": {"present": false}})"},
    // A control code passes its buffers both ways; the driver's answer is the call's.
    {"ControlCodes", "hold TST1: rw ex; ioctl 1 01abff 4; ioctl 77; write ab; tstwritten; close",
     "ok ok:3,01abff00 !87:0 ok:2 ok:6162 ok", "",
     kTstOpen + "|ioctl TST1: 1 ECHO 01abff 01abff00 true|ioctl TST1: 77 false|close TST1:", kTst},
    {"PowerController", "hold PWR1: rw ex; ioctl 1281 - 4", "ok ok:4,bbd73401", "",
     "open PWR1: 3221225472 0 3 128|ioctl PWR1: 1281 PWR_IOCTL_GET_SN bbd73401 true|close PWR1:"},
    // Consecutive sector transfers merge into one event; a failed one breaks the run.
    {"SectorTransfers",
     "hold TST1: rw ex; ioctl 2 40000000; x64 ioctl 3; x2 ioctl 4; ioctl 2 f4010000; ioctl 3; "
     "ioctl 2 00000000; x3 ioctl 3",
     "ok ok:0 64*ok:0 2*ok:0 ok:0 ok:0 ok:0 ok:0 ok:0 !31:0", "",
     kTstOpen + "|ioctl TST1: 2 SET_SECTOR 40000000 true|ioctl TST1: 3 READ_SECTOR 64 64 true|"
                "ioctl TST1: 4 WRITE_SECTOR 128 2 true|ioctl TST1: 2 SET_SECTOR f4010000 true|"
                "ioctl TST1: 3 READ_SECTOR 500 1 true|ioctl TST1: 2 SET_SECTOR 00000000 true|"
                "ioctl TST1: 3 READ_SECTOR 0 2 true|ioctl TST1: 3 READ_SECTOR 2 1 false|"
                "close TST1:",
     R"({"tst": [{"op": "read", "sector": 2}]})"},
    // A fault names a code by number or name, and fails every matching call or the nth.
    {"FaultOnEveryCall", "hold TST1: rw ex; x2 ioctl 5 00000000", "ok 2*!31:0", "",
     kTstOpen + "|" + kSetWord + "false|" + kSetWord + "false|close TST1:",
     R"({"tst": [{"code": 5}]})"},
    {"FaultOnTheNthCall", "hold TST1: rw ex; x4 ioctl 5 00000000; ioctl 1 - 0",
     "ok !31:0 ok:0 ok:0 !31:0 ok:0", "",
     kTstOpen + "|" + kSetWord + "false|" + kSetWord + "true|" + kSetWord + "true|" + kSetWord +
         "false|ioctl TST1: 1 ECHO true|close TST1:",
     R"({"tst": [{"code": "SET_WORD", "nth": 1}, {"code": 5, "nth": 4}, {"code": "ECHO",
        "nth": 2}]})"},
    // The store of DSK1:, its first partition, and the closing calls in the BINFS check's order.
    {"Store",
     "store DSK1:; part; close @0; partclose; store dsk1:; part; partclose; close; store DSK2:; "
     "store",
     "ok " + kFound + " ok ok ok " + kFound + " ok ok !2 !2", "",
     kStoreAllWell + "|" + Store("OpenStore", "dsk1: true|") +
         Store("FindFirstPartition", "Part00 true|") + Store("FindClosePartition", "true|") +
         Store("OpenStore", "DSK2: false 2|") + Store("OpenStore", "false 2")},
    {"StoreAbsent", "store DSK1:", "!2", "", Store("OpenStore", "DSK1: false 2"),
     R"({"store": {"present": false}})"},
    // The store is the flash disk's: without the disk's driver there is no store either.
    {"FlashAbsent", "store DSK1:", "!2", "",
     "fault DSK1: absent: device.json marks it not present|" + Store("OpenStore", "DSK1: false 2"),
     R"({"flash": {"present": false}})"},
    // A fault with nth fires on that call of its own op only; a failed close still ends the
    // search.
    {"StoreFaults", "store DSK1:; store DSK1:; part; part; partclose; part; partclose",
     "!31 ok !31 " + kFound + " !31 " + kFound + " ok", "",
     Store("OpenStore", "DSK1: false 31|") + Store("OpenStore", "DSK1: true|") +
         Store("FindFirstPartition", "false 31|") + Store("FindFirstPartition", "Part00 true|") +
         Store("FindClosePartition", "false 31|") + Store("FindFirstPartition", "Part00 true|") +
         Store("FindClosePartition", "true"),
     R"({"store": {"faults": [{"op": "open", "nth": 1}, {"op": "partition", "nth": 1},
        {"op": "close", "nth": 1}]}})"},
    {"NoPartition", "store DSK1:; part", "ok !259", "",
     Store("OpenStore", "DSK1: true|") + Store("FindFirstPartition", "false 259"), Partitions("")},
    {"OnlyTheFirstPartition", "store DSK1:; part", "ok ok:Part01,FATFS,7", "",
     Store("OpenStore", "DSK1: true|") + Store("FindFirstPartition", "Part01 true|") +
         Store("FindClosePartition", "true"),
     Partitions(R"({"name": "Part01", "file_system": "FATFS", "sectors": 7},
                   {"name": "Part00", "file_system": "BINFS", "sectors": 21952})")},
    {"LongestNamesAndLargestCount", "store DSK1:; part", "ok ok:{31n},{31f},18446744073709551615",
     "",
     Store("OpenStore", "DSK1: true|") +
         Store("FindFirstPartition", std::string(31, 'n') + " true|") +
         Store("FindClosePartition", "true"),
     Partitions(R"({"name": ")" + std::string(31, 'n') + R"(", "file_system": ")" +
                std::string(31, 'f') + R"(", "sectors": 18446744073709551615})")},
    // Calls with the wrong handle or record are refused and journaled, and fill in nothing.
    {"StoreMisuse",
     "store DSK1:; hold /d/f.txt r ex; part @0 295; part @0 297; part @0 0; part; part @inv; "
     "part @0 -; part @0; partclose @0; close; held; partclose; partclose @again; close @0; "
     "close @again",
     "ok ok !87 !87 !87 !6 !6 !87 " + kFound + " !6 !6 ok:3,0,0,0 ok !6 ok !6", "",
     Store("OpenStore", "DSK1: true|") + Store("FindFirstPartition", "false 87|") +
         Store("FindFirstPartition", "false 87|") + Store("FindFirstPartition", "false 87|") +
         Store("FindFirstPartition", "false 6|") + Store("FindFirstPartition", "false 6|") +
         Store("FindFirstPartition", "false 87|") + Store("FindFirstPartition", "Part00 true|") +
         Store("FindClosePartition", "false 6|") + Store("FindClosePartition", "true|") +
         Store("FindClosePartition", "false 6")},
    // The heap: a limit refuses what would pass it, the peak is kept, a block of 0 bytes is a
    // block, and misuse fails and is journaled.
    {"HeapLimit", "alloc 600; alloc 401; alloc 400 0x40; free @0; free; held",
     "ok !8 ok:zeroed ok ok ok:0,0,0,1000", "", "", R"({"heap": {"limit_bytes": 1000}})"},
    {"HeapOfADevice", "alloc 67108864; alloc 1", "ok !8"},
    {"HeapUnlimited", "alloc 67108864; alloc 1", "ok ok", "", "",
     R"({"heap": {"limit_bytes": null}})"},
    {"ZeroByteBlocks", "alloc 0; alloc 0; held; free; free", "ok ok ok:0,2,0,0 ok ok", "", "",
     R"({"heap": {"limit_bytes": 0}})"},
    {"HeapMisuse",
     "free @bad; alloc 16; free; free @again; alloc 16 2; alloc 16 0x42; alloc 16 0x2000; "
     "alloc 16 0x40; held",
     "!6 ok ok !6 !87 !87 !87 ok:zeroed ok:0,1,16,16", "",
     "misuse LocalFree not a live heap block|misuse LocalFree not a live heap block|" +
         kHeapMisuse + "2: only LMEM_FIXED and LMEM_ZEROINIT|" + kHeapMisuse +
         "66: only LMEM_FIXED and LMEM_ZEROINIT|" + kHeapMisuse +
         "8192: only LMEM_FIXED and LMEM_ZEROINIT"},
    // What a boot still holds is reported and journaled; a new boot starts with nothing.
    {"Leaks", "hold /d/f.txt r ex; alloc 512; held; leaks", "ok ok ok:1,1,512,512 ok:2", "",
     "leak file /d/f.txt|leak heap block of 512 bytes"},
    {"NewBootHoldsNothing", "alloc 64; reboot; held", "ok ok:0,0,0,0"},
    {"ClosingTwice", "hold /d/f.txt r ex; close; close @again; close @null; close @inv",
     "ok ok !6 !6 !6"},
    // The clock moves only when the program sleeps or a cue plays.
    {"Clock", "now; local; sleep 100; sleep 1250; now",
     "ok:2026-12-31.4.23:59:59.000 ok:2026-12-31.4.23:59:59.000 ok:2027-01-01.5.00:00:00.350", "",
     "sleep 100|sleep 1250@100", R"({"clock": {"utc": "2026-12-31T23:59:59Z"}})"},
    {"LocalTimeEast", "local", "ok:2026-03-01.0.09:30:00.000", "", "",
     R"({"clock": {"utc": "2026-03-01T00:30:00Z", "local_offset_minutes": 540}})"},
    {"LocalTimeWest", "local", "ok:2026-02-28.6.23:30:00.000", "", "",
     R"({"clock": {"utc": "2026-03-01T00:30:00Z", "local_offset_minutes": -60}})"},
    {"Sounds", "play /D/CUE.WAV; play /d/missing.wav; play /d/f.txt; now",
     "ok !2 !2 ok:2026-12-05.6.08:30:00.005", "",
     "sound /d/cue.wav true|sound /d/missing.wav false@5|sound /d/f.txt false@5"},
    // A program starts when its file is there and device.json does not list it as failing.
    {"Programs",
     "lay /w/b.exe MZ; start /D/APP.EXE; held; start /d/missing.exe; start /no/x.exe; "
     "start /d/sub; start /w/b.exe",
     "ok ok:2,0,0,0 !2 !3 !5 !193", "+w/ +w/b.exe=MZ",
     "process /d/app.exe true|process /d/missing.exe false|process /no/x.exe false|"
     "process /d/sub false|process /w/b.exe false",
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

// Every byte of the filled record: the size, the two names as UTF-16LE with their terminators,
// the sector count little-endian, and zeros everywhere else, whatever the record held before.
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
    std::vector<uint8_t> expected(296, 0);
    expected[0] = 0x28;  // 296
    expected[1] = 0x01;
    for (size_t i = 0; i < 6; ++i)
        expected[4 + 2 * i] = "Part00"[i], expected[68 + 2 * i] = "BINFS"[i];
    const uint8_t sectors[] = {0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01};
    std::memcpy(&expected[264], sectors, sizeof(sectors));
    const auto *bytes = reinterpret_cast<const uint8_t *>(&info);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + sizeof(info)), expected);
}

}  // namespace
}  // namespace platform_script
