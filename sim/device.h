// One simulated device, kept in a device folder between boots.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "sim/clock.h"
#include "sim/config.h"
#include "sim/driver.h"
#include "sim/journal.h"

namespace sim {

// Case-insensitive (ASCII) ordering for driver names and device paths.
struct CaselessLess {
    bool operator()(const std::string &a, const std::string &b) const;
};

std::string FoldCase(std::string text);

class Device {
public:
    // Loads device.json (defaults when absent) and state.json from an existing folder; creates
    // root/ when missing, and adds the drivers it describes. An unusable folder throws DeviceError
    // with a one-line reason.
    static std::unique_ptr<Device> Open(const std::filesystem::path &folder);
    // Writes the given configuration as device.json into a new or empty folder and opens it.
    static std::unique_ptr<Device> Create(const std::filesystem::path &folder,
                                          const nlohmann::json &deviceJson);

    const std::filesystem::path &Folder() const { return folder_; }
    // The device goes on in another folder that holds the same files (a forked sweep's child in
    // its own copy): it is saved there.
    void MoveTo(const std::filesystem::path &folder) { folder_ = folder; }
    std::filesystem::path Root() const { return folder_ / "root"; }
    const DeviceConfig &Config() const { return config_; }
    VirtualClock &Clock() { return clock_; }
    Journal &Events() { return journal_; }

    // One entry of this boot's debug log, exactly as printed (UTF-8); journaled as well.
    void AppendDebugLog(const std::string &text);
    const std::string &DebugLog() const { return debugLog_; }

    // A section of state.json owned by something other than a driver ("files").
    nlohmann::json &StateSection(const std::string &key);

    // The storage manager is no driver, but its faults count calls all the same.
    FaultList &StoreFaults() { return storeFaults_; }

    // An absent driver is installed, so that its storage stays reachable, but no open finds it.
    void AddDriver(std::unique_ptr<Driver> driver, bool present = true);
    // The driver that an open of name reaches: none when there is no such driver, or when
    // device.json marks it absent, which is journaled as a fault.
    Driver *FindDriver(const std::string &name);
    // Any installed driver, present or not.
    Driver *InstalledDriver(const std::string &name);

    // Writes back what the drivers hold in memory (the flash's changed blocks into nand.bin),
    // then state.json, debug.log and journal.jsonl, each replaced whole.
    void Save();

private:
    Device(std::filesystem::path folder, DeviceConfig config, nlohmann::json state);

    std::filesystem::path folder_;
    DeviceConfig config_;
    nlohmann::json state_;
    VirtualClock clock_;
    Journal journal_;
    std::string debugLog_;
    FaultList storeFaults_;
    std::map<std::string, std::unique_ptr<Driver>, CaselessLess> drivers_;
    std::set<std::string, CaselessLess> absent_;
};

// Writes a file through a temporary beside it and a rename, so it is never half-written.
void WriteFileAtomically(const std::filesystem::path &file, const std::string &content);
std::string ReadWholeFile(const std::filesystem::path &file);  // throws DeviceError

}  // namespace sim
