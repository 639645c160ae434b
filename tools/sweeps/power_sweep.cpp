#include "tools/sweeps/power_sweep.h"

#include <algorithm>
#include <map>
#include <set>

#include "devkit/device_view.h"
#include "devkit/path_checks.h"
#include "sim/device.h"
#include "sim/device_lock.h"
#include "sim/error.h"
#include "tools/runner/boot_runner.h"
#include "tools/sweeps/forked_work.h"
#include "tools/runner/scratch_device.h"

namespace qs_tools {

// What a cut gives crosses from a sweep worker to the sweep as JSON.
NLOHMANN_JSON_SERIALIZE_ENUM(ImageMatch, {{ImageMatch::Old, "old"},
                                          {ImageMatch::New, "new"},
                                          {ImageMatch::Neither, "neither"}})
NLOHMANN_JSON_SERIALIZE_ENUM(Verdict, {{Verdict::Old, "old"},
                                       {Verdict::New, "new"},
                                       {Verdict::Unbootable, "unbootable"}})
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(FlashJudgement, stepLoaderChecksumOk, bootLoader, tocAccepted,
                                   nk, verdict)

namespace fs = std::filesystem;

namespace {

void AddBlocks(const std::vector<sim::FlashOperation> &operations, std::set<uint32_t> &blocks)
{
    for (const sim::FlashOperation &operation : operations)
        blocks.insert(operation.block);
}

// The images of the package the update boot opened, from the original's update folder.
BootImages PackageImages(const fs::path &device, PowerSweep &sweep, const std::string &debugLog,
                         const BootImages &oldImages)
{
    std::optional<UpdateImages> opened = OpenedUpdateImages(device, debugLog, oldImages);
    if (!opened)
        throw sim::DeviceError(device.string() +
                               ": the boot updates no operating-system image; nothing to sweep");
    sweep.newNk = opened->nk;
    sweep.newBootLoader = opened->bootLoader;
    return opened->images;
}

class Sweeper {
public:
    Sweeper(const fs::path &device, PowerSweep &sweep)
        : device_(device),
          scratch_(device),
          sweep_(sweep),
          silent_{.quiet = true, .shell = sweep.shell}
    {
        if (std::unique_ptr<sim::FlashDriver> flash = devkit::OpenDeviceFlash(device))
            oldImages_ = ReadBootImages(*flash);
    }

    // The boot without a cut: the operations to cut at, and the images it writes.
    void Count()
    {
        std::unique_ptr<sim::Device> device = sim::Device::Open(scratch_.Path());
        try {
            BootShell(*device, silent_);
        } catch (const BootStopped &e) {
            throw sim::DeviceError(device_.string() + ": the update boot stopped: " + e.what());
        }
        sim::FlashDriver &flash = sim::DeviceFlash(*device);
        sweep_.operations = flash.Operations();
        sweep_.usage = flash.Usage();
        AddBlocks(sweep_.operations, changed_);
        newImages_ = PackageImages(device_, sweep_, device->DebugLog(), oldImages_);
        sweep_.uncut = JudgeFlash(flash, oldImages_, newImages_);
        if (std::unique_ptr<sim::FlashDriver> original = devkit::OpenDeviceFlash(device_))
            sweep_.before = JudgeFlash(*original, oldImages_, newImages_);
    }

    // Another sweeper for a worker: the same images, its own copy.
    Sweeper(const Sweeper &counted)
        : device_(counted.device_),
          scratch_(counted.device_),
          sweep_(counted.sweep_),
          silent_(counted.silent_),
          oldImages_(counted.oldImages_),
          newImages_(counted.newImages_)
    {
    }

    CutResult Cut(uint64_t index, sim::PowerCutOutcome outcome)
    {
        scratch_.Restore(changed_);
        changed_.clear();
        CutResult result{index, sweep_.operations.at(index - 1), outcome, {}, {}};
        {
            std::unique_ptr<sim::Device> device = sim::Device::Open(scratch_.Path());
            sim::FlashDriver &flash = sim::DeviceFlash(*device);
            flash.CutPowerAt(index, outcome);
            try {
                BootShell(*device, silent_);
                throw sim::DeviceError(device_.string() +
                                       ": the boot ended before flash operation " +
                                       std::to_string(index) + ", which the update boot reached");
            } catch (const BootPowerCut &) {
            }
            AddBlocks(flash.Operations(), changed_);
            result.atCut = JudgeFlash(flash, oldImages_, newImages_);
        }
        std::unique_ptr<sim::Device> device = sim::Device::Open(scratch_.Path());
        try {
            BootShell(*device, silent_);
            result.second.judgement = JudgeFlash(sim::DeviceFlash(*device), oldImages_, newImages_);
        } catch (const BootStopped &e) {
            result.second.stopped = e.what();
        }
        AddBlocks(sim::DeviceFlash(*device).Operations(), changed_);
        return result;
    }

private:
    fs::path device_;
    ScratchDevice scratch_;
    PowerSweep &sweep_;
    BootOptions silent_;  // every boot: no echo, the sweep's shell
    BootImages oldImages_, newImages_;
    std::set<uint32_t> changed_;  // blocks the boots since the last restore changed
};

}  // namespace

std::vector<uint64_t> SampledOperations(uint64_t count, uint64_t every)
{
    std::vector<uint64_t> indexes;
    for (uint64_t index = 1; index <= count; index += std::max<uint64_t>(every, 1))
        indexes.push_back(index);
    if (count > 0 && indexes.back() != count)
        indexes.push_back(count);
    return indexes;
}

PowerSweep RunPowerSweep(const fs::path &device, const PowerSweepOptions &options)
{
    sim::DeviceLock lock(device);
    // An unusable folder is refused before anything is copied.
    devkit::RequireDeviceFolder(device);
    sim::Device::Open(device);
    PowerSweep sweep;
    sweep.device = device;
    sweep.shell = options.shell;
    sweep.every = options.every;
    sweep.at = options.at;
    sweep.outcomes = options.outcomes;
    Sweeper sweeper(device, sweep);
    sweeper.Count();
    std::vector<uint64_t> indexes =
        options.at.empty() ? SampledOperations(sweep.operations.size(), options.every) : options.at;
    for (uint64_t index : indexes)
        if (index < 1 || index > sweep.operations.size())
            throw sim::DeviceError(
                "operation " + std::to_string(index) + " is not among the update boot's " +
                std::to_string(sweep.operations.size()) + " erases and programs");
    const size_t planned = indexes.size() * options.outcomes.size();
    if (options.planned)
        options.planned(planned, sweep.operations.size());
    auto cutAt = [&](size_t i) {
        return std::pair(indexes[i / options.outcomes.size()],
                         options.outcomes[i % options.outcomes.size()]);
    };
    // Every worker boots its own copy; this process's copy serves when there is one worker.
    WorkerSetup setup = [&](bool forked) -> ItemWork {
        auto own = forked ? std::make_shared<Sweeper>(sweeper)
                          : std::shared_ptr<Sweeper>(&sweeper, [](Sweeper *) {});
        return [own, cutAt](size_t i) {
            CutResult cut = own->Cut(cutAt(i).first, cutAt(i).second);
            return nlohmann::json{
                {"at_cut", cut.atCut},
                {"second", cut.second.judgement ? nlohmann::json(*cut.second.judgement)
                                                : nlohmann::json(nullptr)},
                {"stopped", cut.second.stopped}};
        };
    };
    RunForked(planned, options.jobs, setup, [&](size_t i, const nlohmann::json &result) {
        auto [index, outcome] = cutAt(i);
        CutResult cut{index,
                      sweep.operations.at(index - 1),
                      outcome,
                      result["at_cut"].get<FlashJudgement>(),
                      {}};
        if (!result["second"].is_null())
            cut.second.judgement = result["second"].get<FlashJudgement>();
        cut.second.stopped = result["stopped"].get<std::string>();
        sweep.cuts.push_back(cut);
        if (options.progress)
            options.progress(sweep.cuts.back(), sweep.cuts.size(), planned);
    });
    return sweep;
}

std::vector<UnbootableWindow> UnbootableWindows(const PowerSweep &sweep,
                                                std::optional<sim::PowerCutOutcome> outcome)
{
    std::map<uint64_t, bool> unbootable;  // per sampled operation: some cut there is
    for (const CutResult &cut : sweep.cuts)
        if (!outcome || cut.outcome == *outcome)
            unbootable[cut.index] =
                unbootable[cut.index] || cut.atCut.verdict == Verdict::Unbootable;
    std::vector<UnbootableWindow> windows;
    bool open = false;
    for (const auto &[index, none] : unbootable) {
        if (!none) {
            open = false;
            continue;
        }
        const sim::FlashOperation &operation = sweep.operations.at(index - 1);
        if (!open)
            windows.push_back({index, index, operation.startUs, 0});
        windows.back().last = index;
        windows.back().endUs = operation.startUs + operation.durationUs;
        open = true;
    }
    return windows;
}

}  // namespace qs_tools
