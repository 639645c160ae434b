// Faults injected into driver calls, as device.json describes them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim {

// What a failed erase or program leaves of the flash: nothing changed, or the operation torn as
// a power cut tears it.
enum class FailureLeaves { Untouched, Torn };

// One fault: a control code (by number or by name) or a driver operation, optionally narrowed
// to a block or sector, and to the nth matching call (every matching call without nth).
struct FaultSpec {
    std::optional<uint32_t> code;
    std::string codeName;  // as written; resolved to code by the driver that owns the fault
    std::string op;
    std::optional<uint32_t> block;
    std::optional<uint32_t> sector;
    std::optional<uint32_t> nth;
    // For "op": "corrupt": the byte of a sector transfer record (0-2055) that a read changes.
    std::optional<uint32_t> offset;
    // For a fault that fails an erase or a sector write; untouched when not given.
    std::optional<FailureLeaves> leaves;

    static FaultSpec FromJson(const nlohmann::json &j, const std::string &where);
    nlohmann::json ToJson() const;
};

// What a driver call is, for matching against faults.
struct FaultQuery {
    std::optional<uint32_t> code;
    std::string op;
    std::optional<uint32_t> block;
    std::optional<uint32_t> sector;
};

struct NamedCode {
    uint32_t code;
    const char *name;
};

// An operation that a driver matches faults against, and what narrows it.
struct FaultOp {
    const char *name;
    bool block = false;   // may name a block
    bool sector = false;  // may name a sector
    bool offset = false;  // needs the offset of a byte in a sector record
    bool tears = false;   // changes the flash, so a failure may leave it torn
};

// What one device.json section can fault, so that a fault that could never fire is refused.
struct FaultScope {
    std::string section;       // "flash", "power", ...
    bool codes = true;         // the driver answers control codes
    std::vector<FaultOp> ops;  // none: control codes only
    uint32_t flashBlocks = 0;  // blocks and sectors that op faults may name lie below this
    std::vector<NamedCode> tearingCodes{};  // control codes that change the flash
};

FaultScope FlashFaultScope(uint32_t blocks);
FaultScope StoreFaultScope();
// A driver that is faulted by control code only.
FaultScope CodeFaultScope(std::string section);

// "flash.faults[2]"
std::string FaultWhere(const std::string &section, size_t index);
// Throws DeviceError naming the first fault that can never fire and why.
void CheckFaults(const std::vector<FaultSpec> &faults, const FaultScope &scope);

// The faults of one driver, each counting the calls that match it.
class FaultList {
public:
    FaultList() = default;
    // Resolves code names against the driver's table; an unknown name throws DeviceError naming
    // the section and the fault's index in it.
    FaultList(std::vector<FaultSpec> faults, const std::vector<NamedCode> &codes,
              const std::string &section);

    // Counts the call against every matching fault; true when one of them fires.
    bool Hit(const FaultQuery &query) { return Fired(query).has_value(); }
    // The same, with what the failure leaves: torn when any fault that fires says so.
    std::optional<FailureLeaves> Fired(const FaultQuery &query);

private:
    struct Entry {
        FaultSpec fault;
        uint32_t seen = 0;
    };
    std::vector<Entry> entries_;
};

}  // namespace sim
