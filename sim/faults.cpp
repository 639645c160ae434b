#include "sim/faults.h"

#include "sim/error.h"
#include "sim/json_reader.h"

namespace sim {

FaultSpec FaultSpec::FromJson(const nlohmann::json &j, const std::string &where)
{
    JsonReader reader(j, where);
    FaultSpec spec;
    if (const nlohmann::json *code = reader.Optional("code")) {
        if (code->is_string())
            spec.codeName = code->get<std::string>();
        else
            spec.code = reader.Uint32("code");
    }
    reader.String("op", spec.op);
    spec.block = reader.OptionalUint32("block");
    spec.sector = reader.OptionalUint32("sector");
    spec.nth = reader.OptionalUint32("nth");
    spec.offset = reader.OptionalUint32("offset");
    reader.RejectUnknown();
    if (!spec.code && spec.codeName.empty() && spec.op.empty())
        throw DeviceError(where + ": a fault names a \"code\" or an \"op\"");
    if (spec.nth && *spec.nth == 0)
        throw DeviceError(where + ".nth: counts from 1");
    return spec;
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

FaultList::FaultList(std::vector<FaultSpec> specs, const std::vector<NamedCode> &codes,
                     const std::string &section)
{
    for (FaultSpec &spec : specs) {
        if (!spec.codeName.empty()) {
            for (const NamedCode &named : codes)
                if (spec.codeName == named.name)
                    spec.code = named.code;
            if (!spec.code)
                throw DeviceError(section + ".faults: unknown control code \"" + spec.codeName +
                                  "\"");
        }
        entries_.push_back({std::move(spec)});
    }
}

namespace {

bool Matches(const FaultSpec &spec, const FaultQuery &query)
{
    if (spec.code && spec.code != query.code)
        return false;
    if (!spec.op.empty() && spec.op != query.op)
        return false;
    if (spec.block && spec.block != query.block)
        return false;
    if (spec.sector && spec.sector != query.sector)
        return false;
    return true;
}

}  // namespace

bool FaultList::Hit(const FaultQuery &query)
{
    bool fired = false;
    for (Entry &entry : entries_) {
        if (!Matches(entry.spec, query))
            continue;
        ++entry.seen;
        if (!entry.spec.nth || *entry.spec.nth == entry.seen)
            fired = true;
    }
    return fired;
}

}  // namespace sim
