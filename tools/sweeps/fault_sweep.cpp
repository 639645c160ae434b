#include "tools/sweeps/fault_sweep.h"

#include <algorithm>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <set>

#include <nlohmann/json.hpp>

#include "devkit/device_view.h"
#include "devkit/nb0_image.h"
#include "devkit/path_checks.h"
#include "devkit/toc_record.h"
#include "devkit/update_package.h"
#include "devkit/update_signing.h"
#include "platform/host/call_faults.h"
#include "platform/host/host.h"
#include "sim/device.h"
#include "sim/device_lock.h"
#include "sim/error.h"
#include "sim/flash_array.h"
#include "sim/flash_driver.h"
#include "sim/power_controller.h"
#include "tools/runner/boot_runner.h"
#include "tools/sweeps/boot_stages.h"
#include "tools/sweeps/device_snapshot.h"
#include "tools/reports/fault_sweep_report.h"
#include "tools/reports/flash_verdict.h"
#include "tools/sweeps/forked_work.h"
#include "tools/sweeps/row_forks.h"
#include "tools/runner/scratch_device.h"

namespace qs_tools {

using devkit::Joined;

// A row crosses from a sweep worker to the sweep as JSON, in the form the report prints.
void to_json(nlohmann::json &json, const FaultRow &row)
{
    json = nlohmann::json(FaultRowJson(row));
}
void from_json(const nlohmann::json &json, FaultRow &row)
{
    row = FaultRowFromJson(json);
}

namespace fs = std::filesystem;

namespace {

// What a row's next boot says when there is none: the flash the fault left starts nothing.
const char *const kDead = "dead";

// What the device folder holds before any boot.
struct Before {
    fs::path folder;
    RootSnapshot root;
    std::vector<uint8_t> flash;
    UpdateOffer offer;
    BootImages images;        // what the boot loader loads from the flash
    bool signedOnly = false;  // the running image holds an update key
    // Of the offered images, the file names whose signature does not hold under that key, as
    // the sweep itself checks them: the shell must write neither.
    std::set<std::string> forged;
};

// The boot without a fault: its calls, the stage along its journal, the blocks it may write.
struct CountingBoot {
    std::vector<ce_host::FallibleCallRecord> calls;
    std::vector<std::string> stages;
    std::set<uint32_t> ownedBlocks;
    BootImages newImages;  // the update's, or the old ones when the boot writes no image

    // Where the call stood in this boot, its own events included.
    const std::string &StageOf(const ce_host::FallibleCallRecord &call) const
    {
        return stages[std::min(call.endEvent, stages.size() - 1)];
    }
};

struct Boot {
    std::optional<BootReport> report;
    std::string stopped;                 // why the simulator stopped it
    std::vector<uint32_t> flashTouched;  // the blocks it erased, programmed or marked
    std::vector<uint32_t> flashChanged;  // of those, the ones that differ from the flash before
    std::string boots;                   // judged from the flash in memory, when asked
    std::optional<uint32_t> updateMode;  // the power controller's, as the boot left it
    // The calls made to fail, as journaled: "ReadFile #12", "ReadFile #40 again" (a lasting one).
    std::vector<std::string> faults;
};

// The images to judge the flash by after the boot.
struct Judge {
    const BootImages &oldImages;
    const BootImages &newImages;
};

// Of the blocks touched, those whose bytes differ from the flash before the boot.
std::vector<uint32_t> ChangedBlocks(const std::vector<uint8_t> &before,
                                    const sim::FlashArray &flash,
                                    const std::vector<uint32_t> &touched)
{
    std::vector<uint32_t> changed;
    for (uint32_t block : touched) {
        const uint64_t at = block * sim::kBlockRecordSize;
        bool same = at + sim::kBlockRecordSize <= before.size();
        for (uint32_t sector = 0; same && sector < sim::kSectorsPerBlock; ++sector) {
            auto record = flash.Sector(block * sim::kSectorsPerBlock + sector);
            same =
                std::equal(record.begin(), record.end(),
                           before.begin() + std::ptrdiff_t(at + sector * sim::kSectorRecordSize));
        }
        if (!same)
            changed.push_back(block);
    }
    return changed;
}

Boot RunBoot(const fs::path &copy, ShellVariant shell, const std::vector<uint8_t> &flashBefore,
             std::optional<Judge> judge = std::nullopt, bool save = true)
{
    BootOptions options;
    options.quiet = true;
    options.shell = shell;
    // A flash that the boot lays down is written all the same: whether there is one is read from
    // the folder below.
    options.save = save || !fs::exists(copy / "nand.bin");
    sim::DeviceLock lock(copy);
    std::unique_ptr<sim::Device> device = sim::Device::Open(copy);
    Boot boot;
    try {
        boot.report = BootShell(*device, options);
    } catch (const BootStopped &e) {
        boot.stopped = e.what();
    }
    if (auto *power = dynamic_cast<sim::PowerController *>(device->InstalledDriver("PWR1:")))
        boot.updateMode = power->UpdateMode();
    for (const sim::Journal::Event &event : device->Events().Events())
        if (event.value("event", "") == "fault" && event.value("device", "") == "calls")
            boot.faults.push_back(event.value("what", ""));
    // A flash never laid down was never touched, and holds no boot loader; asking for it would
    // lay it down.
    boot.boots = VerdictName(Verdict::Unbootable);
    if (fs::exists(copy / "nand.bin")) {
        sim::FlashDriver &flash = sim::DeviceFlash(*device);
        boot.flashTouched = flash.Flash().ChangedBlocks();
        boot.flashChanged = ChangedBlocks(flashBefore, flash.Flash(), boot.flashTouched);
        if (judge)
            boot.boots = VerdictName(JudgeFlash(flash, judge->oldImages, judge->newImages).verdict);
    }
    return boot;
}

std::vector<sim::Journal::Event> ReadJournal(const fs::path &copy)
{
    std::vector<sim::Journal::Event> events;
    std::ifstream in(copy / "journal.jsonl");
    for (std::string line; std::getline(in, line);)
        events.push_back(sim::Journal::Event::parse(line));
    return events;
}

// What the shell made of the boot, as its summary tells it.
std::string WhatItDid(const Boot &boot)
{
    if (!boot.report)
        return "stopped by the simulator";
    const BootSummary &summary = boot.report->summary;
    std::vector<std::string> parts;
    if (summary.osUpdate)
        parts.push_back(*summary.osUpdate ? "OS update written" : "OS update failed");
    if (summary.appData)
        parts.push_back(*summary.appData ? "app data installed" : "app data failed");
    parts.push_back(summary.cues.empty() ? "no cues" : "cues " + Joined(summary.cues, ", "));
    if (summary.restartRequested)
        parts.push_back("restart requested");
    parts.push_back(summary.programStarted ? "started " + *summary.programStarted
                                           : "no program started");
    return Joined(parts, "; ");
}

void AddAll(std::vector<std::string> &to, const char *label, const std::vector<std::string> &what)
{
    for (const std::string &item : what)
        to.push_back(label + item);
}

// What an injected fault leaves behind by itself, which the shell has no second try to undo:
// the update mode on when the fault is its one attempt to switch it off (the open of the power
// controller or the control code after it), a flash flag on when the fault is the call that
// clears it.
// Likewise a write the device refuses because the injected fault is the call that sets its
// flag: the shell does not act on a flag's result, and the flash stays as it was.
struct Excuses {
    bool updateMode = false;
    std::set<std::string> flags;       // "EBoot", "NK", "TOC": left on
    std::set<std::string> unsetFlags;  // never set

    // Those of a second fault in the same boot as well.
    void Add(const Excuses &other)
    {
        updateMode = updateMode || other.updateMode;
        flags.insert(other.flags.begin(), other.flags.end());
        unsetFlags.insert(other.unsetFlags.begin(), other.unsetFlags.end());
    }
};

// The excused flag that the text names, or none.
const std::string *NamedFlag(const std::set<std::string> &flags,
                             const std::function<bool(const std::string &)> &names)
{
    auto found = std::find_if(flags.begin(), flags.end(), names);
    return found == flags.end() ? nullptr : &*found;
}

// The calls of the boot the fault fell in, and of the boot without a fault: the two differ when
// an earlier fault of a pair changed the boot's way.
Excuses ExcusesFor(const std::vector<ce_host::FallibleCallRecord> &calls, size_t index,
                   bool lasting, const std::vector<ce_host::FallibleCallRecord> &withoutFault)
{
    static const char *const kFlags[][2] = {
        {"DSK1: IOCTL_FMD_SET_EBOOT_FLAG", "EBoot"},
        {"DSK1: IOCTL_FMD_SET_NK_FLAG", "NK"},
        {"DSK1: IOCTL_FMD_SET_TOC_FLAG", "TOC"},
    };
    auto isControl = [&](size_t i, const char *target) {
        return i < calls.size() && calls[i].call == "DeviceIoControl" && calls[i].target == target;
    };
    const char *modeOff = "PWR1: SET_OS_UPDATE_MODE 00000000";
    // A failed open makes no control code after it: the boot goes on with what follows the
    // mode-off code in the boot without a fault.
    auto endsAsAfterModeOff = [&](size_t i) {
        auto code = std::find_if(withoutFault.rbegin(), withoutFault.rend(), [&](const auto &c) {
            return c.call == "DeviceIoControl" && c.target == modeOff;
        });
        return code != withoutFault.rend() &&
               std::equal(calls.begin() + i, calls.end(), code.base(), withoutFault.end(),
                          [](const auto &a, const auto &b) {
                              return a.call == b.call && a.target == b.target;
                          });
    };
    // The control code that switches the mode off, or the open of the power controller for it.
    auto modeOffAttempt = [&](size_t i) {
        return isControl(i, modeOff) ||
               (calls[i].call == "CreateFileW" && calls[i].target == "PWR1:" &&
                (isControl(i + 1, modeOff) || endsAsAfterModeOff(i + 1)));
    };
    Excuses excuses;
    excuses.updateMode = modeOffAttempt(index);
    // A lasting fault fails the mode-off attempt too when it strikes the same call there.
    for (size_t i = index + 1; lasting && !excuses.updateMode && i < calls.size(); ++i)
        excuses.updateMode = modeOffAttempt(i) && calls[i].call == calls[index].call &&
                             calls[i].target == calls[index].target;
    for (const auto &[code, flag] : kFlags) {
        if (isControl(index, (std::string(code) + " 00000000").c_str()))
            excuses.flags.insert(flag);
        if (isControl(index, (std::string(code) + " ecac0000").c_str()))
            excuses.unsetFlags.insert(flag);
    }
    return excuses;
}

// On a device whose running image holds an update key, a boot changes the boot loader's blocks
// only after the shell verified the boot loader's signature, and the NK image's only after it
// verified the NK image's; and never for an image whose signature the sweep itself finds not to
// hold, whatever the shell logged. The TOC's block is left out: the serial-number step writes it
// too.
void CheckSignedWrites(const Boot &boot, const Before &before, FaultRow &row)
{
    const std::vector<std::string> verified =
        boot.report ? boot.report->summary.signaturesVerified : std::vector<std::string>{};
    auto holds = [&](const std::string &image) {
        // The shell names its images by device path: its last backslash ends the folder.
        return !image.empty() && !before.forged.count(image.substr(image.rfind('\\') + 1)) &&
               std::find(verified.begin(), verified.end(), image) != verified.end();
    };
    const BootSummary *summary = boot.report ? &boot.report->summary : nullptr;
    std::vector<std::string> unverified;
    for (uint32_t block : boot.flashChanged) {
        const bool bootLoader = block <= devkit::kEbootBlocks;
        if (block == devkit::kTocBlock)
            continue;
        if (!summary || !holds(bootLoader ? summary->bootLoaderImage : summary->nkImage))
            unverified.push_back(std::to_string(block));
    }
    if (!unverified.empty())
        row.breaches.push_back("flash block" + std::string(unverified.size() > 1 ? "s " : " ") +
                               Joined(unverified, ", ") +
                               " written without the image's signature verified");
}

// The invariants every boot keeps, with or without a fault.
void CheckInvariants(const fs::path &copy, const Boot &boot, const Before &before,
                     const std::set<uint32_t> &ownedBlocks, const Excuses &excuses, FaultRow &row)
{
    if (boot.report) {
        const BootSummary &summary = boot.report->summary;
        AddAll(row.breaches, "still held: ", summary.held);
        for (const std::string &flag : summary.flagsLeftOn) {
            if (const std::string *excused = NamedFlag(excuses.flags, [&](const std::string &f) {
                    return flag.find("the " + f + " flag ") != flag.npos;
                }))
                row.notes.push_back(*excused + " flag left on by the injected fault itself");
            else
                row.breaches.push_back("flag left on: " + flag);
        }
        AddAll(row.breaches, "misused: ", summary.misused);
        for (const std::string &violation : summary.violations) {
            if (NamedFlag(excuses.unsetFlags, [&](const std::string &f) {
                    return violation.ends_with(" without the " + f + " flag");
                }))
                row.notes.push_back("refused by the device: " + violation +
                                    ", which the injected fault left unset");
            else
                row.breaches.push_back("violation: " + violation);
        }
    } else {
        row.breaches.push_back("the shell did not return: " + boot.stopped);
    }
    std::optional<uint32_t> mode = boot.updateMode ? boot.updateMode : SavedUpdateMode(copy);
    if (mode.value_or(0) != 0) {
        if (excuses.updateMode)
            row.notes.push_back("mode left on by the injected fault itself");
        else
            row.breaches.push_back("update mode left on");
    }
    AddAll(row.breaches,
           "outside the boot's files: ", RootChanges(before.root, SnapshotRoot(copy)));
    std::vector<std::string> outside;
    for (uint32_t block : boot.flashChanged)
        if (!ownedBlocks.count(block))
            outside.push_back(std::to_string(block));
    if (!outside.empty())
        row.breaches.push_back("flash block" + std::string(outside.size() > 1 ? "s " : " ") +
                               Joined(outside, ", ") + " changed outside the update's blocks");
    if (before.signedOnly)
        CheckSignedWrites(boot, before, row);
}

// What the boot loader would boot from a device folder's flash; a flash never written holds no
// boot loader.
std::string WhatBoots(const fs::path &folder, const BootImages &oldImages,
                      const BootImages &newImages)
{
    std::unique_ptr<sim::FlashDriver> flash = devkit::OpenDeviceFlash(folder);
    if (!flash)
        return VerdictName(Verdict::Unbootable);
    return VerdictName(JudgeFlash(*flash, oldImages, newImages).verdict);
}

// Whether the boot journaled the fault of its n-th call.
bool FaultJournaled(const Boot &boot, const std::string &call, uint64_t n)
{
    const std::string expected = call + " #" + std::to_string(n);
    return std::find(boot.faults.begin(), boot.faults.end(), expected) != boot.faults.end();
}

// The fault fired where the counting boot said it would: the same calls led up to it.
void CheckFaultPoint(const Boot &boot, const CountingBoot &counting, FaultRow &row)
{
    const std::vector<ce_host::FallibleCallRecord> &calls = ce_host::FallibleCalls();
    for (uint64_t i = 0; i + 1 < row.n && i < calls.size(); ++i) {
        if (calls[i].call != counting.calls[i].call ||
            calls[i].target != counting.calls[i].target) {
            row.breaches.push_back("the boot took another way before the fault: call " +
                                   std::to_string(i + 1) + " was " + calls[i].call + " " +
                                   calls[i].target);
            return;
        }
    }
    if (!FaultJournaled(boot, row.call, row.n))
        row.breaches.push_back("the fault point was never reached");
}

Before Inspect(const fs::path &folder)
{
    Before before{
        folder, SnapshotRoot(folder), FlashImage(folder), FindUpdateOffer(folder), {}, false, {}};
    if (std::unique_ptr<sim::FlashDriver> flash = devkit::OpenDeviceFlash(folder))
        before.images = ReadBootImages(*flash);
    const std::optional<devkit::DeviceKey> key = devkit::ReadDeviceKey(folder);
    before.signedOnly = key.has_value();
    for (const auto &[prefix, extension] : {std::pair{"R5nk_", ".bin"}, {"R5boot_", ".nb0"}}) {
        const std::optional<fs::path> image = devkit::ChosenUpdateFile(folder, prefix, extension);
        if (key && image && (!key->key || devkit::SignatureProblem(*image, *key->key)))
            before.forged.insert(image->filename().string());
    }
    return before;
}

// The places of lasting faults, cleared when a row begins and when it ends.
struct LastingPlacesOfThisRow {
    LastingPlacesOfThisRow() { ce_host::ClearLastingFaults(); }
    ~LastingPlacesOfThisRow() { ce_host::ClearLastingFaults(); }
    LastingPlacesOfThisRow(const LastingPlacesOfThisRow &) = delete;
    LastingPlacesOfThisRow &operator=(const LastingPlacesOfThisRow &) = delete;
};

// A failed erase or program changes the flash unless the fault leaves it untouched.
bool ChangesFlash(const ce_host::FallibleCallRecord &call)
{
    return call.call == "DeviceIoControl" &&
           (call.target.starts_with("DSK1: IOCTL_FMD_ERASE_BLOCK") ||
            call.target.starts_with("DSK1: IOCTL_FMD_WRITE_SECTOR"));
}

// Where the second fault of a pair fell in the boot just made: on its own call, on another that
// stood at its number once the first fault had changed the boot's way, or nowhere, the boot
// making fewer calls. Gives what that call's failure excuses.
Excuses FollowSecondFault(const Boot &boot, const FaultSweepOptions &options,
                          const std::vector<ce_host::FallibleCallRecord> &withoutFault,
                          SecondFault &second, FaultRow &row)
{
    const std::vector<ce_host::FallibleCallRecord> &calls = ce_host::FallibleCalls();
    if (second.n > calls.size())
        return {};
    const ce_host::FallibleCallRecord &made = calls[second.n - 1];
    second.reached = made.call == second.call && made.target == second.target;
    if (!second.reached)
        second.failedInstead = made.call + (made.target.empty() ? "" : " " + made.target);
    if (ChangesFlash(made))
        second.leaves = options.torn ? "torn" : "untouched";
    if (!FaultJournaled(boot, made.call, second.n))
        row.breaches.push_back("the second fault point failed nothing");
    return ExcusesFor(calls, second.n - 1, options.lasting, withoutFault);
}

// Whether the boot left a flash that boots nothing, so that no next start comes; a dead row
// tells whether its shell asked for a restart into it.
bool MarkedDead(const Boot &boot, FaultRow &row)
{
    if (row.boots != VerdictName(Verdict::Unbootable))
        return false;
    row.bootsNext = kDead;
    row.restartIntoDead = boot.report && boot.report->summary.restartRequested;
    return true;
}

// The sweep's state between boots: the copy, and the blocks the last boots changed in it.
struct Sweeper {
    const Before &before;
    const FaultSweepOptions &options;
    ScratchDevice copy;
    std::vector<uint32_t> changedBlocks;

    CountingBoot CountCalls(FaultRow &row)
    {
        ce_host::ScopedFailingCall none(std::nullopt);
        Boot boot = RunBoot(copy.Path(), options.shell, before.flash);
        CountingBoot counting;
        counting.calls = ce_host::FallibleCalls();
        counting.stages = StagesAlong(ReadJournal(copy.Path()));
        counting.ownedBlocks =
            BlocksTheUpdateOwns(before.offer, boot.report ? boot.report->summary.blocksWritten
                                                          : std::vector<uint32_t>{});
        // The images from the device folder itself: the boot removed the copy's update folder.
        std::optional<UpdateImages> update = OpenedUpdateImages(
            before.folder, sim::ReadWholeFile(copy.Path() / "debug.log"), before.images);
        counting.newImages = update ? update->images : before.images;
        row.stage = "whole boot";
        row.did = WhatItDid(boot);
        CheckInvariants(copy.Path(), boot, before, counting.ownedBlocks, {}, row);
        changedBlocks = boot.flashChanged;
        row.boots = WhatBoots(copy.Path(), before.images, counting.newImages);
        // A boot without a fault leaves nothing for the next to mend, and a dead flash no next.
        if (!MarkedDead(boot, row))
            row.bootsNext = row.boots;
        return counting;
    }

    // The row's fault points as the boot without a fault made them.
    FaultRow RowFor(const CountingBoot &counting, FaultPoints points) const
    {
        const uint64_t n = points.first;
        const ce_host::FallibleCallRecord &call = counting.calls[n - 1];
        FaultRow row;
        row.n = n;
        row.call = call.call;
        row.target = call.target;
        if (ChangesFlash(call))
            row.leaves = options.torn ? "torn" : "untouched";
        row.stage = counting.StageOf(call);
        if (points.second) {
            const ce_host::FallibleCallRecord &later = counting.calls[points.second - 1];
            row.second.n = points.second;
            row.second.call = later.call;
            row.second.target = later.target;
            row.second.stage = counting.StageOf(later);
        }
        return row;
    }

    std::set<uint64_t> Failing(FaultPoints points) const
    {
        std::set<uint64_t> failing = {points.first};
        if (points.second)
            failing.insert(points.second);
        return failing;
    }

    ce_host::FaultMode Mode() const { return {.torn = options.torn, .lasting = options.lasting}; }

    // What the faulted boot in the folder did and broke, then the next start without a fault:
    // whether the device mends what the fault left. Gives back the blocks both boots touched.
    std::vector<uint32_t> FinishRow(const fs::path &folder, const Boot &boot,
                                    const CountingBoot &counting, FaultPoints points,
                                    FaultRow &row) const
    {
        row.did = WhatItDid(boot);
        CheckFaultPoint(boot, counting, row);
        Excuses excuses =
            ExcusesFor(counting.calls, points.first - 1, options.lasting, counting.calls);
        if (points.second)
            excuses.Add(FollowSecondFault(boot, options, counting.calls, row.second, row));
        CheckInvariants(folder, boot, before, counting.ownedBlocks, excuses, row);
        row.boots = boot.boots;
        std::vector<uint32_t> touched = boot.flashChanged;
        // A flash that boots nothing starts no shell: there is no next start to mend it.
        if (MarkedDead(boot, row))
            return touched;
        ce_host::ScopedFailingCall none(std::nullopt);
        // Nothing reads the folder after the next boot: a forked row ends, and the next row's
        // restore puts back every block it touched.
        Boot next = RunBoot(folder, options.shell, before.flash,
                            Judge{before.images, counting.newImages}, false);
        row.bootsNext = next.boots;
        if (next.report)
            row.nextFlashUs = next.report->summary.flash.timeUs;
        CheckNextBoot(folder, next, counting, options.lasting ? excuses : Excuses{}, row);
        // The next row's restore puts back every block the next boot touched too, without
        // reading them again to see which of them it changed.
        touched.insert(touched.end(), next.flashTouched.begin(), next.flashTouched.end());
        return touched;
    }

    // The next boot keeps every invariant as any boot does; what a lasting fault that strikes
    // it again leaves behind by itself is excused as in the boot before.
    void CheckNextBoot(const fs::path &folder, const Boot &next, const CountingBoot &counting,
                       Excuses excuses, FaultRow &row) const
    {
        for (const std::string &fault : next.faults)
            excuses.Add(ExcusesFor(ce_host::FallibleCalls(),
                                   std::stoull(fault.substr(fault.rfind('#') + 1)) - 1,
                                   options.lasting, counting.calls));
        FaultRow checked;
        CheckInvariants(folder, next, before, counting.ownedBlocks, excuses, checked);
        for (const std::string &breach : checked.breaches)
            row.breaches.push_back("next boot: " + breach);
        for (const std::string &note : checked.notes)
            row.notes.push_back("next boot: " + note);
    }

    // One row booted from the start on the copy put back as the device was.
    FaultRow SweepPoint(const CountingBoot &counting, FaultPoints points)
    {
        FaultRow row = RowFor(counting, points);
        copy.Restore({changedBlocks.begin(), changedBlocks.end()});
        // A lasting fault's places stay for this row's next boot and no further.
        LastingPlacesOfThisRow lastingPlaces;
        Boot boot;
        {
            ce_host::ScopedFailingCall fault(Failing(points), Mode());
            boot = RunBoot(copy.Path(), options.shell, before.flash,
                           Judge{before.images, counting.newImages});
        }
        changedBlocks = FinishRow(copy.Path(), boot, counting, points, row);
        return row;
    }

    // The rows first, first + step, ... forked from one boot without a fault: at each row's first
    // fault point the boot forks; the child fails the call and finishes the row in a linked copy
    // of the device folder of its own, its flash held in memory, while this process waits for the
    // row and goes on without the fault.
    void SweepForked(const CountingBoot &counting, const std::vector<FaultPoints> &points,
                     size_t first, size_t step, const Emit &emit)
    {
        std::map<uint64_t, std::vector<size_t>> rowsAt;
        for (size_t i = first; i < points.size(); i += step)
            rowsAt[points[i].first].push_back(i);
        copy.Restore({changedBlocks.begin(), changedBlocks.end()});
        RowForks forks(copy, emit);
        ce_host::SetCallHook(Keys(rowsAt), [&](uint64_t n) {
            for (size_t i : rowsAt[n])
                if (forks.Fork(i))
                    return ce_host::SetFailingCalls(Failing(points[i]), Mode());
        });
        Boot boot;
        {
            ce_host::ScopedFailingCall none(std::nullopt);
            boot = RunBoot(copy.Path(), options.shell, before.flash,
                           Judge{before.images, counting.newImages});
        }
        ce_host::SetCallHook({}, {});
        if (std::optional<size_t> mine = forks.Row())
            forks.Finish([&] {
                FaultRow row = RowFor(counting, points[*mine]);
                FinishRow(forks.Own(), boot, counting, points[*mine], row);
                return nlohmann::json(row);
            });
        forks.ThrowIfFailed();
        changedBlocks = boot.flashTouched;
    }
};

}  // namespace

std::vector<uint64_t> SelectFaultPoints(const std::vector<FaultPointCall> &calls,
                                        const FaultSweepOptions &options)
{
    std::vector<uint64_t> points;
    if (!options.at.empty()) {
        for (uint64_t n : std::set<uint64_t>(options.at.begin(), options.at.end())) {
            if (n == 0 || n > calls.size())
                throw sim::DeviceError("no fault point " + std::to_string(n) + ": the boot makes " +
                                       std::to_string(calls.size()) + " fallible calls");
            points.push_back(n);
        }
        return points;
    }
    if (options.sample > 0) {
        for (uint64_t i = 0; i < std::min<uint64_t>(options.sample, calls.size()); ++i)
            points.push_back(1 +
                             i * calls.size() / std::min<uint64_t>(options.sample, calls.size()));
        return points;
    }
    uint64_t every = std::max<uint64_t>(options.every, 1);
    auto sameAs = [&](size_t i, size_t j) {
        return j < calls.size() && calls[j].call == calls[i].call &&
               calls[j].target == calls[i].target;
    };
    for (size_t i = 0; i < calls.size(); ++i) {
        bool control = calls[i].call == "DeviceIoControl";
        // A sector transfer repeats its neighbours' way through the shell: the first and the last
        // of a run stand for it.
        bool inRun = i > 0 && sameAs(i, i - 1) && sameAs(i, i + 1);
        if (i % every == 0 || (control && !inRun))
            points.push_back(i + 1);
    }
    return points;
}

std::vector<FaultPoints> SelectFaultPairs(uint64_t calls, uint64_t pairs, uint64_t seed)
{
    const uint64_t possible = calls < 2 ? 0 : calls * (calls - 1) / 2;
    if (pairs > possible)
        throw sim::DeviceError("no " + std::to_string(pairs) +
                               " pairs of fault points: the boot makes " + std::to_string(calls) +
                               " fallible calls, " + std::to_string(possible) + " pairs");
    // The standard fixes the generator's output but not a distribution's, so a point is drawn by
    // hand: the draws past the last whole multiple of the calls are drawn again.
    std::mt19937_64 generator(seed);
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    const uint64_t beyond = calls < 2 ? 0 : (kMax % calls + 1) % calls;
    auto point = [&] {
        uint64_t drawn = generator();
        while (beyond && drawn > kMax - beyond)
            drawn = generator();
        return 1 + drawn % calls;
    };
    std::set<FaultPoints> chosen;
    while (chosen.size() < pairs) {
        const uint64_t a = point(), b = point();
        if (a != b)
            chosen.insert({std::min(a, b), std::max(a, b)});
    }
    return {chosen.begin(), chosen.end()};
}

FaultSweepReport SweepFaults(const fs::path &folder, const FaultSweepOptions &options,
                             const SweepProgress &progress)
{
    sim::DeviceLock lock(folder);
    devkit::RequireDeviceFolder(folder);
    Before before = Inspect(folder);
    Sweeper sweeper{before, options, ScratchDevice(folder), {}};

    FaultSweepReport report;
    report.device = folder.string();
    report.shell = options.shell;
    report.torn = options.torn;
    report.lasting = options.lasting;
    report.pairs = options.pairs > 0;
    report.seed = report.pairs ? options.seed : 0;
    CountingBoot counting = sweeper.CountCalls(report.counting);
    report.calls = counting.calls.size();
    report.bootsBefore = WhatBoots(folder, before.images, counting.newImages);
    report.shard = options.shard;
    report.shards = options.shards;
    const std::string unbootable = VerdictName(Verdict::Unbootable);
    auto mark = [&](FaultRow &row) {
        row.leftDead = report.bootsBefore != unbootable && row.boots == unbootable;
        // The next start brings what the boot without a fault brought, which this one did not.
        row.mendedByNextBoot = report.counting.boots != unbootable &&
                               row.boots != report.counting.boots &&
                               row.bootsNext == report.counting.boots;
    };
    mark(report.counting);

    std::vector<FaultPointCall> calls;
    for (const ce_host::FallibleCallRecord &call : counting.calls)
        calls.push_back({call.call, call.target});
    std::vector<FaultPoints> points;
    if (options.pairs)
        points = SelectFaultPairs(calls.size(), options.pairs, options.seed);
    else
        for (uint64_t n : SelectFaultPoints(calls, options))
            points.push_back({n});
    report.selected = points.size();
    // This shard's: every shards-th point from the shard-th.
    std::vector<FaultPoints> shard;
    for (size_t i = options.shard - 1; i < points.size(); i += options.shards)
        shard.push_back(points[i]);
    points = std::move(shard);
    if (options.planned)
        options.planned(points.size(), calls.size());
    auto take = [&](size_t i, const nlohmann::json &result) {
        report.rows.push_back(result.get<FaultRow>());
        mark(report.rows.back());
        if (progress)
            progress(i + 1, points.size(), report.rows.back());
    };
    // Every worker boots its own copy; this process's copy serves when there is one worker. A
    // flash never laid down has no nand.bin for the forked rows to share: those boot from the
    // start.
    const bool forked = !options.fromScratch && fs::exists(folder / "nand.bin");
    WorkerRun run = [&](bool inWorker, size_t first, size_t step, size_t count, const Emit &emit) {
        std::unique_ptr<Sweeper> own;
        if (inWorker)
            own.reset(new Sweeper{before, options, ScratchDevice(folder), {}});
        Sweeper &worker = inWorker ? *own : sweeper;
        if (forked) {
            worker.SweepForked(counting, points, first, step, emit);
            return;
        }
        for (size_t i = first; i < count; i += step)
            emit(i, nlohmann::json(worker.SweepPoint(counting, points[i])));
    };
    RunForkedWorkers(points.size(), options.jobs, run, take);
    TallyFaultRows(report);
    return report;
}

void TallyFaultRows(FaultSweepReport &report)
{
    report.breaches = report.leftDead = report.restartsIntoDead = report.mendedByNextBoot = 0;
    report.secondsNotReached = report.secondsFailedInstead = 0;
    auto tally = [&](const FaultRow &row) {
        report.breaches += row.breaches.empty() ? 0 : 1;
        report.leftDead += row.leftDead ? 1 : 0;
        report.restartsIntoDead += row.restartIntoDead ? 1 : 0;
        report.mendedByNextBoot += row.mendedByNextBoot ? 1 : 0;
        const bool unreached = row.second.n && !row.second.reached;
        report.secondsNotReached += unreached ? 1 : 0;
        report.secondsFailedInstead += unreached && !row.second.failedInstead.empty() ? 1 : 0;
    };
    tally(report.counting);
    for (const FaultRow &row : report.rows)
        tally(row);
}

}  // namespace qs_tools
