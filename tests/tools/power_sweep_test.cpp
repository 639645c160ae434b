// The power cut at chosen erases, programs and file changes of an update boot: what the boot
// loader would boot after each, whether the next boot (where there is one) repairs it, what the
// files lost, that the device swept is left alone, and the command with its JSON, picture and
// exit status.
#include <set>

#include "devkit/nb0_image.h"
#include "tests/scenarios/scenario_device.h"
#include "tests/tools/tool_test.h"
#include "tools/sweeps/power_sweep.h"
#include "tools/reports/power_sweep_report.h"
#include "tools/runner/scratch_device.h"

namespace power_sweep_test {
namespace {

namespace fs = std::filesystem;
using qs_tools::PowerSweep;
using scenario::Json;
using scenario::ScenarioDevice;
using sim::PowerCutOutcome;

// The text and the JSON of a sweep, the device folder's name made plain.
void ExpectGoldenSweep(const PowerSweep &sweep, const fs::path &device, const std::string &name)
{
    std::string text = qs_tools::PowerSweepText(sweep) + qs_tools::PowerSweepJson(sweep).dump(2);
    for (size_t at; (at = text.find(device.string())) != std::string::npos;)
        text.replace(at, device.string().size(), "DIR");
    qs_test::ExpectGoldenText(text, name);
}

// A device that booted an old image from blocks 7, 8 and 10 (6 and 9 are bad), with a new,
// shorter image and a new boot loader (another StepLoader) waiting; swept at the first
// operation (the erase of block 0), the erases of the NK blocks 7, 8 and 10 (the first after the
// boot loader's 269 operations, each 65 after the one before), the first program of block 8, the
// TOC's erase and its program, the last. A cut that leaves nothing bootable is dead: no second
// boot; the others boot the new image after it.
TEST(PowerSweepOf, AnUpdatedDeviceIsDeadAfterACutBeforeTheTocUnlessTheOldImageStillBoots)
{
    ScenarioDevice device{{.blocks = scenario::kBlocks, .bad = {6, 9}}};
    device.Offer({device.WriteNk("old.bin", scenario::NkLayout()), device.WriteNb0(), "1"});
    EXPECT_EQ(device.Boot().summary.osUpdate, true);
    devkit::BinImageLayout shorter = scenario::NkLayout();
    shorter.image.resize(0x48000);
    for (uint8_t &byte : shorter.image)
        byte = uint8_t(~byte);
    std::vector<uint8_t> stepLoader(devkit::kStepLoaderSize, 0x3C);
    device.Offer({device.WriteNk("new.bin", shorter),
                  device.WriteFile("new.nb0", devkit::MakeNb0(std::span(stepLoader), {})), "2"});
    const auto before = qs_test::Snapshot(device.folder());

    PowerSweep sweep =
        qs_tools::RunPowerSweep(device.folder(), {.at = {1, 270, 335, 336, 400, 465, 466}});
    ExpectGoldenSweep(sweep, device.folder(), "power_sweep_updated_device");
    EXPECT_TRUE(qs_test::Snapshot(device.folder()) == before) << "the device swept is left alone";
}

// The demo's images on a fresh device: nothing bootable until the TOC is written, also when the
// whole new boot loader stands beside the factory TOC, whose ID[3] describes erased sectors
// (point 270, the first NK erase): every cut before the TOC's program is dead.
TEST(PowerSweepOf, AFreshDeviceIsDeadAfterEveryCutBeforeTheToc)
{
    ScenarioDevice device;
    device.Offer({device.WriteNk("nk.bin", scenario::NkLayout()), device.WriteNb0(), "demo"});
    PowerSweep sweep = qs_tools::RunPowerSweep(
        device.folder(), {.at = {1, 270, 465, 466},
                          .outcomes = {PowerCutOutcome::NotDone, PowerCutOutcome::Completed}});
    ExpectGoldenSweep(sweep, device.folder(), "power_sweep_fresh_device");
}

TEST(SampledOperations, EveryKthFromTheFirstAndTheLast)
{
    using Ops = std::vector<uint64_t>;
    EXPECT_EQ(qs_tools::SampledOperations(10, 1), (Ops{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(qs_tools::SampledOperations(10, 4), (Ops{1, 5, 9, 10}));
    EXPECT_EQ(qs_tools::SampledOperations(9, 4), (Ops{1, 5, 9}));
    EXPECT_EQ(qs_tools::SampledOperations(1, 100), (Ops{1}));
    EXPECT_TRUE(qs_tools::SampledOperations(0, 3).empty());
}

// Flash operations and file changes numbered together, in the order the boot made them: a change
// follows the operations made before it, and the operations after it follow it.
TEST(OrderCutPoints, EachFileChangeFallsAfterTheFlashOperationsBeforeIt)
{
    using Kind = sim::FlashOperation::Kind;
    std::vector<sim::FlashOperation> operations = {{Kind::Erase, 5, {}, 0, 1500},
                                                   {Kind::Program, 5, 320, 1500, 200},
                                                   {Kind::Erase, 6, {}, 1700, 1500}};
    std::vector<ce_host::FileChangeRecord> changes = {
        {"WriteFile", "write", "a", 0, 2, 0},
        {"DeleteFileW", "delete", "b", 0, 0, 2},
        {"MoveFileW", "move", "c -> d", 0, 0, 2},
        {"RemoveDirectoryW", "remove folder", "e", 0, 0, 3}};
    std::string order;
    for (const qs_tools::CutPoint &point : qs_tools::OrderCutPoints(operations, changes))
        order += (point.kind == qs_tools::CutPoint::Kind::Flash ? "F" : "f") +
                 std::to_string(point.ordinal) + "@" + std::to_string(point.startUs) + " ";
    EXPECT_EQ(order, "f1@0 F1@0 F2@1500 f2@1700 f3@1700 F3@1700 f4@3200 ");
}

// A torn write lands part of its bytes, never none and never all, the same part for the same
// change and seed.
TEST(TornLength, LandsPartOfEveryWriteOfTwoBytesOrMore)
{
    EXPECT_EQ(ce_host::TornLength(0, 1, 1), 0u);
    EXPECT_EQ(ce_host::TornLength(1, 1, 1), 0u);
    std::set<uint64_t> spread;
    for (uint64_t bytes : {2, 3, 17, 65536})
        for (uint64_t change = 1; change <= 40; ++change) {
            const uint64_t landed = ce_host::TornLength(bytes, change, 1);
            EXPECT_TRUE(landed >= 1 && landed < bytes) << bytes << " bytes, change " << change;
            EXPECT_EQ(landed, ce_host::TornLength(bytes, change, 1));
            if (bytes == 65536)
                spread.insert(landed);
        }
    EXPECT_GT(spread.size(), 30u) << "the offsets spread over the write";
    EXPECT_NE(ce_host::TornLength(65536, 7, 1), ce_host::TornLength(65536, 7, 2));
}

TEST(ScratchDevice, RestoreUndoesWhatABootChanged)
{
    ScenarioDevice device;
    device.Offer({device.WriteNk("nk.bin", scenario::NkLayout()), device.WriteNb0(), "1"});
    const auto original = qs_test::Snapshot(device.folder());
    qs_tools::ScratchDevice scratch(device.folder());
    EXPECT_TRUE(qs_test::Snapshot(scratch.Path()) == original);

    std::fstream flash(scratch.Path() / "nand.bin",
                       std::ios::in | std::ios::out | std::ios::binary);
    flash.seekp(std::streamoff(9 * sim::kBlockRecordSize + 100));
    flash.write("changed", 7);
    flash.close();
    fs::remove_all(scratch.Path() / "root" / "flashdisk");
    std::ofstream(scratch.Path() / "root" / "new.txt") << "made by a boot";
    std::ofstream(scratch.Path() / "journal.jsonl") << "{}\n";
    EXPECT_FALSE(qs_test::Snapshot(scratch.Path()) == original);

    scratch.Restore({9});
    EXPECT_TRUE(qs_test::Snapshot(scratch.Path()) == original);
}

// On bad block 2 only three of blocks 1-4 are good: the shell never writes a boot loader, so no
// cut and no second boot leaves anything the boot loader could start. The update begins with the
// NK image, 6 being bad.
class SweepPowerCommand : public qs_test::ToolTest {
protected:
    void SetUp() override
    {
        for (const char *step :
             {"quordev init device --blocks 16 --bad 6,2", "fill raw 0x8000",
              "quordev mkbin raw nk.bin", "quordev mknb0 boot.nb0",
              "quordev package device --nk nk.bin --eboot boot.nb0 --name 1 --force"})
            Step(step);
    }
};

// The picture of a sample: a tick per cut, and its legend; points that are not there, or not of
// the kind swept, and a folder that holds no device, refused. Then application data joins the
// package, and the power goes as the second chunk of LumTask.exe's copy is written (the sixth
// file change, point 73; 97 is the last): the copy holds its first chunk and the torn chunk's
// prefix, and nothing more.
TEST_F(SweepPowerCommand, PrintsOneRowPerCutAndTheSummary)
{
    ExpectTranscript("sweep_power_command",
                     {"quordev sweep power device --at 1,67 --outcomes not-done,completed --svg "
                      "at.svg",
                      "grep at.svg cut at point", "grep at.svg class=\"key\"",
                      "quordev sweep power device --at 1,99999",
                      "quordev sweep power device --only flash --at 70", "mkdir plain",
                      "quordev sweep power plain", "quordev mkapps apps --files 2 --mib 0.2",
                      "quordev package device --apps apps",
                      "quordev sweep power device --only files --outcomes torn --at 73,97",
                      "cut device file 6 torn", "sum device/root/NAND/apps/LumTask.exe",
                      "sum apps/apps/LumTask.exe 0 83490", "sum apps/apps/LumTask.exe 0 83491",
                      "cut device file 1 not-done"});
}

// Every point with every outcome it takes: the JSON (its cuts counted), the picture and the exit
// status. Each cut is dead, so none gets a second boot.
TEST_F(SweepPowerCommand, WithoutFourGoodEbootBlocksNothingEverBoots)
{
    qs_test::ToolRun run = Run("quordev sweep power device --json --svg sweep.svg");
    EXPECT_EQ(run.status, 4) << run.err;
    Json json = Json::parse(run.out);
    size_t flash = 0;
    for (const Json &cut : json["cuts"]) {
        flash += cut["kind"] == "flash";
        EXPECT_TRUE(cut["dead"] == true && cut["second_boot"].is_null()) << cut.dump();
    }
    EXPECT_EQ(flash, 3u * 67);
    EXPECT_EQ(json["summary"]["dead"], json["cuts"].size());
    // Off a terminal, progress comes every twentieth of the cuts and at the last: of 218 cuts,
    // the plan, every 10th (21 lines) and the 218th.
    std::istringstream err(run.err);
    size_t progress = 0;
    for (std::string line; std::getline(err, line);)
        progress += line.starts_with("sweep power: ");
    EXPECT_EQ(progress, 23u) << run.err;
    json.erase("cuts");
    qs_test::ExpectGoldenText(
        json.dump(2) + "\n" + qs_test::PlainTimes(run.err.substr(run.err.rfind("sweep power:"))) +
            qs_test::FileText(At("sweep.svg")),
        "sweep_power_whole");
}

}  // namespace
}  // namespace power_sweep_test
