#include "sim/standard_drivers.h"

#include "sim/braille_display.h"
#include "sim/device.h"
#include "sim/flash_driver.h"
#include "sim/peripheral_switch.h"
#include "sim/power_controller.h"

namespace sim {

void AddStandardDrivers(Device &device)
{
    const DeviceConfig &config = device.Config();
    // An absent flash disk keeps its driver: the runner and the tools still read its flash.
    auto flash = std::make_unique<FlashDriver>(config.flash, device.Folder() / "nand.bin");
    flash->AttachClock(&device.Clock());
    device.AddDriver(std::move(flash), config.flash.present);
    if (config.power.present)
        device.AddDriver(std::make_unique<PowerController>(config.power));
    if (config.peripheral.present)
        device.AddDriver(std::make_unique<PeripheralSwitch>(config.peripheral));
    if (config.braille.present)
        device.AddDriver(std::make_unique<BrailleDisplay>(config.braille));
}

}  // namespace sim
