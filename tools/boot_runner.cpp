#include "tools/boot_runner.h"

#include "common/qs_common.h"
#include "platform/host/host.h"
#include "shell/shell.h"
#include "sim/device.h"
#include "tools/live_echo.h"

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

}  // namespace

BootReport BootDeviceFolder(const std::filesystem::path &folder, const BootOptions &options)
{
    std::unique_ptr<sim::Device> device = sim::Device::Open(folder);
    device->Clock().SetRealTime(options.realTime);
    LiveEcho echo(options.echo);
    if (!options.quiet)
        device->Events().SetListener([&echo](const sim::Journal::Event &e) { echo.Show(e); });

    BootReport report;
    uint64_t heapPeak = 0;
    {
        AttachedRun run(*device);
        ResetShellState();
        report.shellResult = QuorShellMain();
        heapPeak = ce_host::Held().peakHeapBytes;
        ce_host::ReportLeaks();
    }
    device->Events().SetListener(nullptr);
    device->Save();

    report.summary = SummarizeJournal(device->Events().Events());
    report.summary.heapPeakBytes = heapPeak;
    if (!options.quiet) {
        echo.EndLine();
        echo.Print("\n");
    }
    echo.Print(FormatSummary(report.summary));
    report.printed = echo.Text();
    return report;
}

}  // namespace qs_tools
