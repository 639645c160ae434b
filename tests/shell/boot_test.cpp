// Whole boots on a fresh device, each row's journal against tests/golden/shell_boot_NAME.log: the
// debug log, the drivers' opens and control codes in order, the pauses, the program starts and
// the peripheral lines on standard output. The clock starts at 08:30:00 UTC.
#include "devkit/bin_image.h"
#include "devkit/update_package.h"
#include "platform/host/call_faults.h"
#include "shell/devices.h"
#include "tests/shell/boot_fixture.h"

// Named, so that the area's files can share one unity build.
namespace boot_test {
namespace {

using nlohmann::json;
using qs_test::BootTest;

struct BootRow {
    const char *name;
    json device;
    bool mainApplication = true;
    bool productShell = true;
    bool offerImage = false;                     // an NK image in the update folder
    std::map<std::string, std::string> files{};  // what they hold after the boot
};

void PrintTo(const BootRow &row, std::ostream *out)
{
    *out << row.name;
}

class WholeBoot : public qs_test::BootTest, public testing::WithParamInterface<BootRow> {};

const char *kProductShell = "\\windows\\K290DFunctionTest.exe";
const char *kMain = "\\NAND\\APPS\\LumTask.exe";

// How often the boot looked for the function-test program (a search) and the main application
// (an open): neither leaves a journal event.
std::string Probes()
{
    size_t product = 0, main = 0;
    for (const ce_host::FallibleCallRecord &call : ce_host::FallibleCalls()) {
        const bool search = call.call == "FindFirstFileW", open = call.call == "CreateFileW";
        product += search && sim::FoldCase(call.target) == sim::FoldCase(kProductShell) ? 1 : 0;
        main += open && sim::FoldCase(call.target) == sim::FoldCase(kMain) ? 1 : 0;
    }
    return "probes: function-test program " + std::to_string(product) + ", main application " +
           std::to_string(main);
}

TEST_P(WholeBoot, JournalAsGolden)
{
    const BootRow &row = GetParam();
    MakeDevice(row.device, row.mainApplication, row.productShell);
    if (row.offerImage) {
        devkit::BinImageLayout layout;
        layout.image.assign(0x30000, 0x5A);
        devkit::WriteBinImage(device().folder() / "nk.bin", layout);
        devkit::PlacePackage(device().folder(), {device().folder() / "nk.bin", std::nullopt, "1"});
    }
    EXPECT_EQ(Boot(), 0);
    qs_test::Lines lines = Journal();
    lines.push_back(Probes());
    qs_test::ExpectGoldenLog(lines, std::string("shell_boot_") + row.name);
    for (const auto &[path, content] : row.files)
        EXPECT_EQ(device().ReadFile(path), content) << path;
    qs_test::ExpectNothingHeld();
}

json Key(int key, const json &more = json::object())
{
    json device = {{"power", {{"boot_key", key}}}};
    device.merge_patch(more);
    return device;
}
json Fail(const char *program)
{
    return {{"programs", {{"fail", {program}}}}};
}
json PowerFault(int code)
{
    return Key(16, {{"power", {{"faults", {{{"code", code}}}}}}});
}
json Late(const char *volume, int ms)
{
    return {{"files", {{"mount_after_ms", {{volume, ms}}}}}};
}
json Peripheral(const json &peripheral)
{
    return Key(16, {{"peripheral", peripheral}});
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, WholeBoot,
    testing::Values(
        // Each driver opened for reading and writing without sharing, OPEN_EXISTING, flags 0; the
        // flag and the serial-number query on one open of the power controller.
        BootRow{"NothingOffered", Key(3)},
        // The peripheral switch (flags 0x80) before the start, then the run ends: no flag, no
        // serial number, no end line.
        BootRow{"ProductShellStarts", Key(16)},
        BootRow{"ProductShellFails", Key(16, Fail(kProductShell))},
        // Twenty probes back to back, silently.
        BootRow{"ProductShellAbsent", Key(16), true, false},
        BootRow{"BootKey17", Key(17)},
        // Flag 0; the serial number as a signed decimal (the word 0xFFFFFFFB).
        BootRow{"MainApplicationFails", Key(0, {{"programs", {{"fail", {kMain}}}},
                                                {"power", {{"serial", 4294967291}}}})},
        // Twenty probes 100 ms apart, then the flag 0.
        BootRow{"MainApplicationAbsent", Key(0), false, false},
        BootRow{"MainApplicationHeldOpenElsewhere", {{"files", {{"locked", {kMain}}}}}},
        // Back-to-back probes do not move the clock: a volume a millisecond late is never seen.
        BootRow{"ProductShellVolumeOneMsLate", Key(16, Late("windows", 1))},
        BootRow{"MainVolumeOnTheLastProbe", Late("NAND", 1900)},
        BootRow{"MainVolumeJustTooLate", Late("NAND", 1901)},
        BootRow{"PowerControllerAbsent", {{"power", {{"present", false}}}}},
        // Boot key 16, but no function-test program: each failing code logs its line.
        BootRow{"UpdateModeFails", PowerFault(1045), true, false},
        BootRow{"BootKeyQueryFails", PowerFault(565), true, false},
        BootRow{"AppExecuteFlagFails", PowerFault(773), true, false},
        BootRow{"SerialQueryFails", PowerFault(1281), true, false},
        BootRow{"PeripheralAbsent", Peripheral({{"present", false}})},
        BootRow{"PeripheralPowerFails", Peripheral({{"faults", {{{"code", 20044}}}}})},
        BootRow{"PeripheralResetFails", Peripheral({{"faults", {{{"code", 20052}}}}})},
        // Local time 10:00 beside UTC 08:30: the start and launch lines take UTC. The BINFS
        // check's local-time line is the BINFS table's.
        BootRow{"LocalTimeAheadOfUtc",
                Key(16, {{"clock", {{"local_offset_minutes", 90}}},
                         {"programs", {{"fail", {kProductShell}}}}})},
        // DSK1: opened once by the update and once by the serial-number check; the restart
        // request's open of the power controller with flags 0x80. No cue is on the device.
        BootRow{"ImageWritten", {{"flash", {{"blocks", 64}}}}, true, true, true}),
    [](const testing::TestParamInfo<BootRow> &info) { return std::string(info.param.name); });
// clang-format on

// The boot ignores the peripheral switch's result; it is 1 only when both words were taken.
TEST_F(BootTest, PeripheralSwitchResult)
{
    for (const auto &[peripheral, result] : std::vector<std::pair<const char *, DWORD>>{
             {"{}", 1}, {R"({"present": false})", 0}, {R"({"faults": [{"code": 20052}]})", 0}}) {
        MakeDevice({{"peripheral", json::parse(peripheral)}});
        EXPECT_EQ(QKPDeviceControl(9, 1), result) << peripheral;
    }
}

}  // namespace
}  // namespace boot_test
