// One boot or command at a time on a device folder.
#pragma once

#include <filesystem>

namespace sim {

// An exclusive lock on the device folder itself, held for the object's life. Two boots of one
// folder would mix their flash writes and state, so a second taker fails at once rather than
// waiting.
class DeviceLock {
public:
    // Throws DeviceError with one line when another boot or command holds the folder.
    explicit DeviceLock(const std::filesystem::path &folder);
    ~DeviceLock();
    DeviceLock(const DeviceLock &) = delete;
    DeviceLock &operator=(const DeviceLock &) = delete;

private:
    int fd_ = -1;
};

}  // namespace sim
