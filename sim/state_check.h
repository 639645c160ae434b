// state.json is read as strictly as device.json: what a boot remembers is never guessed at.
#pragma once

#include <nlohmann/json.hpp>

namespace sim {

// Throws DeviceError naming the first unusable key ("power.update_mode: expected a whole
// number"); the caller adds the file's name.
void CheckState(const nlohmann::json &state);

}  // namespace sim
