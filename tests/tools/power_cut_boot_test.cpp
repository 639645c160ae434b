// An update boot through the runner: the flash time its summary predicts, and a power cut that
// stops it with the device folder left as the cut left it.
#include <regex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "shell/shell.h"
#include "sim/device.h"
#include "tests/scenarios/scenario_device.h"
#include "tools/boot_runner.h"

namespace power_cut_boot_test {
namespace {

using scenario::Json;
using scenario::ScenarioDevice;
using testing::HasSubstr;
using testing::StartsWith;

// A small device with an NK image and a boot loader waiting in its update folder.
class UpdateBoot : public testing::Test {
protected:
    void SetUp() override
    {
        device_.Offer({device_.WriteNk("nk.bin", scenario::NkLayout()), device_.WriteNb0(), "1"});
    }

    ScenarioDevice device_;
};

struct JournalCounts {
    uint64_t erases = 0, programs = 0, reads = 0;
};

JournalCounts CountFlashCalls(const std::vector<Json> &journal)
{
    JournalCounts counts;
    for (const Json &event : journal) {
        if (event["event"] != "ioctl" || event["device"] != "DSK1:" || event["ok"] != true)
            continue;
        if (event["name"] == "IOCTL_FMD_ERASE_BLOCK")
            ++counts.erases;
        else if (event["name"] == "IOCTL_FMD_WRITE_SECTOR")
            counts.programs += event["count"].get<uint64_t>();
        else if (event["name"] == "IOCTL_FMD_READ_SECTOR")
            counts.reads += event["count"].get<uint64_t>();
    }
    return counts;
}

// The figures init wrote, times the flash calls the journal holds, is the time the summary gives.
TEST_F(UpdateBoot, TheSummaryGivesTheFlashTimeOfTheCallsInTheJournal)
{
    qs_tools::BootReport report = device_.Boot();
    Json timing =
        Json::parse(qs_test::FileText(device_.folder() / "device.json"))["flash"]["timing"];
    EXPECT_EQ(timing,
              Json({{"page_read_us", 25}, {"page_program_us", 200}, {"block_erase_us", 1500}}));

    JournalCounts counts = CountFlashCalls(device_.Journal());
    EXPECT_EQ(counts.erases, 5u + 3 + 1) << "boot loader, NK image, TOC";
    uint64_t us = counts.erases * 1500 + counts.programs * 200 + counts.reads * 25;
    char expected[160];
    std::snprintf(expected, sizeof expected,
                  "flash time        %llu.%03llu s (erase %llu, program %llu, read %llu "
                  "operations)\n",
                  static_cast<unsigned long long>(us / 1000000),
                  static_cast<unsigned long long>(us / 1000 % 1000),
                  static_cast<unsigned long long>(counts.erases),
                  static_cast<unsigned long long>(counts.programs),
                  static_cast<unsigned long long>(counts.reads));
    EXPECT_THAT(report.printed, HasSubstr(expected));
    EXPECT_EQ(report.summary.flash.timeUs, us);

    // The restart comes after the flash work: the cues and sleeps are on the same clock.
    EXPECT_GE(report.summary.restartAtMs, us / 1000);
}

TEST(FlashTimeLine, SaysWhenTheDeviceHasNoTiming)
{
    qs_tools::BootSummary summary;
    summary.flash = {.erases = 2, .programs = 3, .reads = 4};
    EXPECT_THAT(qs_tools::FormatSummary(summary),
                HasSubstr("flash time        not timed: no flash.timing (erase 2, program 3, "
                          "read 4 operations)\n"));
}

struct CutCase {
    const char *name;
    sim::PowerCutOutcome outcome;
    bool blockZeroErased;
};

class PowerCutBoot : public UpdateBoot, public testing::WithParamInterface<CutCase> {};

// The first operation is the erase of block 0, which holds the StepLoader's place.
TEST_P(PowerCutBoot, StopsAtOnceAndLeavesTheFolderAsTheCutLeftIt)
{
    const CutCase &c = GetParam();
    std::string flashBefore = qs_test::FileText(device_.folder() / "nand.bin");
    device_.PatchFlash(0, std::string(16, '\x5A'));  // something for the erase to clear
    flashBefore.replace(0, 16, std::string(16, '\x5A'));
    std::string updateFile =
        qs_test::FileText(device_.Host("\\flashdisk\\K275D-Update\\R5nk_1.bin"));

    std::unique_ptr<sim::Device> device = sim::Device::Open(device_.folder());
    sim::DeviceFlash(*device).CutPowerAt(1, c.outcome);
    try {
        qs_tools::BootDevice(*device, {.quiet = true}, QuorShellMain);
        ADD_FAILURE() << "the boot ran to its end";
    } catch (const qs_tools::BootPowerCut &e) {
        EXPECT_EQ(e.cut.index, 1u);
        EXPECT_EQ(e.cut.operation.kind, sim::FlashOperation::Kind::Erase);
        EXPECT_EQ(e.cut.operation.block, 0u);
        EXPECT_THAT(e.what(), StartsWith("the power was cut at flash operation 1, " +
                                         std::string(sim::PowerCutOutcomeName(c.outcome)) +
                                         " erase of block 0 (nand.bin and root/ are as the cut "
                                         "left them;"));
    }
    device.reset();

    std::string flash = qs_test::FileText(device_.folder() / "nand.bin");
    std::string expected = flashBefore;
    if (c.blockZeroErased)
        expected.replace(
            0,
            c.outcome == sim::PowerCutOutcome::Torn ? 32 * sim::kSectorRecordSize
                                                    : sim::kBlockRecordSize,
            std::string(c.outcome == sim::PowerCutOutcome::Torn ? 32 * sim::kSectorRecordSize
                                                                : sim::kBlockRecordSize,
                        '\xFF'));
    EXPECT_TRUE(flash == expected) << "nand.bin differs from the flash the cut left";
    EXPECT_EQ(qs_test::FileText(device_.Host("\\flashdisk\\K275D-Update\\R5nk_1.bin")), updateFile)
        << "the update folder stays for the next boot";

    std::vector<Json> journal = device_.Journal();
    ASSERT_FALSE(journal.empty());
    EXPECT_EQ(journal.back()["event"], "power_cut");
    EXPECT_EQ(journal.back()["outcome"], sim::PowerCutOutcomeName(c.outcome));
    for (const Json &event : journal)
        EXPECT_NE(event["event"], "error") << event.dump();
    std::string log = device_.DebugLog();
    EXPECT_THAT(log, HasSubstr("Open EBoot image file..."));
    EXPECT_THAT(log, testing::Not(HasSubstr("QuorShell End")));
}

INSTANTIATE_TEST_SUITE_P(Table, PowerCutBoot,
                         testing::Values(CutCase{"NotDone", sim::PowerCutOutcome::NotDone, false},
                                         CutCase{"Completed", sim::PowerCutOutcome::Completed,
                                                 true},
                                         CutCase{"Torn", sim::PowerCutOutcome::Torn, true}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace power_cut_boot_test
