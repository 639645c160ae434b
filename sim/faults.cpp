#include "sim/faults.h"

#include "sim/error.h"
#include "sim/json_reader.h"

namespace sim {

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
    return j;
}

FaultList::FaultList(std::vector<FaultSpec> faults, const std::vector<NamedCode> &codes,
                     const std::string &section)
{
    for (FaultSpec &fault : faults) {
        if (!fault.codeName.empty()) {
            for (const NamedCode &named : codes)
                if (fault.codeName == named.name)
                    fault.code = named.code;
            if (!fault.code)
                throw DeviceError(section + ".faults: unknown control code \"" + fault.codeName +
                                  "\"");
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

bool FaultList::Hit(const FaultQuery &query)
{
    bool fired = false;
    for (Entry &entry : entries_) {
        if (!Matches(entry.fault, query))
            continue;
        ++entry.seen;
        if (!entry.fault.nth || *entry.fault.nth == entry.seen)
            fired = true;
    }
    return fired;
}

}  // namespace sim
