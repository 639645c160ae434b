#include "sim/json_reader.h"

#include <limits>

#include "sim/error.h"

namespace sim {

namespace {

std::string LineOf(const std::string &text, size_t offset)
{
    size_t line = 1;
    for (size_t i = 0; i < offset && i < text.size(); ++i)
        if (text[i] == '\n')
            ++line;
    return "line " + std::to_string(line);
}

}  // namespace

nlohmann::json ParseJsonDocument(const std::string &text)
{
    try {
        return nlohmann::json::parse(text);
    } catch (const nlohmann::json::parse_error &e) {
        throw DeviceError("not valid JSON at " + LineOf(text, e.byte == 0 ? 0 : e.byte - 1));
    } catch (const nlohmann::json::out_of_range &) {
        // A number past the range of a double ("1e999"): the parser names no place for it.
        throw DeviceError("not valid JSON: a number out of range");
    }
}

JsonReader::JsonReader(const nlohmann::json &object, std::string where)
    : object_(object), where_(std::move(where))
{
    if (!object_.is_object())
        throw DeviceError(where_.empty() ? "expected an object" : where_ + ": expected an object");
}

std::string JsonReader::Where(const std::string &key) const
{
    return where_.empty() ? key : where_ + "." + key;
}

const nlohmann::json *JsonReader::Optional(const std::string &key)
{
    seen_.insert(key);
    auto found = object_.find(key);
    return found == object_.end() ? nullptr : &*found;
}

void JsonReader::Bool(const std::string &key, bool &value)
{
    if (const nlohmann::json *v = Optional(key)) {
        if (!v->is_boolean())
            throw DeviceError(Where(key) + ": expected true or false");
        value = v->get<bool>();
    }
}

void JsonReader::String(const std::string &key, std::string &value)
{
    if (const nlohmann::json *v = Optional(key)) {
        if (!v->is_string())
            throw DeviceError(Where(key) + ": expected a string");
        value = v->get<std::string>();
    }
}

void JsonReader::Int(const std::string &key, int64_t &value, int64_t min, int64_t max)
{
    const nlohmann::json *v = Optional(key);
    if (!v)
        return;
    if (!v->is_number_integer())
        throw DeviceError(Where(key) + ": expected a whole number");
    bool inRange = v->is_number_unsigned() ? v->get<uint64_t>() <= uint64_t(max)
                                           : v->get<int64_t>() >= min && v->get<int64_t>() <= max;
    if (!inRange)
        throw DeviceError(Where(key) + ": out of range " + std::to_string(min) + " to " +
                          std::to_string(max));
    value = v->get<int64_t>();
}

uint32_t JsonReader::Uint32(const std::string &key)
{
    int64_t value = 0;
    Int(key, value, 0, std::numeric_limits<uint32_t>::max());
    return uint32_t(value);
}

std::optional<uint32_t> JsonReader::OptionalUint32(const std::string &key)
{
    if (object_.find(key) == object_.end()) {
        seen_.insert(key);
        return std::nullopt;
    }
    return Uint32(key);
}

void JsonReader::Uint32(const std::string &key, uint32_t &value)
{
    if (std::optional<uint32_t> v = OptionalUint32(key))
        value = *v;
}

void JsonReader::Uint64(const std::string &key, uint64_t &value)
{
    const nlohmann::json *v = Optional(key);
    if (!v)
        return;
    if (!v->is_number_unsigned() && !(v->is_number_integer() && v->get<int64_t>() >= 0))
        throw DeviceError(Where(key) + ": expected a whole number, 0 or more");
    value = v->get<uint64_t>();
}

void JsonReader::StringList(const std::string &key, std::vector<std::string> &values)
{
    const nlohmann::json *v = Optional(key);
    if (!v)
        return;
    if (!v->is_array())
        throw DeviceError(Where(key) + ": expected a list of strings");
    values.clear();
    for (const auto &item : *v) {
        if (!item.is_string())
            throw DeviceError(Where(key) + ": expected a list of strings");
        values.push_back(item.get<std::string>());
    }
}

void JsonReader::Uint32List(const std::string &key, std::vector<uint32_t> &values)
{
    const nlohmann::json *v = Optional(key);
    if (!v)
        return;
    if (!v->is_array())
        throw DeviceError(Where(key) + ": expected a list of numbers");
    values.clear();
    for (const auto &item : *v) {
        if (!item.is_number_integer() || item.get<int64_t>() < 0 ||
            item.get<int64_t>() > 0xFFFFFFFF)
            throw DeviceError(Where(key) + ": expected a list of numbers, 0 or more");
        values.push_back(item.get<uint32_t>());
    }
}

void JsonReader::RejectUnknown() const
{
    for (const auto &[key, value] : object_.items())
        if (!seen_.contains(key))
            throw DeviceError(Where(key) + ": unknown key");
}

}  // namespace sim
