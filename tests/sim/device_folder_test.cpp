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

// Each row: the file, the text given it (a line break written \n), and its answer: "opens", or
// the one-line reason less the folder's path. A refused file is kept as it is.
struct Refusal {
    const char *file, *text, *answer;
};
// clang-format off
const Refusal kRefusals[] = {
    {"device.json", R"({"flahs": {}})", R"(device.json: flahs: unknown key)"},
    {"device.json", R"({"power": {"faults": [{"code": 1045, "nht": 2}]}})", R"(device.json: power.faults[0].nht: unknown key)"},
    {"device.json", R"({"power": {"faults": [{"nth": 2}]}})", R"(device.json: power.faults[0]: a fault names a "code" or an "op")"},
    {"device.json", R"({"power": {"faults": [{"code": 1, "nth": 0}]}})", R"(device.json: power.faults[0].nth: counts from 1)"},
    {"device.json", R"({"braille": {"faults": [{"op": "write"}]}})", R"(device.json: braille.faults[0]: unknown op "write" (braille faults name a control code))"},
    {"device.json", R"({"power": {"boot_key": "16"}})", R"(device.json: power.boot_key: expected a whole number)"},
    {"device.json", R"({"power": {"boot_key": 256}})", R"(device.json: power.boot_key: out of range 0 to 255)"},
    {"device.json", R"({"files": {"find_order": "size"}})", R"(device.json: files.find_order: expected "name", "reverse" or "created")"},
    {"device.json", R"({"files": {"appear_after": {"flashdisk": 3}}})", R"(device.json: files.appear_after: unknown key)"},
    {"device.json", R"({"files": {"mount_after_ms": {"flashdisk": -1}}})", R"(device.json: files.mount_after_ms.flashdisk: expected milliseconds, 0 to 4294967295)"},
    {"device.json", R"({"files": {"mount_after_ms": {"flashdisk": 4294967296}}})", R"(device.json: files.mount_after_ms.flashdisk: expected milliseconds, 0 to 4294967295)"},
    {"device.json", R"({"files": {"mount_after_ms": {"flashdisk": 2.5}}})", R"(device.json: files.mount_after_ms.flashdisk: expected milliseconds, 0 to 4294967295)"},
    {"device.json", R"({"files": {"mount_after_ms": {"flashdisk": "250"}}})", R"(device.json: files.mount_after_ms.flashdisk: expected milliseconds, 0 to 4294967295)"},
    {"device.json", R"({"files": {"mount_after_ms": [250]}})", R"(device.json: files.mount_after_ms: expected an object)"},
    {"device.json", R"({"files": {"corrupt_copies": {"path": "\\a.dll"}}})", R"(device.json: files.corrupt_copies: expected a list)"},
    {"device.json", R"({"files": {"corrupt_copies": ["\\a.dll"]}})", R"(device.json: files.corrupt_copies[0]: expected an object)"},
    {"device.json", R"({"files": {"corrupt_copies": [{"copies": 1, "offset": 0}]}})", R"(device.json: files.corrupt_copies[0].path: missing)"},
    {"device.json", R"({"files": {"corrupt_copies": [{"path": "", "copies": 1, "offset": 0}]}})", R"(device.json: files.corrupt_copies[0].path: expected a device path)"},
    {"device.json", R"({"files": {"corrupt_copies": [{"path": 7, "copies": 1, "offset": 0}]}})", R"(device.json: files.corrupt_copies[0].path: expected a device path)"},
    {"device.json", R"({"files": {"corrupt_copies": [{"path": "\\a", "offset": 0}]}})", R"(device.json: files.corrupt_copies[0].copies: missing)"},
    {"device.json", R"({"files": {"corrupt_copies": [{"path": "\\a", "copies": 0, "offset": 0}]}})", R"(device.json: files.corrupt_copies[0].copies: expected 1 or more)"},
    {"device.json", R"({"files": {"corrupt_copies": [{"path": "\\a", "copies": 1}]}})", R"(device.json: files.corrupt_copies[0].offset: missing)"},
    {"device.json", R"({"files": {"corrupt_copies": [{"path": "\\a", "copies": 1, "offset": -1}]}})", R"(device.json: files.corrupt_copies[0].offset: expected a whole number, 0 or more)"},
    {"device.json", R"({"files": {"corrupt_copies": [{"path": "\\a", "copies": 1, "offset": 0, "nth": 2}]}})", R"(device.json: files.corrupt_copies[0].nth: unknown key)"},
    {"device.json", R"({"files": {"fail_copies": [{"path": "\\b"}]}})", R"(device.json: files.fail_copies[0].after_bytes: missing)"},
    {"device.json", R"({"files": {"fail_copies": [{"path": "\\b", "after_bytes": "1"}]}})", R"(device.json: files.fail_copies[0].after_bytes: expected a whole number, 0 or more)"},
    {"device.json", R"({"files": {"fail_copies": [{"after_bytes": 1}]}})", R"(device.json: files.fail_copies[0].path: missing)"},
    {"device.json", R"({"files": {"fail_copies": [{"path": "\\b", "after_bytes": 1, "copies": 1}]}})", R"(device.json: files.fail_copies[0].copies: unknown key)"},
    {"device.json", R"({"files": {"fail_writes": [{"after_bytes": 6}]}})", R"(device.json: files.fail_writes[0].path: missing)"},
    {"device.json", R"({"files": {"fail_writes": [{"path": "", "after_bytes": 6}]}})", R"(device.json: files.fail_writes[0].path: expected a device path)"},
    {"device.json", R"({"files": {"fail_writes": [{"path": "\\a", "after_bytes": 1}, {"path": "\\b"}]}})", R"(device.json: files.fail_writes[1].after_bytes: missing)"},
    {"device.json", R"({"files": {"fail_writes": [{"path": "\\a", "after_bytes": -6}]}})", R"(device.json: files.fail_writes[0].after_bytes: expected a whole number, 0 or more)"},
    {"device.json", R"({"files": {"fail_writes": [{"path": "\\a", "after_byte": 6}]}})", R"(device.json: files.fail_writes[0].after_bytes: missing)"},
    {"device.json", R"({"files": {"fail_writes": [{"path": "\\a", "after_bytes": 6, "nth": 1}]}})", R"(device.json: files.fail_writes[0].nth: unknown key)"},
    {"device.json", R"({"files": {"fail_writes": {"path": "\\a"}}})", R"(device.json: files.fail_writes: expected a list)"},
    {"device.json", R"({"heap": {"limit_bytes": -1}})", R"(device.json: heap.limit_bytes: expected a whole number, 0 or more)"},
    {"device.json", R"({"flash": {"bad": [7, -1]}})", R"(device.json: flash.bad: expected a list of numbers, 0 or more)"},
    {"device.json", R"({"flash": {"present": "no"}})", R"(device.json: flash.present: expected true or false)"},
    {"device.json", R"({"clock": {"utc": "2026-12-05T08:30:00.250Z"}})", R"(opens)"},
    {"device.json", R"({"clock": {"local_offset_minutes": -1440}})", R"(opens)"},
    {"device.json", R"({"clock": {"local_offset_minutes": 1441}})", R"(device.json: clock.local_offset_minutes: out of range -1440 to 1440)"},
    {"device.json", R"({"clock": {"utc": "2026-12-05T08:30:00.25Z"}})", R"(device.json: clock.utc: expected a UTC time such as "2026-12-05T08:30:00Z", got "2026-12-05T08:30:00.25Z")"},
    {"device.json", R"({"clock": {"utc": "2026-04-31T08:30:00Z"}})", R"(device.json: clock.utc: expected a UTC time such as "2026-12-05T08:30:00Z", got "2026-04-31T08:30:00Z")"},
    {"device.json", R"({"clock": {"utc": "2026-12-05T08:60:00Z"}})", R"(device.json: clock.utc: expected a UTC time such as "2026-12-05T08:30:00Z", got "2026-12-05T08:60:00Z")"},
    {"device.json", R"({"clock": {"utc": "2026-02-30T00:00:00Z"}})", R"(device.json: clock.utc: expected a UTC time such as "2026-12-05T08:30:00Z", got "2026-02-30T00:00:00Z")"},
    {"device.json", R"({\n  "power": {\n    "present": tru\n  }\n})", R"(device.json: not valid JSON at line 3)"},
    // A line break inside a string is the line the string is on.
    {"device.json", R"({\n  "files": {"locked": ["a\nb"]}\n})", R"(device.json: not valid JSON at line 2)"},
    {"device.json", R"([1, 2])", R"(device.json: expected an object)"},
    {"device.json", R"({"flash": {"timing": 25}})", R"(device.json: flash.timing: expected an object)"},
    {"device.json", R"({"flash": {"timing": {"tR": 25}}})", R"(device.json: flash.timing.tR: unknown key)"},
    {"device.json", R"({"flash": {"timing": {"page_read_us": -1}}})", R"(device.json: flash.timing.page_read_us: out of range 0 to 4294967295)"},
    {"device.json", R"({"flash": {"timing": {"page_program_us": 4294967296}}})", R"(device.json: flash.timing.page_program_us: out of range 0 to 4294967295)"},
    {"device.json", R"({"flash": {"timing": {"block_erase_us": 1.5}}})", R"(device.json: flash.timing.block_erase_us: expected a whole number)"},
    {"device.json", R"({"flash": {"blocks": 6}})", R"(device.json: flash.blocks: out of range 7 to 4096)"},
    {"device.json", R"({"flash": {"blocks": 0}})", R"(device.json: flash.blocks: out of range 7 to 4096)"},
    {"device.json", R"({"flash": {"blocks": 4097}})", R"(device.json: flash.blocks: out of range 7 to 4096)"},
    {"device.json", R"({"flash": {"blocks": 7}})", R"(opens)"},
    {"device.json", R"({"flash":{"blocks":4096,"faults":[{"block":4095,"offset":2055,"op":"corrupt","sector":262143}]}})", R"(opens)"},
    {"device.json", R"({"flash":{"blocks":8,"faults":[{"block":7,"op":"erase"},{"block":0,"op":"status"},{"nth":2,"op":"write","sector":511},{"block":1,"op":"read","sector":64},{"offset":0,"op":"corrupt","sector":0},{"code":"IOCTL_FMD_GET_EBOOT_UPDATE"},{"code":466916}]},"peripheral":{"faults":[{"code":"QKP_IOCTL_RESET_CONTROL"}]},"power":{"faults":[{"code":"PWR_IOCTL_REBOOT","nth":1},{"code":1045}]},"store":{"faults":[{"op":"open"},{"nth":3,"op":"partition"}]}})", R"(opens)"},
    {"device.json", R"({"flash": {"faults": [{"op": "erase"}, {"op": "read"}, {"op": "erasee"}]}})", R"(device.json: flash.faults[2]: unknown op "erasee" (erase, write, read, status or corrupt))"},
    {"device.json", R"({"flash": {"faults": [{"op": "open"}]}})", R"(device.json: flash.faults[0]: unknown op "open" (erase, write, read, status or corrupt))"},
    {"device.json", R"({"power": {"faults": [{"op": "read"}]}})", R"(device.json: power.faults[0]: unknown op "read" (power faults name a control code))"},
    {"device.json", R"({"peripheral": {"faults": [{"code": 20044}, {"op": "write"}]}})", R"(device.json: peripheral.faults[1]: unknown op "write" (peripheral faults name a control code))"},
    {"device.json", R"({"store": {"faults": [{"op": "read"}]}})", R"(device.json: store.faults[0]: unknown op "read" (open, partition or close))"},
    {"device.json", R"({"flash": {"faults": [{"code": "IOCTL_FMD_ERASE_BLOCK"}, {"code": "IOCTL_FMD_FOO"}]}})", R"(flash.faults[1]: unknown control code "IOCTL_FMD_FOO")"},
    {"device.json", R"({"power": {"faults": [{"code": "PWR_IOCTL_FOO"}]}})", R"(power.faults[0]: unknown control code "PWR_IOCTL_FOO")"},
    {"device.json", R"({"peripheral": {"faults": [{"code": "SET_OS_UPDATE_MODE"}]}})", R"(peripheral.faults[0]: unknown control code "SET_OS_UPDATE_MODE")"},
    {"device.json", R"({"store": {"faults": [{"code": 1}]}})", R"(device.json: store.faults[0]: the store answers no control codes; name an op (open, partition or close))"},
    {"device.json", R"({"power": {"faults": [{"code": 1045, "block": 1}]}})", R"(device.json: power.faults[0]: a fault on a control code cannot name a block)"},
    {"device.json", R"({"flash": {"faults": [{"code": "IOCTL_FMD_READ_SECTOR", "sector": 3}]}})", R"(device.json: flash.faults[0]: a fault on a control code cannot name a sector)"},
    {"device.json", R"({"flash": {"faults": [{"code": 466908, "offset": 3}]}})", R"(device.json: flash.faults[0]: a fault on a control code cannot name an offset)"},
    {"device.json", R"({"flash": {"faults": [{"code": "IOCTL_FMD_ERASE_BLOCK", "op": "erase"}]}})", R"(device.json: flash.faults[0]: a fault names a code or an op, not both)"},
    {"device.json", R"({"flash": {"blocks": 8, "faults": [{"op": "erase", "block": 8}]}})", R"(device.json: flash.faults[0]: block 8 is beyond the 8 blocks of the flash)"},
    {"device.json", R"({"flash": {"blocks": 8, "faults": [{"op": "read", "sector": 512}]}})", R"(device.json: flash.faults[0]: sector 512 is beyond the 512 sectors of the flash)"},
    {"device.json", R"({"flash": {"faults": [{"op": "write", "block": 1, "sector": 3}]}})", R"(device.json: flash.faults[0]: sector 3 is not in block 1)"},
    {"device.json", R"({"flash": {"faults": [{"op": "erase", "sector": 64}]}})", R"(device.json: flash.faults[0]: an erase fault cannot name a sector)"},
    {"device.json", R"({"flash": {"faults": [{"op": "status", "sector": 64}]}})", R"(device.json: flash.faults[0]: a status fault cannot name a sector)"},
    {"device.json", R"({"store": {"faults": [{"op": "open", "block": 0}]}})", R"(device.json: store.faults[0]: an open fault cannot name a block)"},
    {"device.json", R"({"store": {"faults": [{"op": "open"}, {"op": "close", "block": 1}]}})", R"(device.json: store.faults[1]: a close fault cannot name a block)"},
    {"device.json", R"({"flash": {"faults": [{"op": "read", "sector": 1, "offset": 3}]}})", R"(device.json: flash.faults[0]: only a corrupt fault takes an offset)"},
    {"device.json", R"({"flash": {"faults": [{"op": "corrupt", "sector": 1}]}})", R"(device.json: flash.faults[0]: a corrupt fault needs an offset from 0 to 2055)"},
    {"device.json", R"({"flash": {"faults": [{"op": "erase"}, {"op": "write", "leaves": "torn"}, {"op": "read", "leaves": "untouched"}]}})", R"(device.json: flash.faults[2].leaves: only a fault on an erase or a sector write says what it leaves)"},
    {"device.json", R"({"flash": {"faults": [{"code": "IOCTL_FMD_ERASE_BLOCK", "leaves": "torn"}, {"code": 466908, "leaves": "torn"}]}})", R"(device.json: flash.faults[1].leaves: only a fault on an erase or a sector write says what it leaves)"},
    {"device.json", R"({"power": {"faults": [{"code": 1045, "leaves": "untouched"}]}})", R"(device.json: power.faults[0].leaves: only a fault on an erase or a sector write says what it leaves)"},
    {"device.json", R"({"flash": {"faults": [{"code": "IOCTL_FMD_WRITE_SECTOR", "leaves": "half"}]}})", R"(device.json: flash.faults[0].leaves: expected "untouched" or "torn")"},
    {"device.json", R"({"flash": {"faults": [{"op": "corrupt", "offset": 2056}]}})", R"(device.json: flash.faults[0]: a corrupt fault needs an offset from 0 to 2055)"},
    {"device.json", R"({"store": {"partitions": [{"sectors": -1}]}})", R"(device.json: store.partitions[0].sectors: expected a whole number, 0 or more)"},
    {"device.json", R"({"store": {"partitions": [{"sectors": 21951.5}]}})", R"(device.json: store.partitions[0].sectors: expected a whole number, 0 or more)"},
    {"device.json", R"({"store": {"partitions": [{"sectors": "21952"}]}})", R"(device.json: store.partitions[0].sectors: expected a whole number, 0 or more)"},
    {"device.json", R"({"store": {"partitions": [{}, {"sectors": 18446744073709551616}]}})", R"(device.json: store.partitions[1].sectors: out of range 0 to 18446744073709551615)"},
    {"device.json", R"({"store": {"partitions": [{"sectors": 1e30}]}})", R"(device.json: store.partitions[0].sectors: out of range 0 to 18446744073709551615)"},
    {"device.json", R"({"store": {"partitions": [{"name": "0123456789abcdef0123456789abcdef"}]}})", R"(device.json: store.partitions[0].name: at most 31 characters)"},
    {"device.json", R"({"store": {"partitions": [{"file_system": "0123456789abcdef0123456789abcdef"}]}})", R"(device.json: store.partitions[0].file_system: at most 31 characters)"},
    {"device.json", R"({"store": {"partitions": [{"name": "0123456789abcdef0123456789abcd😀"}]}})", R"(device.json: store.partitions[0].name: at most 31 characters)"},
    {"device.json", R"({"store": {"partitions": [{"size": 1}]}})", R"(device.json: store.partitions[0].size: unknown key)"},
    {"device.json", R"({})", R"(opens)"},
    {"state.json", R"({"power": {"update_mode": "on"}})", R"(state.json: power.update_mode: expected a whole number)"},
    {"state.json", R"({"power": {"update_mode": -1}})", R"(state.json: power.update_mode: out of range 0 to 4294967295)"},
    {"state.json", R"({"power": {"restart_requests": 1.5}})", R"(state.json: power.restart_requests: expected a whole number)"},
    {"state.json", R"({"power": {"update_mod": 0}})", R"(state.json: power.update_mod: unknown key)"},
    {"state.json", R"({"peripheral": []})", R"(state.json: peripheral: expected an object)"},
    {"state.json", R"({"peripheral": {"power_control": 4294967296}})", R"(state.json: peripheral.power_control: out of range 0 to 4294967295)"},
    {"state.json", R"({"files": {"attributes": {"\\a.txt": 16}}})", R"(state.json: files.attributes.\a.txt: not a value this record holds)"},
    {"state.json", R"({"files": {"attributes": []}})", R"(state.json: files.attributes: expected an object keyed by device path)"},
    {"state.json", R"({"files": {"created": {"\\a.txt": 0}}})", R"(state.json: files.created.\a.txt: not a value this record holds)"},
    {"state.json", R"({"files": {"next_created": "2"}})", R"(state.json: files.next_created: expected a whole number, 0 or more)"},
    {"state.json", R"({"flash": {"nk_flag": 1}})", R"(state.json: flash.nk_flag: expected true or false)"},
    {"state.json", R"({"braille": {}})", R"(state.json: braille: unknown key)"},
    {"state.json", R"({\n  "power": {\n    "update_mode": 0,\n  }\n})", R"(state.json: not valid JSON at line 4)"},
    {"state.json", R"([])", R"(state.json: expected an object)"},
};
// clang-format on

TEST(DeviceFolder, RefusesWhatCouldNeverBeMeantInOneLineNamingTheKey)
{
    qs_test::TempDevice device;
    const std::string folder = device.folder().string() + "/";
    for (const Refusal &row : kRefusals) {
        std::string text = row.text;
        for (size_t at; (at = text.find("\\n")) != std::string::npos;)
            text.replace(at, 2, "\n");
        std::filesystem::remove(folder + "state.json");
        std::ofstream(folder + "device.json")
            << (row.file == std::string("state.json") ? "{}" : text);
        std::ofstream(folder + row.file) << text;
        std::string reason = "opens";
        try {
            sim::Device::Open(folder);
        } catch (const sim::DeviceError &e) {
            reason = e.what();
        }
        EXPECT_EQ(reason.find('\n'), std::string::npos) << reason;
        EXPECT_EQ(sim::ReadWholeFile(folder + row.file), text);
        if (reason.rfind(folder, 0) == 0)
            reason.erase(0, folder.size());
        EXPECT_EQ(reason, row.answer) << row.file << " " << row.text;
    }
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
                                  {"path": "flashdisk/BINFS_CHECK.log", "after_bytes": 0}],
                  "short_reads": [{"path": "\\NAND\\c.bin", "after_bytes": 5}]},
        "heap": {"limit_bytes": 4096},
        "flash": {"present": false, "blocks": 9, "bad": [2, 8], "eboot_update": 7, "protect": false,
                  "faults": [{"op": "read", "block": 1, "sector": 64, "nth": 2},
                             {"code": "IOCTL_FMD_ERASE_BLOCK", "leaves": "torn"},
                             {"op": "write", "block": 2, "leaves": "untouched"},
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
    // Each field from its own key: two keys swapped on the way in and on the way out would still
    // write back what was read.
    const DeviceConfig read = DeviceConfig::FromJson(full);
    const sim::FlashTiming timing = read.flash.timing.value_or(sim::FlashTiming{});
    auto n = [](auto value) { return std::to_string(value); };
    EXPECT_EQ(
        read.clock.utc + " " + n(read.clock.localOffsetMinutes) + " " +
            n(int(read.files.findOrder)) + " " + n(read.files.dotEntries) + " " +
            n(read.files.mountAfterMs.at("flashdisk")) + " " +
            n(read.files.corruptCopies.at(0).copies) + " " +
            n(read.files.corruptCopies.at(0).offset) + " " +
            n(read.files.failCopies.at(0).afterBytes) + " " +
            n(read.files.failWrites.at(0).afterBytes) + " " +
            n(read.files.shortReads.at(0).afterBytes) + " " + n(read.heap.limitBytes.value_or(0)) +
            " " + n(read.flash.blocks) + " " + n(read.flash.ebootUpdate) + " " +
            n(timing.pageReadUs) + " " + n(timing.pageProgramUs) + " " + n(timing.blockEraseUs) +
            " " + n(read.power.bootKey) + " " + n(read.power.serial) + " " +
            read.store.partitions.at(1).fileSystem + " " + n(read.store.partitions.at(1).sectors),
        "2027-01-31T23:59:59Z 90 2 0 250 2 10 70000 3 5 4096 9 7 25 4294967295 2000 16 -5 "
        "FAT 4294967296");

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
