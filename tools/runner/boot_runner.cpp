#include "tools/runner/boot_runner.h"

#include <map>
#include <optional>

#include "common/qs_common.h"
#include "devkit/device_view.h"
#include "devkit/update_package.h"
#include "devkit/path_checks.h"
#include "platform/host/file_cuts.h"
#include "platform/host/host.h"
#include "shell/shell.h"
#include "sim/device.h"
#include "sim/device_lock.h"
#include "sim/flash_driver.h"
#include "tools/reports/boot_status.h"
#include "tools/runner/live_echo.h"

// The safe-update variant's entry points: its build of the shell, renamed at link time.
extern "C" int QsSafeQuorShellMain(void);
extern "C" void QsSafeResetShellState(void);

namespace qs_tools {

namespace {

// The device stays attached for exactly one run, also when something throws.
class AttachedRun {
public:
    explicit AttachedRun(sim::Device &device) { ce_host::Attach(device); }
    ~AttachedRun() { ce_host::Detach(); }
    AttachedRun(const AttachedRun &) = delete;
    AttachedRun &operator=(const AttachedRun &) = delete;
};

// How a run of the shell ended early: a simulator error, or the power going.
struct Stop {
    std::string what;
    bool powerCut = false;
};

// Runs the entry point; what the simulator throws is journaled as the boot's last event (a power
// cut is journaled where it happens).
std::optional<Stop> RunShell(sim::Device &device, const std::function<int()> &entryPoint,
                             BootReport &report, uint64_t &heapPeak)
{
    AttachedRun run(device);
    try {
        ResetShellState();
        report.shellResult = entryPoint();
        heapPeak = ce_host::Held().peakHeapBytes;
        ce_host::ReportLeaks();
        sim::DeviceFlash(device).ReportFlagsLeftOn();
    } catch (const sim::PowerCut &cut) {
        heapPeak = ce_host::Held().peakHeapBytes;
        return Stop{cut.what(), true};
    } catch (const ce_host::FilePowerCut &cut) {
        heapPeak = ce_host::Held().peakHeapBytes;
        return Stop{cut.what(), true};
    } catch (const std::exception &e) {
        heapPeak = ce_host::Held().peakHeapBytes;
        device.Events().Error(e.what());
        return Stop{e.what(), false};
    }
    return std::nullopt;
}

// The signature trailers of the files waiting in the update folder, by name in folded case,
// read before the boot consumes them.
std::map<std::string, devkit::BinTrailer> WaitingTrailers(const std::filesystem::path &device)
{
    std::map<std::string, devkit::BinTrailer> trailers;
    std::error_code error;
    for (const auto &entry :
         std::filesystem::directory_iterator(devkit::UpdateFolder(device), error))
        if (std::optional<devkit::BinTrailer> trailer = devkit::ReadBinTrailerAtEnd(entry.path()))
            trailers[sim::FoldCase(entry.path().filename().string())] = *trailer;
    return trailers;
}

}  // namespace

BootPowerCut::BootPowerCut(const std::string &cut)
    : BootStopped(cut +
                  " (nand.bin and root/ are as the cut left them; debug.log and journal.jsonl "
                  "hold the boot up to it)"),
      cut(cut)
{
}

BootReport BootDevice(sim::Device &device, const BootOptions &options,
                      const std::function<int()> &entryPoint)
{
    device.Clock().SetRealTime(options.realTime);
    LiveEcho echo(options.echo, options.echoStyle);
    if (!options.quiet)
        device.Events().SetListener([&echo](const sim::Journal::Event &e) { echo.Show(e); });

    const std::map<std::string, devkit::BinTrailer> trailers = WaitingTrailers(device.Folder());
    BootReport report;
    std::optional<JudgeImages> judgeBy;
    std::optional<std::string> deadBefore;
    if (options.judgeFlash) {
        DeviceStatus before = ReadDeviceStatus(device.Folder());
        if (before.verdict == Verdict::Unbootable)
            deadBefore = devkit::Joined(before.why, "; ");
        judgeBy = std::move(before.images);
    }
    uint64_t heapPeak = 0;
    std::optional<Stop> stopped = RunShell(device, entryPoint, report, heapPeak);
    device.Events().SetListener(nullptr);
    if (options.save)
        device.Save();
    if (stopped) {
        echo.Finish();
        if (stopped->powerCut)
            throw BootPowerCut(stopped->what);
        throw BootStopped("the boot stopped on a simulator error: " + stopped->what +
                          " (debug.log and journal.jsonl hold the boot up to it)");
    }

    report.summary = SummarizeJournal(device.Events().Events());
    report.summary.deadBefore = deadBefore;
    if (judgeBy)
        JudgeBootOnFlash(sim::DeviceFlash(device), *judgeBy, report.summary);
    report.summary.heapPeakBytes = heapPeak;
    report.summary.shell = ShellVariantName(options.shell);
    report.summary.flash = sim::DeviceFlash(device).Usage();
    auto trailer = trailers.find(sim::FoldCase(DeviceFileName(report.summary.nkImage)));
    if (report.summary.signatureRefused && trailer != trailers.end())
        report.summary.refusedTrailer = trailer->second;
    report.exitStatus = BootExitStatus(report.summary);
    if (!options.quiet) {
        echo.Finish();
        echo.Print("\n");
    }
    echo.Print(FormatSummary(report.summary));
    report.printed = echo.Text();
    return report;
}

const char *ShellVariantName(ShellVariant variant)
{
    return variant == ShellVariant::Safe ? "safe" : "standard";
}

std::optional<ShellVariant> ParseShellVariant(const std::string &name)
{
    for (ShellVariant variant : {ShellVariant::Standard, ShellVariant::Safe})
        if (name == ShellVariantName(variant))
            return variant;
    return std::nullopt;
}

BootReport BootShell(sim::Device &device, const BootOptions &options)
{
    if (options.shell == ShellVariant::Standard)
        return BootDevice(device, options, QuorShellMain);
    return BootDevice(device, options, [] {
        QsSafeResetShellState();
        return QsSafeQuorShellMain();
    });
}

BootReport BootDeviceFolder(const std::filesystem::path &folder, const BootOptions &options)
{
    sim::DeviceLock lock(folder);
    // A folder without device.json is never made a device behind its owner's back: it may hold
    // anything, and a boot would lay a whole flash into it.
    devkit::RequireDeviceFolder(folder);
    std::unique_ptr<sim::Device> device = sim::Device::Open(folder);
    return BootShell(*device, options);
}

}  // namespace qs_tools
