#include "sim/faults.h"

#include <algorithm>

#include "sim/error.h"
#include "sim/flash_array.h"
#include "sim/flash_driver.h"
#include "sim/json_reader.h"

namespace sim {

namespace {

constexpr std::pair<FailureLeaves, const char *> kLeavesNames[] = {
    {FailureLeaves::Untouched, "untouched"},
    {FailureLeaves::Torn, "torn"},
};

std::optional<FailureLeaves> ReadLeaves(JsonReader &reader)
{
    const nlohmann::json *value = reader.Optional("leaves");
    if (!value)
        return std::nullopt;
    for (const auto &[leaves, name] : kLeavesNames)
        if (*value == name)
            return leaves;
    throw DeviceError(reader.Where("leaves") + ": expected \"untouched\" or \"torn\"");
}

}  // namespace

FaultSpec FaultSpec::FromJson(const nlohmann::json &j, const std::string &where)
{
    JsonReader reader(j, where);
    FaultSpec fault;
    if (const nlohmann::json *code = reader.Optional("code")) {
        if (code->is_string())
            fault.codeName = code->get<std::string>();
        else
            fault.code = reader.Uint32("code");
    }
    reader.String("op", fault.op);
    fault.block = reader.OptionalUint32("block");
    fault.sector = reader.OptionalUint32("sector");
    fault.nth = reader.OptionalUint32("nth");
    fault.offset = reader.OptionalUint32("offset");
    fault.leaves = ReadLeaves(reader);
    reader.RejectUnknown();
    if (!fault.code && fault.codeName.empty() && fault.op.empty())
        throw DeviceError(where + ": a fault names a \"code\" or an \"op\"");
    if (fault.nth && *fault.nth == 0)
        throw DeviceError(where + ".nth: counts from 1");
    return fault;
}

nlohmann::json FaultSpec::ToJson() const
{
    nlohmann::json j = nlohmann::json::object();
    if (code)
        j["code"] = *code;
    else if (!codeName.empty())
        j["code"] = codeName;
    if (!op.empty())
        j["op"] = op;
    if (block)
        j["block"] = *block;
    if (sector)
        j["sector"] = *sector;
    if (nth)
        j["nth"] = *nth;
    if (offset)
        j["offset"] = *offset;
    if (leaves)
        j["leaves"] = kLeavesNames[size_t(*leaves)].second;
    return j;
}

FaultScope FlashFaultScope(uint32_t blocks)
{
    // Erase and status name a block: the driver asks them about no sector.
    return {"flash",
            true,
            {{"erase", true, false, false, true},
             {"write", true, true, false, true},
             {"read", true, true},
             {"status", true, false},
             {"corrupt", true, true, true}},
            blocks,
            {{FlashDriver::kEraseBlock, "IOCTL_FMD_ERASE_BLOCK"},
             {FlashDriver::kWriteSector, "IOCTL_FMD_WRITE_SECTOR"}}};
}

FaultScope StoreFaultScope()
{
    return {"store", false, {{"open"}, {"partition"}, {"close"}}, 0};
}

FaultScope CodeFaultScope(std::string section)
{
    return {std::move(section), true, {}, 0};
}

std::string FaultWhere(const std::string &section, size_t index)
{
    return section + ".faults[" + std::to_string(index) + "]";
}

namespace {

// "a, b or c"
std::string OpNames(const std::vector<FaultOp> &ops)
{
    std::string names;
    for (size_t i = 0; i < ops.size(); ++i)
        names += (i == 0 ? "" : i + 1 == ops.size() ? " or " : ", ") + std::string(ops[i].name);
    return names;
}

// Why a fault can never fire; empty when it can.
std::string Unreachable(const FaultSpec &fault, const FaultScope &scope)
{
    bool code = fault.code || !fault.codeName.empty();
    if (code && !fault.op.empty())
        return "a fault names a code or an op, not both";
    if (code) {
        if (!scope.codes)
            return "the " + scope.section + " answers no control codes; name an op (" +
                   OpNames(scope.ops) + ")";
        if (fault.block)
            return "a fault on a control code cannot name a block";
        if (fault.sector)
            return "a fault on a control code cannot name a sector";
        if (fault.offset)
            return "a fault on a control code cannot name an offset";
        return {};
    }
    auto op = std::find_if(scope.ops.begin(), scope.ops.end(),
                           [&](const FaultOp &known) { return fault.op == known.name; });
    if (op == scope.ops.end())
        return "unknown op \"" + fault.op + "\" (" +
               (scope.ops.empty() ? scope.section + " faults name a control code"
                                  : OpNames(scope.ops)) +
               ")";
    std::string kind =
        (std::string("aeiou").find(fault.op[0]) == std::string::npos ? "a " : "an ") + fault.op;
    if (fault.block && !op->block)
        return kind + " fault cannot name a block";
    if (fault.sector && !op->sector)
        return kind + " fault cannot name a sector";
    uint32_t sectors = scope.flashBlocks * kSectorsPerBlock;
    if (fault.block && *fault.block >= scope.flashBlocks)
        return "block " + std::to_string(*fault.block) + " is beyond the " +
               std::to_string(scope.flashBlocks) + " blocks of the flash";
    if (fault.sector && *fault.sector >= sectors)
        return "sector " + std::to_string(*fault.sector) + " is beyond the " +
               std::to_string(sectors) + " sectors of the flash";
    if (fault.block && fault.sector && *fault.sector / kSectorsPerBlock != *fault.block)
        return "sector " + std::to_string(*fault.sector) + " is not in block " +
               std::to_string(*fault.block);
    if (op->offset && (!fault.offset || *fault.offset >= kSectorRecordSize))
        return kind + " fault needs an offset from 0 to " + std::to_string(kSectorRecordSize - 1);
    if (!op->offset && fault.offset)
        return "only a corrupt fault takes an offset";
    return {};
}

// The fault fails an erase or a program, which may leave the flash changed.
bool Tears(const FaultSpec &fault, const FaultScope &scope)
{
    for (const FaultOp &op : scope.ops)
        if (op.tears && fault.op == op.name)
            return true;
    for (const NamedCode &code : scope.tearingCodes)
        if (fault.code == code.code || fault.codeName == code.name)
            return true;
    return false;
}

}  // namespace

void CheckFaults(const std::vector<FaultSpec> &faults, const FaultScope &scope)
{
    for (size_t i = 0; i < faults.size(); ++i) {
        if (std::string why = Unreachable(faults[i], scope); !why.empty())
            throw DeviceError(FaultWhere(scope.section, i) + ": " + why);
        if (faults[i].leaves && !Tears(faults[i], scope))
            throw DeviceError(FaultWhere(scope.section, i) +
                              ".leaves: only a fault on an erase or a sector write says what "
                              "it leaves");
    }
}

FaultList::FaultList(std::vector<FaultSpec> faults, const std::vector<NamedCode> &codes,
                     const std::string &section)
{
    for (size_t i = 0; i < faults.size(); ++i) {
        FaultSpec &fault = faults[i];
        if (!fault.codeName.empty()) {
            for (const NamedCode &named : codes)
                if (fault.codeName == named.name)
                    fault.code = named.code;
            if (!fault.code)
                throw DeviceError(FaultWhere(section, i) + ": unknown control code \"" +
                                  fault.codeName + "\"");
        }
        entries_.push_back({std::move(fault)});
    }
}

namespace {

bool Matches(const FaultSpec &fault, const FaultQuery &query)
{
    if (fault.code && fault.code != query.code)
        return false;
    if (!fault.op.empty() && fault.op != query.op)
        return false;
    if (fault.block && fault.block != query.block)
        return false;
    if (fault.sector && fault.sector != query.sector)
        return false;
    return true;
}

}  // namespace

std::optional<FailureLeaves> FaultList::Fired(const FaultQuery &query)
{
    std::optional<FailureLeaves> fired;
    for (Entry &entry : entries_) {
        if (!Matches(entry.fault, query))
            continue;
        ++entry.seen;
        if (entry.fault.nth && *entry.fault.nth != entry.seen)
            continue;
        // Two faults fire at once: the harsher one says what the flash holds.
        FailureLeaves leaves = entry.fault.leaves.value_or(FailureLeaves::Untouched);
        fired = std::max(fired.value_or(leaves), leaves);
    }
    return fired;
}

}  // namespace sim
