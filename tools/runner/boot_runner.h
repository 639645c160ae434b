// One boot of a device folder: what quorshell does, and what its tests run.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>

#include "sim/flash_driver.h"
#include "tools/runner/boot_summary.h"
#include "tools/runner/live_echo.h"

namespace sim {
class Device;
}

namespace qs_tools {

// Which build of the shell boots: the standard one, or the safe-update variant (built with
// QS_SAFE_UPDATE), which mends a failed flash write inside the boot.
enum class ShellVariant { Standard, Safe };
const char *ShellVariantName(ShellVariant variant);  // "standard", "safe"
std::optional<ShellVariant> ParseShellVariant(const std::string &name);

struct BootOptions {
    bool realTime = false;                        // the virtual clock also sleeps for real
    EchoStyle echoStyle{};                        // how the braille line shows on echo
    bool quiet = false;                           // print the summary only
    std::ostream *echo = nullptr;                 // the printed text also goes here as it comes
    ShellVariant shell = ShellVariant::Standard;  // BootShell's choice
    // Tell in the summary whether the flash starts nothing before the boot (as quordev status
    // reads it) and after it (against the images on the flash and in the package before it).
    bool judgeFlash = false;
    // Write state.json, debug.log, journal.jsonl and the flash's changed blocks back at the end;
    // a boot whose folder nothing reads afterwards (a sweep row's last) leaves them unwritten.
    bool save = true;
};

struct BootReport {
    BootSummary summary;
    int shellResult = 0;
    int exitStatus = 0;   // quorshell's: BootExitStatus of the summary
    std::string printed;  // live text, then the summary
};

// The simulator stopped a boot. The device was saved up to that point: debug.log and
// journal.jsonl end where it stopped, the journal with an "error" event.
class BootStopped : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The power was cut at a flash operation (sim::FlashDriver::CutPowerAt) or a change of the files
// (ce_host::PlanFileCut). The device was saved as the cut left it: nand.bin and root/ untouched
// since, debug.log and journal.jsonl ending with a "power_cut" or "file_power_cut" event.
class BootPowerCut : public BootStopped {
public:
    explicit BootPowerCut(const std::string &cut);
    std::string cut;  // where the power went and how
};

// Locks and opens the device folder, runs the shell's entry point once on it, journals what it
// still holds and any FMD flag left on, and saves the drivers' state, debug.log and
// journal.jsonl. An unusable or busy folder throws sim::DeviceError before anything runs.
BootReport BootDeviceFolder(const std::filesystem::path &folder, const BootOptions &options);

// The same on an open device, with the entry point given (QuorShellMain for a real boot).
BootReport BootDevice(sim::Device &device, const BootOptions &options,
                      const std::function<int()> &entryPoint);
// The shell's boot on an open device, in the variant the options name.
BootReport BootShell(sim::Device &device, const BootOptions &options);

}  // namespace qs_tools
