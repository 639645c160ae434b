// One boot of a device folder: what quorshell does, and what its tests run.
#pragma once

#include <filesystem>
#include <ostream>
#include <string>

#include "tools/boot_summary.h"

namespace qs_tools {

struct BootOptions {
    bool realTime = false;         // the virtual clock also sleeps for real
    bool quiet = false;            // print the summary only
    std::ostream *echo = nullptr;  // the printed text also goes here as it comes
};

struct BootReport {
    BootSummary summary;
    int shellResult = 0;
    std::string printed;  // live text, then the summary
};

// Opens the device folder, runs the shell's entry point once on it, journals what it still
// holds, and saves the drivers' state, debug.log and journal.jsonl. An unusable folder throws
// sim::DeviceError before anything runs.
BootReport BootDeviceFolder(const std::filesystem::path &folder, const BootOptions &options);

}  // namespace qs_tools
