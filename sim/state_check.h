// state.json is read as strictly as device.json: what a boot remembers is never guessed at.
#pragma once

#include <filesystem>

#include <nlohmann/json.hpp>

namespace sim {

// Throws DeviceError naming the first unusable key ("power.update_mode: expected a whole
// number"); the caller adds the file's name.
void CheckState(const nlohmann::json &state);

// Reads and checks a device folder's state.json (an empty object when there is none); a problem
// throws DeviceError naming the file. Sections no longer kept are left out.
nlohmann::json LoadStateFile(const std::filesystem::path &file);

}  // namespace sim
