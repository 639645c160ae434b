// What quordev inspect prints: a device's TOC, flags and block map, and its application folders,
// as text or as JSON.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "devkit/app_data.h"
#include "devkit/device_view.h"
#include "devkit/shell_files_view.h"
#include "devkit/update_signing.h"

namespace qs_tools {

std::string InspectText(const std::string &folder, const devkit::DeviceView &view);
// The fields are documented in docs/tools.md; keep them stable.
nlohmann::ordered_json InspectJson(const devkit::DeviceView &view);

// The application folders installed in \NAND and the application data waiting for the next boot.
std::string AppFoldersReport(const devkit::AppFoldersView &view);
nlohmann::ordered_json AppFoldersJson(const devkit::AppFoldersView &view);

// The system-information files in \NAND and the BINFS check log. The JSON gives the fields
// "system_info" and "binfs_log" of inspect's object.
std::string ShellFilesReport(const devkit::ShellFilesView &view);
nlohmann::ordered_json ShellFilesJson(const devkit::ShellFilesView &view);

}  // namespace qs_tools
