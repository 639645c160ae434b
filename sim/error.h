// The one exception type of the simulator: a device folder or its description is unusable.
#pragma once

#include <stdexcept>
#include <string>

namespace sim {

class DeviceError : public std::runtime_error {
public:
    explicit DeviceError(const std::string &what) : std::runtime_error(what) {}
};

}  // namespace sim
