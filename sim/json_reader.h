// Strict reading of one JSON object: every key is consumed by name, leftovers are errors.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/error.h"

namespace sim {

// Parses a whole document; a syntax error throws DeviceError naming its line.
nlohmann::json ParseJsonDocument(const std::string &text);

class JsonReader {
public:
    // where names the object in messages ("flash", "power.faults[0]").
    JsonReader(const nlohmann::json &object, std::string where);

    const nlohmann::json *Optional(const std::string &key);
    void Bool(const std::string &key, bool &value);
    void String(const std::string &key, std::string &value);
    void Int(const std::string &key, int64_t &value, int64_t min, int64_t max);
    uint32_t Uint32(const std::string &key);
    std::optional<uint32_t> OptionalUint32(const std::string &key);
    void Uint32(const std::string &key, uint32_t &value);
    void Uint64(const std::string &key, uint64_t &value);
    void StringList(const std::string &key, std::vector<std::string> &values);
    void Uint32List(const std::string &key, std::vector<uint32_t> &values);
    // Each element of an array of objects, with its own reader.
    template <typename F>
    void Objects(const std::string &key, F &&each);
    template <typename F>
    void Object(const std::string &key, F &&read);

    std::string Where(const std::string &key) const;
    // Throws DeviceError naming the first key that nothing read.
    void RejectUnknown() const;

private:
    const nlohmann::json &object_;
    std::string where_;
    std::set<std::string> seen_;
};

template <typename F>
void JsonReader::Objects(const std::string &key, F &&each)
{
    const nlohmann::json *list = Optional(key);
    if (!list)
        return;
    if (!list->is_array())
        throw DeviceError(Where(key) + ": expected a list");
    for (size_t i = 0; i < list->size(); ++i)
        each((*list)[i], Where(key) + "[" + std::to_string(i) + "]");
}

template <typename F>
void JsonReader::Object(const std::string &key, F &&read)
{
    const nlohmann::json *value = Optional(key);
    if (!value)
        return;
    JsonReader nested(*value, Where(key));
    read(nested);
    nested.RejectUnknown();
}

}  // namespace sim
