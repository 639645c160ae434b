#include "tools/sweeps/power_sweep.h"

#include <algorithm>
#include <map>
#include <set>

#include "devkit/device_view.h"
#include "devkit/path_checks.h"
#include "sim/device.h"
#include "sim/device_lock.h"
#include "sim/error.h"
#include "platform/host/call_faults.h"
#include "platform/host/host.h"
#include "tools/runner/boot_runner.h"
#include "tools/reports/power_sweep_transport.h"
#include "tools/runner/scratch_device.h"
#include "tools/sweeps/forked_work.h"
#include "tools/sweeps/row_forks.h"

namespace qs_tools {

// What a cut gives crosses from a sweep worker to the sweep as JSON (CutFindingsJson).

namespace fs = std::filesystem;

namespace {

void AddBlocks(const std::vector<sim::FlashOperation> &operations, std::set<uint32_t> &blocks)
{
    for (const sim::FlashOperation &operation : operations)
        blocks.insert(operation.block);
}

// The images of the package the update boot opened, from the original's update folder; none for
// a package without an operating-system image.
BootImages PackageImages(const fs::path &device, PowerSweep &sweep, const std::string &debugLog,
                         const BootImages &oldImages)
{
    std::optional<UpdateImages> opened = OpenedUpdateImages(device, debugLog, oldImages);
    if (!opened)
        return {};
    sweep.newNk = opened->nk;
    sweep.newBootLoader = opened->bootLoader;
    return opened->images;
}

bool OfKinds(const CutPoint &point, CutKinds kinds)
{
    return kinds == CutKinds::Both ||
           (kinds == CutKinds::Flash) == (point.kind == CutPoint::Kind::Flash);
}

// The file cut planned for one boot, and none after it whatever happens.
class PlannedFileCut {
public:
    explicit PlannedFileCut(std::optional<ce_host::FileCutPlan> plan)
    {
        ce_host::PlanFileCut(plan);
    }
    ~PlannedFileCut() { ce_host::PlanFileCut(std::nullopt); }
    PlannedFileCut(const PlannedFileCut &) = delete;
    PlannedFileCut &operator=(const PlannedFileCut &) = delete;
};

class Sweeper {
public:
    Sweeper(const fs::path &device, PowerSweep &sweep)
        : device_(device),
          scratch_(device),
          sweep_(sweep),
          silent_{.quiet = true, .shell = sweep.shell},
          files_(std::make_shared<FilesJudge>(device))
    {
        if (std::unique_ptr<sim::FlashDriver> flash = devkit::OpenDeviceFlash(device))
            oldImages_ = ReadBootImages(*flash);
    }

    // The boot without a cut: the points to cut at, and the images and files it leaves.
    void Count()
    {
        std::unique_ptr<sim::Device> device = sim::Device::Open(scratch_.Path());
        try {
            PlannedFileCut none(std::nullopt);
            BootShell(*device, silent_);
        } catch (const BootStopped &e) {
            throw sim::DeviceError(device_.string() + ": the update boot stopped: " + e.what());
        }
        sim::FlashDriver &flash = sim::DeviceFlash(*device);
        sweep_.operations = flash.Operations();
        sweep_.fileChanges = ce_host::FileChanges();
        sweep_.points = OrderCutPoints(sweep_.operations, sweep_.fileChanges);
        sweep_.usage = flash.Usage();
        AddBlocks(sweep_.operations, changed_);
        newImages_ = PackageImages(device_, sweep_, device->DebugLog(), oldImages_);
        if (sweep_.newNk.empty() && !files_->OffersAppData())
            throw sim::DeviceError(device_.string() +
                                   ": the boot installs neither an operating-system image nor "
                                   "application data; nothing to sweep");
        sweep_.uncut = JudgeFlash(flash, oldImages_, newImages_);
        files_->TakeUncut(scratch_.Path());
        sweep_.filesUncut = files_->Judge(scratch_.Path(), sweep_.uncut);
        if (std::unique_ptr<sim::FlashDriver> original = devkit::OpenDeviceFlash(device_))
            sweep_.before = JudgeFlash(*original, oldImages_, newImages_);
    }

    // Another sweeper for a worker: the same images, its own copy.
    Sweeper(const Sweeper &counted)
        : device_(counted.device_),
          scratch_(counted.device_),
          sweep_(counted.sweep_),
          silent_(counted.silent_),
          files_(counted.files_),
          oldImages_(counted.oldImages_),
          newImages_(counted.newImages_)
    {
    }

    // One cut booted from the start on the copy put back as the device was.
    CutResult Cut(uint64_t index, sim::PowerCutOutcome outcome)
    {
        scratch_.Restore(changed_, filesChanged_);
        changed_.clear();
        filesChanged_ = false;
        const CutPoint &point = sweep_.points.at(index - 1);
        std::unique_ptr<sim::Device> device = sim::Device::Open(scratch_.Path());
        std::optional<ce_host::FileCutPlan> fileCut;
        if (point.kind == CutPoint::Kind::Flash)
            sim::DeviceFlash(*device).CutPowerAt(point.ordinal, outcome);
        else
            fileCut = ce_host::FileCutPlan{point.ordinal, outcome, sweep_.seed};
        try {
            PlannedFileCut planned(fileCut);
            BootShell(*device, silent_);
            RefuseUncut(index);
        } catch (const BootPowerCut &) {
        }
        return AfterCut(index, outcome, std::move(device), scratch_.Path());
    }

    // The cuts first, first + step, ... of the plan forked from one boot without a cut: at each
    // cut's point the boot forks; the child cuts the power there and judges the cut in a linked
    // copy of the device folder of its own, its flash held in memory, while this process waits
    // for the result and goes on. A flash point forks at its erase or program, a file point as
    // the call that makes the change begins, before it resolves a path.
    void CutForked(const std::vector<std::pair<uint64_t, sim::PowerCutOutcome>> &plan, size_t first,
                   size_t step, const Emit &emit)
    {
        std::map<uint64_t, std::vector<size_t>> atOperation, atCall;
        for (size_t i = first; i < plan.size(); i += step) {
            const CutPoint &point = sweep_.points.at(plan[i].first - 1);
            if (point.kind == CutPoint::Kind::Flash)
                atOperation[point.ordinal].push_back(i);
            else
                atCall[point.file.fallibleCall].push_back(i);
        }
        scratch_.Restore(changed_, filesChanged_);
        changed_.clear();
        filesChanged_ = false;
        RowForks forks(scratch_, emit);
        sim::SetFlashOperationHook(Keys(atOperation), [&](sim::FlashDriver &flash, uint64_t n) {
            for (size_t i : atOperation[n])
                if (forks.Fork(i))
                    return flash.CutPowerAt(n, plan[i].second);
        });
        ce_host::SetCallHook(Keys(atCall), [&](uint64_t n) {
            for (size_t i : atCall[n])
                if (forks.Fork(i))
                    return ce_host::PlanFileCut(ce_host::FileCutPlan{
                        sweep_.points.at(plan[i].first - 1).ordinal, plan[i].second, sweep_.seed});
        });
        std::unique_ptr<sim::Device> device = sim::Device::Open(scratch_.Path());
        bool cut = false;
        try {
            BootShell(*device, silent_);
        } catch (const BootPowerCut &) {
            cut = true;
        } catch (const BootStopped &e) {
            forks.Fail(e.what());
        }
        sim::SetFlashOperationHook({}, {});
        ce_host::SetCallHook({}, {});
        if (std::optional<size_t> mine = forks.Row())
            forks.Finish([&] {
                ce_host::PlanFileCut(std::nullopt);
                if (!cut)
                    RefuseUncut(plan[*mine].first);
                return CutFindingsJson(AfterCut(plan[*mine].first, plan[*mine].second,
                                                std::move(device), forks.Own()));
            });
        forks.ThrowIfFailed(device_.string() + ": ");
        NoteChanges(sim::DeviceFlash(*device));
    }

private:
    [[noreturn]] void RefuseUncut(uint64_t index) const
    {
        throw sim::DeviceError(
            device_.string() + ": the boot ended before point " + std::to_string(index) + " (" +
            CutPointText(sweep_.points.at(index - 1)) + "), which the update boot reached");
    }

    // What the flash and the files in the folder are at the cut that the boot on the device just
    // took, and after the second boot where the flash still boots.
    CutResult AfterCut(uint64_t index, sim::PowerCutOutcome outcome,
                       std::unique_ptr<sim::Device> device, const fs::path &folder)
    {
        CutResult result{index, sweep_.points.at(index - 1), outcome, {}, {}, std::nullopt, {}};
        NoteChanges(sim::DeviceFlash(*device));
        result.atCut = JudgeFlash(sim::DeviceFlash(*device), oldImages_, newImages_);
        device.reset();
        result.filesAtCut = files_->Judge(folder, result.atCut);
        if (result.atCut.verdict == Verdict::Unbootable)
            return result;
        SecondBoot second;
        device = sim::Device::Open(folder);
        try {
            BootShell(*device, silent_);
            second.judgement = JudgeFlash(sim::DeviceFlash(*device), oldImages_, newImages_);
        } catch (const BootStopped &e) {
            second.stopped = e.what();
        }
        NoteChanges(sim::DeviceFlash(*device));
        device.reset();
        second.files = files_->Judge(folder, second.judgement.value_or(FlashJudgement{}));
        result.second = second;
        return result;
    }

    // What the boot just made changed: the blocks it erased or programmed, and whether it changed
    // any file (a boot that changed none leaves root/ as the restore made it).
    void NoteChanges(sim::FlashDriver &flash)
    {
        AddBlocks(flash.Operations(), changed_);
        filesChanged_ = filesChanged_ || !ce_host::FileChanges().empty();
    }

    fs::path device_;
    ScratchDevice scratch_;
    PowerSweep &sweep_;
    BootOptions silent_;  // every boot: no echo, the sweep's shell
    std::shared_ptr<FilesJudge> files_;
    BootImages oldImages_, newImages_;
    std::set<uint32_t> changed_;  // blocks the boots since the last restore changed
    bool filesChanged_ = true;    // and whether they changed a file; the counting boot did
};

// The losses of the cut's last judgement that the boot without a cut does not have too.
std::vector<FileLoss> LostForGood(const CutResult &cut, const FilesJudgement &uncut)
{
    const FilesJudgement &last = cut.second ? cut.second->files : cut.filesAtCut;
    std::vector<FileLoss> lost;
    for (const FileLoss &loss : last.lost)
        if (std::none_of(uncut.lost.begin(), uncut.lost.end(),
                         [&](const FileLoss &known) { return known.what == loss.what; }))
            lost.push_back(loss);
    return lost;
}

// The points to cut at, from 1: every K-th of the kinds swept and the last, or those asked for.
std::vector<uint64_t> ChosenPoints(const PowerSweep &sweep, const PowerSweepOptions &options)
{
    std::vector<uint64_t> ofKinds;
    for (uint64_t index = 1; index <= sweep.points.size(); ++index)
        if (OfKinds(sweep.points[index - 1], options.kinds))
            ofKinds.push_back(index);
    if (options.at.empty()) {
        std::vector<uint64_t> chosen;
        for (uint64_t nth : SampledOperations(ofKinds.size(), options.every))
            chosen.push_back(ofKinds[nth - 1]);
        return chosen;
    }
    for (uint64_t index : options.at) {
        if (index < 1 || index > sweep.points.size())
            throw sim::DeviceError(
                "point " + std::to_string(index) + " is not among the update boot's " +
                std::to_string(sweep.points.size()) + " erases, programs and file changes");
        if (!OfKinds(sweep.points[index - 1], options.kinds))
            throw sim::DeviceError("point " + std::to_string(index) + " (" +
                                   CutPointText(sweep.points[index - 1]) +
                                   ") is not of the kind swept");
    }
    return options.at;
}

}  // namespace

bool CutPoint::Takes(sim::PowerCutOutcome outcome) const
{
    return outcome != sim::PowerCutOutcome::Torn || kind == Kind::Flash || file.Tearable();
}

std::string CutPointText(const CutPoint &point)
{
    if (point.kind == CutPoint::Kind::File)
        return point.file.change + " of " + point.file.target;
    std::string text = sim::OperationName(point.flash.kind);
    if (point.flash.sector)
        return text + " of sector " + std::to_string(*point.flash.sector);
    return text + " of block " + std::to_string(point.flash.block);
}

std::optional<CutKinds> ParseCutKinds(const std::string &name)
{
    if (name == "flash")
        return CutKinds::Flash;
    if (name == "files")
        return CutKinds::Files;
    return std::nullopt;
}

std::vector<CutPoint> OrderCutPoints(const std::vector<sim::FlashOperation> &operations,
                                     const std::vector<ce_host::FileChangeRecord> &changes)
{
    std::vector<CutPoint> points;
    size_t flash = 0;
    auto flashUpTo = [&](uint64_t count) {
        for (; flash < count && flash < operations.size(); ++flash)
            points.push_back({CutPoint::Kind::Flash,
                              flash + 1,
                              operations[flash],
                              {},
                              operations[flash].startUs});
    };
    for (size_t change = 0; change < changes.size(); ++change) {
        flashUpTo(changes[change].flashOperationsBefore);
        const uint64_t at =
            flash ? operations[flash - 1].startUs + operations[flash - 1].durationUs : 0;
        points.push_back({CutPoint::Kind::File, change + 1, {}, changes[change], at});
    }
    flashUpTo(operations.size());
    return points;
}

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
    sweep.kinds = options.kinds;
    sweep.seed = options.seed;
    Sweeper sweeper(device, sweep);
    sweeper.Count();
    // Each point with each outcome it can take.
    std::vector<std::pair<uint64_t, sim::PowerCutOutcome>> plan;
    for (uint64_t index : ChosenPoints(sweep, options))
        for (sim::PowerCutOutcome outcome : options.outcomes)
            if (sweep.points[index - 1].Takes(outcome))
                plan.emplace_back(index, outcome);
    sweep.shard = options.shard;
    sweep.shards = options.shards;
    sweep.cutsOfAll = plan.size();
    // This shard's: every shards-th cut from the shard-th.
    std::vector<std::pair<uint64_t, sim::PowerCutOutcome>> shard;
    for (size_t i = options.shard - 1; i < plan.size(); i += options.shards)
        shard.push_back(plan[i]);
    plan = std::move(shard);
    if (options.planned)
        options.planned(plan.size(), sweep.points.size());
    // Every worker boots its own copy; this process's copy serves when there is one worker. A
    // flash never laid down has no nand.bin for the forked cuts to share: those boot from the
    // start.
    const bool forked = !options.fromScratch && fs::exists(device / "nand.bin");
    WorkerRun run = [&](bool inWorker, size_t first, size_t step, size_t count, const Emit &emit) {
        std::unique_ptr<Sweeper> own;
        if (inWorker)
            own = std::make_unique<Sweeper>(sweeper);
        Sweeper &worker = inWorker ? *own : sweeper;
        if (forked)
            return worker.CutForked(plan, first, step, emit);
        for (size_t i = first; i < count; i += step)
            emit(i, CutFindingsJson(worker.Cut(plan[i].first, plan[i].second)));
    };
    RunForkedWorkers(plan.size(), options.jobs, run, [&](size_t i, const nlohmann::json &result) {
        CutResult cut = CutFromFindings(sweep, plan[i].first, plan[i].second, result);
        cut.lost = LostForGood(cut, sweep.filesUncut);
        sweep.cuts.push_back(cut);
        if (options.progress)
            options.progress(sweep.cuts.back(), sweep.cuts.size(), plan.size());
    });
    return sweep;
}

std::vector<UnbootableWindow> UnbootableWindows(const PowerSweep &sweep,
                                                std::optional<sim::PowerCutOutcome> outcome)
{
    std::map<uint64_t, bool> unbootable;  // per sampled point: some cut there is
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
        const CutPoint &point = sweep.points.at(index - 1);
        if (!open)
            windows.push_back({index, index, point.startUs, 0});
        windows.back().last = index;
        windows.back().endUs = point.EndUs();
        open = true;
    }
    return windows;
}

}  // namespace qs_tools
