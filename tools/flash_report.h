// What quordev inspect prints: a device's TOC, flags and block map, as text or as JSON.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "devkit/device_view.h"

namespace qs_tools {

std::string InspectText(const std::string &folder, const devkit::DeviceView &view);
// The fields are documented in README.md; keep them stable.
nlohmann::ordered_json InspectJson(const devkit::DeviceView &view);

}  // namespace qs_tools
