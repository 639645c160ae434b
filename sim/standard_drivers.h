// The drivers of a device as its device.json describes them.
#pragma once

namespace sim {

class Device;

// Adds every driver that the configuration marks present.
void AddStandardDrivers(Device &device);

}  // namespace sim
