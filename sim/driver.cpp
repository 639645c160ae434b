#include "sim/driver.h"

namespace sim {

Driver::Driver(std::string name, std::vector<NamedCode> codes, std::vector<FaultSpec> faults)
    : name_(std::move(name)), codes_(std::move(codes)), faults_(std::move(faults), codes_, name_)
{
}

std::string Driver::CodeName(uint32_t code) const
{
    for (const NamedCode &named : codes_)
        if (named.code == code)
            return named.name;
    return {};
}

bool Driver::Dispatch(IoRequest &request)
{
    if (faults_.Hit({request.code, {}, {}, {}}))
        return false;
    return Control(request);
}

bool Driver::Write(std::span<const uint8_t>)
{
    return false;
}

void Driver::LoadState(const nlohmann::json &) {}

nlohmann::json Driver::SaveState() const
{
    return nlohmann::json::object();
}

}  // namespace sim
