// One boot or command at a time on a device folder.
#pragma once

#include <filesystem>
#include <set>

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

    // In a process just forked from a holder: lets go of this process's share of every lock, so
    // that the locks end with the holder and not with the last of its children. The holder keeps
    // them.
    static void LeaveToParent();

private:
    int fd_ = -1;
    static std::set<DeviceLock *> held_;
};

}  // namespace sim
