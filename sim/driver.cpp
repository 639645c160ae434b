#include "sim/driver.h"

#include <cstring>

namespace sim {

Driver::Driver(std::string name, std::vector<NamedCode> codes, std::vector<FaultSpec> faults,
               const std::string &section)
    : name_(std::move(name)),
      codes_(std::move(codes)),
      faults_(std::move(faults), codes_, section.empty() ? name_ : section)
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
    if (std::optional<FailureLeaves> leaves = faults_.Fired({request.code, {}, {}, {}}))
        return FailRequest(request, *leaves);
    return Control(request);
}

bool Driver::FailRequest(IoRequest &, FailureLeaves)
{
    return false;
}

std::string Driver::FaultPlace(const IoRequest &) const
{
    return {};
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

bool Driver::Refuse(IoRequest &request, uint32_t error)
{
    request.error = error;
    return false;
}

bool Driver::InputWord(IoRequest &request, uint32_t &word)
{
    if (request.in.size() != 4)
        return Refuse(request, kErrorInvalidParameter);
    word = uint32_t(request.in[0]) | uint32_t(request.in[1]) << 8 | uint32_t(request.in[2]) << 16 |
           uint32_t(request.in[3]) << 24;
    return true;
}

bool Driver::Output(IoRequest &request, const void *data, uint32_t size)
{
    if (request.out.size() < size)
        return Refuse(request, kErrorInvalidParameter);
    std::memcpy(request.out.data(), data, size);
    request.bytesReturned = size;
    return true;
}

}  // namespace sim
