// What a simulated device is: the parsed device.json with its defaults.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/faults.h"

namespace sim {

enum class FindOrder { Name, Reverse, Created };

struct ClockConfig {
    std::string utc = "2026-12-05T08:30:00Z";
    int localOffsetMinutes = 0;
};

// The first `copies` copies of the source come out with the byte at `offset` inverted.
struct CorruptCopy {
    std::string path;
    uint32_t copies = 0;
    uint64_t offset = 0;
};

// A fault on one file that acts once `afterBytes` bytes of it are reached.
struct AfterBytesFault {
    std::string path;
    uint64_t afterBytes = 0;
};
// Every copy of the source fails once `afterBytes` bytes of it are written.
using FailCopy = AfterBytesFault;
// A write to the file fails as on a full disk once the file would pass `afterBytes` bytes.
using FailWrite = AfterBytesFault;
// Reads of the file deliver nothing past `afterBytes` though its size says more: a medium whose
// file ends early.
using ShortRead = AfterBytesFault;

struct FilesConfig {
    FindOrder findOrder = FindOrder::Name;
    bool dotEntries = true;
    std::vector<std::string> locked;  // device paths held open elsewhere
    // Root folder -> virtual milliseconds after the boot began at which it mounts.
    std::map<std::string, uint32_t> mountAfterMs;
    std::vector<CorruptCopy> corruptCopies;
    std::vector<FailCopy> failCopies;
    std::vector<FailWrite> failWrites;
    std::vector<ShortRead> shortReads;
};

struct HeapConfig {
    // A device-sized RAM unless device.json says otherwise; none when it says null.
    std::optional<uint64_t> limitBytes = uint64_t{64} << 20;
};

// What each flash operation costs on the part, charged to the virtual clock: a sector read is a
// page read, a sector write a page program.
struct FlashTiming {
    uint32_t pageReadUs = 0;
    uint32_t pageProgramUs = 0;
    uint32_t blockEraseUs = 0;
};

struct FlashConfig {
    bool present = true;  // false: DSK1: and its store cannot be opened
    uint32_t blocks = 512;
    std::vector<uint32_t> bad;
    uint32_t ebootUpdate = 1;
    bool protect = true;
    std::vector<FaultSpec> faults;
    std::optional<FlashTiming> timing;  // none: the flash takes no time
};

struct PowerConfig {
    bool present = true;
    uint32_t bootKey = 0;
    int64_t serial = 20240315;
    std::vector<FaultSpec> faults;
};

struct PeripheralConfig {
    bool present = true;
    std::vector<FaultSpec> faults;
};

struct BrailleConfig {
    bool present = true;
    std::vector<FaultSpec> faults;
};

// The partition's names fit PARTINFO's 32-character fields with their terminator.
constexpr size_t kMaxPartitionNameLength = 31;

struct PartitionConfig {
    std::string name;
    std::string fileSystem;
    uint64_t sectors = 0;
};

struct StoreConfig {
    bool present = true;
    std::vector<FaultSpec> faults;
    std::vector<PartitionConfig> partitions{{"Part00", "BINFS", 21952}};
};

struct ProgramsConfig {
    std::vector<std::string> fail;
};

struct DeviceConfig {
    ClockConfig clock;
    FilesConfig files;
    HeapConfig heap;
    FlashConfig flash;
    PowerConfig power;
    PeripheralConfig peripheral;
    BrailleConfig braille;
    StoreConfig store;
    ProgramsConfig programs;

    // Strict: an unknown key or a value of the wrong kind throws ConfigError naming it.
    static DeviceConfig FromJson(const nlohmann::json &doc);
    // Parses text; a syntax error names its line.
    static DeviceConfig Parse(const std::string &text);
    static DeviceConfig Load(const std::filesystem::path &file);

    nlohmann::json ToJson() const;
};

}  // namespace sim
