// Faults in device.json that could never fire, and flash sizes that make no flash, are refused
// with one line that names the section, the fault's index and why.
#include <gtest/gtest.h>

#include "sim/config.h"
#include "sim/error.h"
#include "sim/flash_driver.h"
#include "sim/peripheral_switch.h"
#include "sim/power_controller.h"

namespace {

using nlohmann::json;

// Reads the description and builds its drivers as a boot does; the reason it is refused, or
// empty. The flash stays unmade: nand.bin is only created on first use.
std::string RefusalOf(const json &description)
{
    try {
        sim::DeviceConfig config = sim::DeviceConfig::FromJson(description);
        sim::FlashDriver flash(config.flash, std::filesystem::path());
        sim::PowerController power(config.power);
        sim::PeripheralSwitch peripheral(config.peripheral);
        sim::FaultList store(config.store.faults, {}, "store");
    } catch (const sim::DeviceError &e) {
        return e.what();
    }
    return {};
}

struct DescriptionCase {
    const char *name;
    const char *description;
    const char *refusal;  // empty: accepted
};

class DeviceDescription : public testing::TestWithParam<DescriptionCase> {};

TEST_P(DeviceDescription, IsRefusedWithItsReasonOrAccepted)
{
    EXPECT_EQ(RefusalOf(json::parse(GetParam().description)), GetParam().refusal);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeviceDescription,
    testing::Values(
        // The flash map needs blocks 0 to 6.
        DescriptionCase{"SixBlocks", R"({"flash": {"blocks": 6}})",
                        "flash.blocks: out of range 7 to 4096"},
        DescriptionCase{"NoBlocks", R"({"flash": {"blocks": 0}})",
                        "flash.blocks: out of range 7 to 4096"},
        DescriptionCase{"TooManyBlocks", R"({"flash": {"blocks": 4097}})",
                        "flash.blocks: out of range 7 to 4096"},
        DescriptionCase{"SevenBlocks", R"({"flash": {"blocks": 7}})", ""},
        DescriptionCase{"LargestFlashWithAFaultOnItsLastSector",
                        R"({"flash": {"blocks": 4096, "faults": [
                            {"op": "corrupt", "block": 4095, "sector": 262143, "offset": 2055}]}})",
                        ""},
        DescriptionCase{"EveryKindThatCanFire", R"({
            "flash": {"blocks": 8, "faults": [
                {"op": "erase", "block": 7}, {"op": "status", "block": 0},
                {"op": "write", "sector": 511, "nth": 2}, {"op": "read", "block": 1, "sector": 64},
                {"op": "corrupt", "sector": 0, "offset": 0}, {"code": "IOCTL_FMD_GET_EBOOT_UPDATE"},
                {"code": 466916}]},
            "power": {"faults": [{"code": "PWR_IOCTL_REBOOT", "nth": 1}, {"code": 1045}]},
            "peripheral": {"faults": [{"code": "QKP_IOCTL_RESET_CONTROL"}]},
            "store": {"faults": [{"op": "open"}, {"op": "partition", "nth": 3}]}})",
                        ""},

        // Unknown operations, counted from 0 among the section's faults.
        DescriptionCase{"MisspeltFlashOp",
                        R"({"flash": {"faults": [{"op": "erase"}, {"op": "read"},
                                                {"op": "erasee"}]}})",
                        "flash.faults[2]: unknown op \"erasee\" (erase, write, read, status or "
                        "corrupt)"},
        DescriptionCase{"StoreOpOnTheFlash", R"({"flash": {"faults": [{"op": "open"}]}})",
                        "flash.faults[0]: unknown op \"open\" (erase, write, read, status or "
                        "corrupt)"},
        DescriptionCase{"OpOnThePowerController", R"({"power": {"faults": [{"op": "read"}]}})",
                        "power.faults[0]: unknown op \"read\" (power faults name a control code)"},
        DescriptionCase{"OpOnThePeripheralSwitch",
                        R"({"peripheral": {"faults": [{"code": 20044}, {"op": "write"}]}})",
                        "peripheral.faults[1]: unknown op \"write\" (peripheral faults name a "
                        "control code)"},
        DescriptionCase{"FlashOpOnTheStore", R"({"store": {"faults": [{"op": "read"}]}})",
                        "store.faults[0]: unknown op \"read\" (open, partition or close)"},

        // Control codes.
        DescriptionCase{"UnknownFlashCodeName",
                        R"({"flash": {"faults": [{"code": "IOCTL_FMD_ERASE_BLOCK"},
                                                {"code": "IOCTL_FMD_FOO"}]}})",
                        "flash.faults[1]: unknown control code \"IOCTL_FMD_FOO\""},
        DescriptionCase{"UnknownPowerCodeName",
                        R"({"power": {"faults": [{"code": "PWR_IOCTL_FOO"}]}})",
                        "power.faults[0]: unknown control code \"PWR_IOCTL_FOO\""},
        DescriptionCase{"PowerCodeNameOnThePeripheralSwitch",
                        R"({"peripheral": {"faults": [{"code": "SET_OS_UPDATE_MODE"}]}})",
                        "peripheral.faults[0]: unknown control code \"SET_OS_UPDATE_MODE\""},
        DescriptionCase{"CodeOnTheStore", R"({"store": {"faults": [{"code": 1}]}})",
                        "store.faults[0]: the store answers no control codes; name an op (open, "
                        "partition or close)"},
        DescriptionCase{"CodeWithABlock", R"({"power": {"faults": [{"code": 1045, "block": 1}]}})",
                        "power.faults[0]: a fault on a control code cannot name a block"},
        DescriptionCase{
            "CodeNameWithASector",
            R"({"flash": {"faults": [{"code": "IOCTL_FMD_READ_SECTOR", "sector": 3}]}})",
            "flash.faults[0]: a fault on a control code cannot name a sector"},
        DescriptionCase{"CodeWithAnOffset",
                        R"({"flash": {"faults": [{"code": 466908, "offset": 3}]}})",
                        "flash.faults[0]: a fault on a control code cannot name an offset"},
        DescriptionCase{"CodeAndOp",
                        R"({"flash": {"faults": [{"code": "IOCTL_FMD_ERASE_BLOCK",
                                                  "op": "erase"}]}})",
                        "flash.faults[0]: a fault names a code or an op, not both"},

        // Places on the flash.
        DescriptionCase{"BlockBeyondTheFlash",
                        R"({"flash": {"blocks": 8, "faults": [{"op": "erase", "block": 8}]}})",
                        "flash.faults[0]: block 8 is beyond the 8 blocks of the flash"},
        DescriptionCase{"SectorBeyondTheFlash",
                        R"({"flash": {"blocks": 8, "faults": [{"op": "read", "sector": 512}]}})",
                        "flash.faults[0]: sector 512 is beyond the 512 sectors of the flash"},
        DescriptionCase{"SectorOutsideItsBlock",
                        R"({"flash": {"faults": [{"op": "write", "block": 1, "sector": 3}]}})",
                        "flash.faults[0]: sector 3 is not in block 1"},
        DescriptionCase{"EraseOfASector",
                        R"({"flash": {"faults": [{"op": "erase", "sector": 64}]}})",
                        "flash.faults[0]: an erase fault cannot name a sector"},
        DescriptionCase{"StatusOfASector",
                        R"({"flash": {"faults": [{"op": "status", "sector": 64}]}})",
                        "flash.faults[0]: a status fault cannot name a sector"},
        DescriptionCase{"StoreOpenOfABlock",
                        R"({"store": {"faults": [{"op": "open", "block": 0}]}})",
                        "store.faults[0]: an open fault cannot name a block"},

        // Offsets.
        DescriptionCase{"OffsetOnARead",
                        R"({"flash": {"faults": [{"op": "read", "sector": 1, "offset": 3}]}})",
                        "flash.faults[0]: only a corrupt fault takes an offset"},
        DescriptionCase{"CorruptWithoutOffset",
                        R"({"flash": {"faults": [{"op": "corrupt", "sector": 1}]}})",
                        "flash.faults[0]: a corrupt fault needs an offset from 0 to 2055"},
        DescriptionCase{"CorruptPastTheRecord",
                        R"({"flash": {"faults": [{"op": "corrupt", "offset": 2056}]}})",
                        "flash.faults[0]: a corrupt fault needs an offset from 0 to 2055"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
