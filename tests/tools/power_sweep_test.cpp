// The power cut at chosen erases and programs of an update boot: what the boot loader would boot
// after each, whether the next boot repairs it, and that the device swept is left alone.
#include <algorithm>
#include <map>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "devkit/nb0_image.h"
#include "tests/scenarios/scenario_device.h"
#include "tools/demo_device.h"
#include "tools/power_sweep.h"
#include "tools/power_sweep_report.h"
#include "tools/scratch_device.h"

namespace power_sweep_test {
namespace {

namespace fs = std::filesystem;
using qs_tools::CutResult;
using qs_tools::PowerSweep;
using qs_tools::Verdict;
using scenario::Json;
using scenario::ScenarioDevice;
using sim::FlashOperation;
using sim::PowerCutOutcome;
using testing::HasSubstr;

constexpr PowerCutOutcome kNotDone = PowerCutOutcome::NotDone;
constexpr PowerCutOutcome kCompleted = PowerCutOutcome::Completed;
constexpr PowerCutOutcome kTorn = PowerCutOutcome::Torn;

// Every file under a folder with its bytes, so that a sweep can be shown to change nothing.
std::map<std::string, std::string> Contents(const fs::path &folder)
{
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), folder).string()] = qs_test::FileText(entry.path());
    return files;
}

// The first operation that matches, counted from 1.
uint64_t FirstWhere(const PowerSweep &sweep, const std::function<bool(const FlashOperation &)> &is)
{
    auto found = std::find_if(sweep.operations.begin(), sweep.operations.end(), is);
    EXPECT_NE(found, sweep.operations.end());
    return uint64_t(found - sweep.operations.begin()) + 1;
}

const CutResult &CutAt(const PowerSweep &sweep, uint64_t index, PowerCutOutcome outcome)
{
    for (const CutResult &cut : sweep.cuts)
        if (cut.index == index && cut.outcome == outcome)
            return cut;
    ADD_FAILURE() << "no cut at " << index;
    return sweep.cuts.front();
}

// What the summary counts agrees with the rows, and a window holds exactly the unbootable cuts.
void ExpectConsistent(const PowerSweep &sweep)
{
    Json json = qs_tools::PowerSweepJson(sweep);
    std::map<std::string, size_t> atCut, second;
    for (const Json &cut : json["cuts"]) {
        ++atCut[cut["at_cut"]["verdict"]];
        if (cut["second_boot"]["judgement"].is_null())
            ++second["stopped"];
        else
            ++second[cut["second_boot"]["judgement"]["verdict"]];
    }
    EXPECT_EQ(json["cuts"].size(), sweep.cuts.size());
    EXPECT_EQ(json["summary"]["cuts"], sweep.cuts.size());
    for (const char *verdict : {"old", "new", "unbootable"}) {
        EXPECT_EQ(json["summary"]["at_cut"][verdict], atCut[verdict]) << verdict;
        EXPECT_EQ(json["summary"]["second_boot"][verdict], second[verdict]) << verdict;
    }
    EXPECT_EQ(json["summary"]["second_boot"]["stopped"], second["stopped"]);

    std::vector<qs_tools::UnbootableWindow> windows = qs_tools::UnbootableWindows(sweep);
    for (const CutResult &cut : sweep.cuts) {
        bool inWindow = std::any_of(windows.begin(), windows.end(), [&](const auto &window) {
            return cut.index >= window.first && cut.index <= window.last;
        });
        if (cut.atCut.verdict == Verdict::Unbootable) {
            EXPECT_TRUE(inWindow) << cut.index;
        }
        if (!inWindow) {
            EXPECT_NE(cut.atCut.verdict, Verdict::Unbootable) << cut.index;
        }
    }
    for (const auto &window : windows) {
        EXPECT_LE(window.startUs, window.endUs);
        EXPECT_EQ(window.startUs, sweep.operations[window.first - 1].startUs);
    }
}

// The boot loader of the new package differs from the old one in its StepLoader.
fs::path WriteOtherNb0(const ScenarioDevice &device)
{
    std::vector<uint8_t> stepLoader(devkit::kStepLoaderSize, 0x3C);
    return device.WriteFile("new.nb0", devkit::MakeNb0(std::span<const uint8_t>(stepLoader), {}));
}

// Shorter than the old image, so that the old TOC's ID[3] does not describe it.
devkit::BinImageLayout OtherNkLayout()
{
    devkit::BinImageLayout layout = scenario::NkLayout();
    layout.image.resize(0x48000);
    for (uint8_t &byte : layout.image)
        byte = uint8_t(~byte);
    return layout;
}

// A device that booted an old image from blocks 7, 8 and 10 (6 and 9 are bad), with a new,
// shorter image and a new boot loader waiting; swept at the first operation, the first NK
// erase, the first program of block 8, the TOC's erase and its program, the last.
struct OldImageRun {
    enum Step { kFirst, kNkErase, kNkProgram, kTocErase, kTocProgram };

    OldImageRun()
    {
        device.Offer({device.WriteNk("old.bin", scenario::NkLayout()), device.WriteNb0(), "1"});
        EXPECT_EQ(device.Boot().summary.osUpdate, true);
        device.Offer({device.WriteNk("new.bin", OtherNkLayout()), WriteOtherNb0(device), "2"});
        before = Contents(device.folder());

        // A first sweep at the first operation only tells where the regions' operations lie.
        PowerSweep counted =
            qs_tools::RunPowerSweep(device.folder(), {.at = {1}, .outcomes = {kNotDone}});
        auto nkErase = [](const FlashOperation &op) {
            return op.kind == FlashOperation::Kind::Erase && op.block >= 6;
        };
        auto nkProgram = [](const FlashOperation &op) {
            return op.kind == FlashOperation::Kind::Program && op.block == 8;
        };
        auto tocErase = [](const FlashOperation &op) {
            return op.kind == FlashOperation::Kind::Erase && op.block == 5;
        };
        at = {1, FirstWhere(counted, nkErase), FirstWhere(counted, nkProgram),
              FirstWhere(counted, tocErase), counted.operations.size()};
        sweep = qs_tools::RunPowerSweep(device.folder(), {.at = at});
    }

    const CutResult &Cut(Step step, PowerCutOutcome outcome) const
    {
        return CutAt(sweep, at[step], outcome);
    }

    ScenarioDevice device{{.blocks = scenario::kBlocks, .bad = {6, 9}}};
    std::map<std::string, std::string> before;
    std::vector<uint64_t> at;
    PowerSweep sweep;
};

// Made once for every test that reads it.
const OldImageRun &OldImage()
{
    static const OldImageRun run;
    return run;
}

TEST(OldImageSweep, TheUpdateBootWritesTheBootLoaderThenTheNkImageThenTheToc)
{
    const PowerSweep &sweep = OldImage().sweep;
    const std::vector<uint64_t> &at = OldImage().at;
    EXPECT_EQ(sweep.before.verdict, Verdict::Old);
    EXPECT_EQ(sweep.uncut.verdict, Verdict::New);
    EXPECT_EQ(sweep.newNk, "\\flashdisk\\K275D-Update\\R5nk_2.bin");
    EXPECT_EQ(sweep.newBootLoader, "\\flashdisk\\K275D-Update\\R5boot_2.nb0");
    EXPECT_EQ(sweep.operations.front().kind, FlashOperation::Kind::Erase);
    EXPECT_EQ(sweep.operations.front().block, 0u);
    EXPECT_EQ(sweep.operations.back().kind, FlashOperation::Kind::Program);
    EXPECT_EQ(sweep.operations.back().sector, 5u * 64);
    EXPECT_EQ(sweep.operations[at[OldImageRun::kNkErase] - 1].block, 7u) << "6 is bad";
    std::vector<uint32_t> nkBlocks;
    for (const FlashOperation &op : sweep.operations)
        if (op.kind == FlashOperation::Kind::Erase && op.block >= 6)
            nkBlocks.push_back(op.block);
    EXPECT_EQ(nkBlocks, (std::vector<uint32_t>{7, 8, 10}));
    EXPECT_EQ(sweep.usage.erases + sweep.usage.programs, sweep.operations.size());
    EXPECT_EQ(sweep.cuts.size(), at.size() * 3);
}

struct Expected {
    const char *name;
    OldImageRun::Step step;
    PowerCutOutcome outcome;
    Verdict verdict;
};

class OldImageVerdicts : public testing::TestWithParam<Expected> {};

TEST_P(OldImageVerdicts, AtTheCutAndAfterTheSecondBoot)
{
    const Expected &e = GetParam();
    const CutResult &cut = OldImage().Cut(e.step, e.outcome);
    EXPECT_EQ(cut.atCut.verdict, e.verdict)
        << "boot loader " << qs_tools::ImageMatchName(cut.atCut.bootLoader) << ", NK "
        << qs_tools::ImageMatchName(cut.atCut.nk) << ", TOC accepted " << cut.atCut.tocAccepted;
    ASSERT_TRUE(cut.second.judgement.has_value()) << cut.second.stopped;
    EXPECT_EQ(cut.second.judgement->verdict, Verdict::New) << "the update is made again";
}

INSTANTIATE_TEST_SUITE_P(
    Table, OldImageVerdicts,
    testing::Values(
        Expected{"BeforeTheFirstErase", OldImageRun::kFirst, kNotDone, Verdict::Old},
        Expected{"StepLoaderErased", OldImageRun::kFirst, kCompleted, Verdict::Unbootable},
        Expected{"StepLoaderHalfErased", OldImageRun::kFirst, kTorn, Verdict::Unbootable},
        // The new boot loader is whole and still loads the old image.
        Expected{"NewBootLoaderOldImage", OldImageRun::kNkErase, kNotDone, Verdict::Old},
        Expected{"DuringTheNkErase", OldImageRun::kNkErase, kCompleted, Verdict::Unbootable},
        Expected{"DuringATornNkErase", OldImageRun::kNkErase, kTorn, Verdict::Unbootable},
        Expected{"DuringTheNkProgram", OldImageRun::kNkProgram, kCompleted, Verdict::Unbootable},
        // The old TOC records the old image, whose blocks hold the new one now.
        Expected{"BeforeTheTocErase", OldImageRun::kTocErase, kNotDone, Verdict::Unbootable},
        Expected{"TocErased", OldImageRun::kTocErase, kCompleted, Verdict::Unbootable},
        Expected{"BeforeTheTocWrite", OldImageRun::kTocProgram, kNotDone, Verdict::Unbootable},
        Expected{"TocHalfWritten", OldImageRun::kTocProgram, kTorn, Verdict::Unbootable},
        Expected{"AfterTheTocWrite", OldImageRun::kTocProgram, kCompleted, Verdict::New}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(OldImageSweep, CountsAndWindowsAgreeWithTheRows)
{
    const PowerSweep &sweep = OldImage().sweep;
    ExpectConsistent(sweep);
    std::vector<qs_tools::UnbootableWindow> windows = qs_tools::UnbootableWindows(sweep);
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0].first, 1u);
    EXPECT_EQ(windows[0].last, sweep.operations.size());
    // Per outcome: a cut that leaves its erase undone keeps the old image until the NK image's
    // blocks are written; one that completes it is bootable only after the TOC's program.
    const std::vector<uint64_t> &at = OldImage().at;
    auto windowsOf = [&](PowerCutOutcome outcome) {
        std::vector<std::pair<uint64_t, uint64_t>> ranges;
        for (const auto &window : qs_tools::UnbootableWindows(sweep, outcome))
            ranges.emplace_back(window.first, window.last);
        return ranges;
    };
    using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;
    EXPECT_EQ(windowsOf(kNotDone), (Ranges{{at[OldImageRun::kNkProgram], at.back()}}));
    EXPECT_EQ(windowsOf(kCompleted), (Ranges{{1, at[OldImageRun::kTocErase]}}));
    EXPECT_EQ(windowsOf(kTorn), (Ranges{{1, at.back()}}));
    Json json = qs_tools::PowerSweepJson(sweep);
    EXPECT_EQ(json["summary"]["unbootable_windows_by_outcome"]["completed"].size(), 1u);
    EXPECT_EQ(json["summary"]["unbootable_windows_by_outcome"]["completed"][0]["last"],
              at[OldImageRun::kTocErase]);
    std::string text = qs_tools::PowerSweepText(sweep);
    EXPECT_THAT(text, HasSubstr("before the update     old image bootable\n"));
    EXPECT_THAT(text, HasSubstr("at the cut            old 2, new 1, unbootable 12\n"));
    EXPECT_THAT(text, HasSubstr("after the second boot old 0, new 15, unbootable 0\n"));
    EXPECT_THAT(text, HasSubstr("not recovered         none"));
    EXPECT_THAT(text, HasSubstr("unbootable windows\n                      any outcome:  "
                                "operations 1-"));
    EXPECT_THAT(text, HasSubstr("\n                      torn:         operations 1-"));
}

TEST(OldImageSweep, LeavesTheDeviceSweptAsItWas)
{
    EXPECT_TRUE(Contents(OldImage().device.folder()) == OldImage().before);
}

// The demo's images on a fresh device (no application data, which the second boots would
// install again and again): nothing bootable until the TOC is written, also when the whole new
// boot loader stands beside the factory TOC, whose ID[3] describes erased sectors (operation
// 270, the first NK erase).
TEST(DemoPackageSweep, NothingBootsBeforeTheTocAndEverySecondBootRecovers)
{
    ScenarioDevice device({.blocks = 40});
    qs_tools::WriteDemoImages(device.Scratch(""));
    device.Offer({device.Scratch("nk.bin"), device.Scratch("boot.nb0"), "demo"});
    PowerSweep sweep = qs_tools::RunPowerSweep(
        device.folder(), {.at = {1, 270, 1801, 1896}, .outcomes = {kNotDone, kCompleted}});

    EXPECT_EQ(sweep.operations.size(), 1896u) << "31 erases and 1865 programs";
    EXPECT_EQ(sweep.usage.erases, 31u);
    EXPECT_EQ(sweep.usage.programs, 1865u);
    EXPECT_EQ(sweep.before.verdict, Verdict::Unbootable) << "a factory-fresh flash";
    EXPECT_EQ(sweep.uncut.verdict, Verdict::New);
    std::vector<uint64_t> sampled;
    for (const CutResult &cut : sweep.cuts) {
        if (sampled.empty() || sampled.back() != cut.index)
            sampled.push_back(cut.index);
        Verdict expected =
            cut.index == 1896 && cut.outcome == kCompleted ? Verdict::New : Verdict::Unbootable;
        EXPECT_EQ(cut.atCut.verdict, expected) << cut.index;
        ASSERT_TRUE(cut.second.judgement.has_value()) << cut.second.stopped;
        EXPECT_EQ(cut.second.judgement->verdict, Verdict::New) << cut.index;
    }
    EXPECT_EQ(sampled, (std::vector<uint64_t>{1, 270, 1801, 1896}));
    const CutResult &nkErase = CutAt(sweep, 270, kNotDone);
    EXPECT_EQ(sweep.operations[269].kind, FlashOperation::Kind::Erase);
    EXPECT_EQ(sweep.operations[269].block, 6u);
    EXPECT_EQ(nkErase.atCut.bootLoader, qs_tools::ImageMatch::New);
    EXPECT_TRUE(nkErase.atCut.tocAccepted);
    EXPECT_EQ(nkErase.atCut.nk, qs_tools::ImageMatch::Neither);
    ExpectConsistent(sweep);
}

TEST(SampledOperations, EveryKthFromTheFirstAndTheLast)
{
    EXPECT_EQ(qs_tools::SampledOperations(10, 1),
              (std::vector<uint64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(qs_tools::SampledOperations(10, 4), (std::vector<uint64_t>{1, 5, 9, 10}));
    EXPECT_EQ(qs_tools::SampledOperations(9, 4), (std::vector<uint64_t>{1, 5, 9}));
    EXPECT_EQ(qs_tools::SampledOperations(1, 100), (std::vector<uint64_t>{1}));
    EXPECT_TRUE(qs_tools::SampledOperations(0, 3).empty());
}

TEST(ScratchDevice, RestoreUndoesWhatABootChanged)
{
    ScenarioDevice device;
    device.Offer({device.WriteNk("nk.bin", scenario::NkLayout()), device.WriteNb0(), "1"});
    std::map<std::string, std::string> original = Contents(device.folder());
    qs_tools::ScratchDevice scratch(device.folder());
    EXPECT_TRUE(Contents(scratch.Path()) == original);

    std::fstream flash(scratch.Path() / "nand.bin",
                       std::ios::in | std::ios::out | std::ios::binary);
    flash.seekp(std::streamoff(9 * sim::kBlockRecordSize + 100));
    flash.write("changed", 7);
    flash.close();
    fs::remove_all(scratch.Path() / "root" / "flashdisk");
    std::ofstream(scratch.Path() / "root" / "new.txt") << "made by a boot";
    std::ofstream(scratch.Path() / "journal.jsonl") << "{}\n";
    EXPECT_FALSE(Contents(scratch.Path()) == original);

    scratch.Restore({9});
    EXPECT_TRUE(Contents(scratch.Path()) == original);
}

}  // namespace
}  // namespace power_sweep_test
