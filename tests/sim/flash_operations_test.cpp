// What each erase, program and read costs on the virtual clock (flash.timing), which operations
// count, and what a power cut at one of them leaves on the flash and in the journal.
#include <array>
#include <optional>

#include <gtest/gtest.h>

#include "platform/ce.h"
#include "sim/config.h"
#include "sim/error.h"
#include "sim/flash_driver.h"
#include "tests/sim/flash_fixture.h"
#include "tests/support/temp_device.h"

namespace flash_operations_test {
namespace {

using nlohmann::json;
using sim::FlashDriver;
using sim::FlashOperation;
using sim::PowerCutOutcome;
using namespace flash_fixture;

const json kTiming = {{"page_read_us", 25}, {"page_program_us", 200}, {"block_erase_us", 1500}};

// Every byte of the record, the spare area too.
Record AllBytes(uint8_t value)
{
    Record record;
    record.fill(value);
    return record;
}

class FlashOperations : public flash_fixture::Flash {
protected:
    // Eight blocks: 0-4 the boot loader's, 5 the TOC's, 6 and 7 the NK image's; block 3 is bad.
    void Boot(json flash)
    {
        flash["blocks"] = 8;
        flash["bad"] = {3};
        Flash::Boot(flash);
    }
    bool Reads(DWORD sector)
    {
        Record record{};
        return Send(FlashDriver::kSetSectorAddr, sector) && Read(record);
    }
    Record Sector(uint32_t sector) { return Copy(Driver().Flash().Sector(sector)); }
    uint64_t ElapsedUs() { return dev_->device().Clock().ElapsedUs(); }
};

// Each operation that reaches the flash moves the clock by its figure, whatever the order; one
// the driver refuses, a status query and an address costs nothing.
TEST_F(FlashOperations, TheClockMovesByTheSumOfTheFiguresOfTheOperationsDone)
{
    Boot(
        {{"protect", true}, {"timing", kTiming}, {"faults", {{{"op", "write"}, {"sector", 449}}}}});
    ASSERT_TRUE(Send(FlashDriver::kSetNkFlag, kOn));
    ASSERT_TRUE(Erase(7));
    ASSERT_TRUE(WriteAt(7 * 64, Pattern(1)));
    ASSERT_TRUE(WriteAt(7 * 64 + 2, Pattern(2)));
    ASSERT_TRUE(WriteAt(7 * 64 + 3, Pattern(3)));
    ASSERT_TRUE(Reads(7 * 64));
    ASSERT_TRUE(Reads(7 * 64 + 2));
    EXPECT_EQ(ElapsedUs(), 1500u + 3 * 200 + 2 * 25);

    DWORD status = 0, block = 6;
    ASSERT_TRUE(
        DeviceIoControl(handle_, FlashDriver::kGetBlockStatus, &block, 4, &status, 4, NULL, NULL));
    EXPECT_FALSE(Erase(3)) << "factory-bad";
    EXPECT_FALSE(Erase(5)) << "no TOC flag";
    EXPECT_FALSE(WriteAt(1, Pattern(4))) << "no EBoot flag";
    EXPECT_FALSE(WriteAt(449, Pattern(5))) << "faulted";
    EXPECT_EQ(ElapsedUs(), 2150u);

    const sim::FlashUsage &usage = Driver().Usage();
    EXPECT_TRUE(usage.timed);
    EXPECT_EQ(usage.erases, 1u);
    EXPECT_EQ(usage.programs, 3u);
    EXPECT_EQ(usage.reads, 2u);
    EXPECT_EQ(usage.timeUs, 2150u);

    // The journal and the calendar count whole milliseconds of the same clock.
    Sleep(10);
    EXPECT_EQ(dev_->EventsOf("sleep").back()["t"], 2);
    EXPECT_EQ(ElapsedUs(), 12150u);
}

TEST_F(FlashOperations, WithoutTimingTheFlashTakesNoTimeButItsWorkIsCounted)
{
    Boot({{"protect", false}});
    ASSERT_TRUE(Erase(6));
    ASSERT_TRUE(WriteAt(6 * 64, Pattern(1)));
    ASSERT_TRUE(Reads(6 * 64));
    EXPECT_EQ(ElapsedUs(), 0u);
    EXPECT_FALSE(Driver().Usage().timed);
    EXPECT_EQ(Driver().Usage().erases + Driver().Usage().programs + Driver().Usage().reads, 3u);
}

// The boot's erases and programs in order, each with the flash time before it.
TEST_F(FlashOperations, RecordsEachEraseAndProgramWithItsStartOnTheFlashTime)
{
    Boot({{"protect", false}, {"timing", kTiming}});
    ASSERT_TRUE(Erase(6));
    ASSERT_TRUE(Reads(0));
    ASSERT_TRUE(WriteAt(6 * 64 + 5, Pattern(1)));
    ASSERT_TRUE(WriteAt(6 * 64 + 6, Pattern(2)));
    const std::vector<FlashOperation> &operations = Driver().Operations();
    ASSERT_EQ(operations.size(), 3u);
    EXPECT_EQ(operations[0].kind, FlashOperation::Kind::Erase);
    EXPECT_EQ(operations[0].block, 6u);
    EXPECT_FALSE(operations[0].sector.has_value());
    EXPECT_EQ(operations[0].startUs, 0u);
    EXPECT_EQ(operations[0].durationUs, 1500u);
    EXPECT_EQ(operations[1].kind, FlashOperation::Kind::Program);
    EXPECT_EQ(operations[1].sector, 6u * 64 + 5);
    EXPECT_EQ(operations[1].startUs, 1525u) << "the read before it counts";
    EXPECT_EQ(operations[2].startUs, 1725u);
}

struct TimingRefusal {
    const char *timing;
    const char *message;
};

class FlashTimingConfig : public testing::TestWithParam<TimingRefusal> {};

TEST_P(FlashTimingConfig, RefusesAnythingButMicrosecondFigures)
{
    std::string text = std::string(R"({"flash": {"timing": )") + GetParam().timing + "}}";
    try {
        sim::DeviceConfig::Parse(text);
        ADD_FAILURE() << "accepted " << text;
    } catch (const sim::DeviceError &e) {
        EXPECT_STREQ(e.what(), GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, FlashTimingConfig,
    testing::Values(TimingRefusal{"25", "flash.timing: expected an object"},
                    TimingRefusal{R"({"tR": 25})", "flash.timing.tR: unknown key"},
                    TimingRefusal{R"({"page_read_us": -1})",
                                  "flash.timing.page_read_us: out of range 0 to 4294967295"},
                    TimingRefusal{R"({"page_program_us": 4294967296})",
                                  "flash.timing.page_program_us: out of range 0 to 4294967295"},
                    TimingRefusal{R"({"block_erase_us": 1.5})",
                                  "flash.timing.block_erase_us: expected a whole number"}));

TEST(FlashTimingConfigText, AbsentMeansNoneAndGivenRoundTrips)
{
    EXPECT_FALSE(sim::DeviceConfig::Parse("{}").flash.timing.has_value());
    EXPECT_FALSE(sim::DeviceConfig::Parse("{}").ToJson()["flash"].contains("timing"));
    sim::DeviceConfig config =
        sim::DeviceConfig::Parse(R"({"flash": {"timing": {"block_erase_us": 2000}}})");
    ASSERT_TRUE(config.flash.timing.has_value());
    EXPECT_EQ(config.flash.timing->blockEraseUs, 2000u);
    EXPECT_EQ(config.flash.timing->pageReadUs, 0u);
    json written = config.ToJson();
    EXPECT_EQ(written["flash"]["timing"],
              json({{"page_read_us", 0}, {"page_program_us", 0}, {"block_erase_us", 2000}}));
    EXPECT_EQ(sim::DeviceConfig::FromJson(written).ToJson(), written);
}

// Block 7 holds old data before the cut: each sector filled with its number. The cut comes at
// the second operation after that: the erase of block 7, or the program of sector 6 * 64 + 1.
struct CutCase {
    const char *name;
    FlashOperation::Kind kind;
    PowerCutOutcome outcome;
};

class PowerCut : public FlashOperations, public testing::WithParamInterface<CutCase> {
protected:
    static constexpr uint32_t kProgrammed = 6 * 64 + 1;

    void SetUp() override
    {
        Boot({{"protect", false}, {"timing", kTiming}});
        for (uint32_t sector = 0; sector < 64; ++sector)
            ASSERT_TRUE(WriteAt(7 * 64 + sector, AllBytes(uint8_t(sector))));
        before_ = Driver().Operations().size();
        ASSERT_EQ(before_, 64u);
    }

    // The first operation after the setup, then the one cut.
    void RunUntilTheCut(const CutCase &c)
    {
        Driver().CutPowerAt(before_ + 2, c.outcome);
        ASSERT_TRUE(WriteAt(6 * 64, Pattern(9)));
        try {
            if (c.kind == FlashOperation::Kind::Erase)
                Erase(7);
            else
                WriteAt(kProgrammed, Pattern(1));
            ADD_FAILURE() << "the power stayed on";
        } catch (const sim::PowerCut &cut) {
            EXPECT_EQ(cut.index, before_ + 2);
            EXPECT_EQ(cut.operation.kind, c.kind);
            EXPECT_EQ(cut.operation.block, c.kind == FlashOperation::Kind::Erase ? 7u : 6u);
            EXPECT_EQ(cut.outcome, c.outcome);
        }
    }

    size_t before_ = 0;
};

TEST_P(PowerCut, LeavesTheOperationNotDoneCompletedOrTorn)
{
    const CutCase &c = GetParam();
    RunUntilTheCut(c);
    EXPECT_EQ(Sector(6 * 64), Pattern(9)) << "the operation before the cut is whole";
    for (uint32_t sector = 0; sector < 64; ++sector) {
        Record old = AllBytes(uint8_t(sector));
        Record expected = old;
        if (c.kind == FlashOperation::Kind::Erase &&
            (c.outcome == PowerCutOutcome::Completed ||
             (c.outcome == PowerCutOutcome::Torn && sector < 32)))
            expected = AllBytes(0xFF);
        EXPECT_EQ(Sector(7 * 64 + sector), expected) << "block 7 sector " << sector;
    }
    Record programmed = AllBytes(0xFF);
    Record pattern = Pattern(1);
    for (size_t i = 0; i < programmed.size(); ++i)
        if (c.kind == FlashOperation::Kind::Program &&
            (c.outcome == PowerCutOutcome::Completed ||
             (c.outcome == PowerCutOutcome::Torn && i % 2 == 0)))
            programmed[i] = pattern[i];
    EXPECT_EQ(Sector(kProgrammed), programmed);
}

TEST_P(PowerCut, IsTheBootsLastEventAndTakesThePartOfTheOperationDone)
{
    const CutCase &c = GetParam();
    uint64_t start = ElapsedUs();
    RunUntilTheCut(c);
    const auto &events = dev_->device().Events().Events();
    ASSERT_FALSE(events.empty());
    const auto &last = events.back();
    EXPECT_EQ(last["event"], "power_cut");
    EXPECT_EQ(last["operation"], before_ + 2);
    EXPECT_EQ(last["outcome"], sim::PowerCutOutcomeName(c.outcome));
    bool erase = c.kind == FlashOperation::Kind::Erase;
    EXPECT_EQ(last["op"], erase ? "erase" : "program");
    EXPECT_EQ(last["block"], erase ? 7 : 6);
    EXPECT_EQ(last.contains("sector"), !erase);
    if (!erase) {
        EXPECT_EQ(last["sector"], kProgrammed);
    }
    uint64_t figure = erase ? 1500 : 200;
    uint64_t part = c.outcome == PowerCutOutcome::NotDone     ? 0
                    : c.outcome == PowerCutOutcome::Completed ? figure
                                                              : figure / 2;
    EXPECT_EQ(ElapsedUs() - start, 200 + part);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PowerCut,
    testing::Values(
        CutCase{"EraseNotDone", FlashOperation::Kind::Erase, PowerCutOutcome::NotDone},
        CutCase{"EraseCompleted", FlashOperation::Kind::Erase, PowerCutOutcome::Completed},
        CutCase{"EraseTorn", FlashOperation::Kind::Erase, PowerCutOutcome::Torn},
        CutCase{"ProgramNotDone", FlashOperation::Kind::Program, PowerCutOutcome::NotDone},
        CutCase{"ProgramCompleted", FlashOperation::Kind::Program, PowerCutOutcome::Completed},
        CutCase{"ProgramTorn", FlashOperation::Kind::Program, PowerCutOutcome::Torn}),
    [](const auto &info) { return std::string(info.param.name); });

// A torn program clears only bits that the whole program would clear: over old data, the odd
// bytes keep it and the even ones take the AND.
TEST_F(FlashOperations, ATornProgramOverOldDataClearsNoBitTheWholeOneWouldNot)
{
    Boot({{"protect", false}});
    ASSERT_TRUE(WriteAt(6 * 64, AllBytes(0xF0)));
    Driver().CutPowerAt(2, PowerCutOutcome::Torn);
    EXPECT_THROW(WriteAt(6 * 64, AllBytes(0x3C)), sim::PowerCut);
    Record sector = Sector(6 * 64);
    for (size_t i = 0; i < sector.size(); ++i)
        ASSERT_EQ(sector[i], i % 2 ? 0xF0 : 0x30) << i;
}

// Refused calls never reach the flash, so they are not operations the power can cut.
TEST_F(FlashOperations, OnlyOperationsThatReachTheFlashCountTowardsTheCut)
{
    Boot({{"protect", true}, {"faults", {{{"op", "erase"}, {"block", 7}}}}});
    Driver().CutPowerAt(1, PowerCutOutcome::NotDone);
    EXPECT_FALSE(WriteAt(6 * 64, Pattern(1))) << "no NK flag";
    ASSERT_TRUE(Send(FlashDriver::kSetNkFlag, kOn));
    EXPECT_FALSE(Erase(7)) << "faulted";
    EXPECT_FALSE(Erase(3)) << "factory-bad";
    try {
        WriteAt(6 * 64 + 4, Pattern(2));
        ADD_FAILURE() << "the power stayed on";
    } catch (const sim::PowerCut &cut) {
        EXPECT_EQ(cut.index, 1u);
        EXPECT_EQ(cut.operation.sector, 6u * 64 + 4);
        EXPECT_STREQ(cut.what(),
                     "the power was cut at flash operation 1, not-done program of sector 388 in "
                     "block 6");
    }
    EXPECT_EQ(Sector(6 * 64 + 4), AllBytes(0xFF));
}

TEST(PowerCutOutcomeNames, ReadBackAsWritten)
{
    for (PowerCutOutcome outcome :
         {PowerCutOutcome::NotDone, PowerCutOutcome::Completed, PowerCutOutcome::Torn})
        EXPECT_EQ(sim::ParsePowerCutOutcome(sim::PowerCutOutcomeName(outcome)), outcome);
    EXPECT_EQ(sim::ParsePowerCutOutcome("torn "), std::nullopt);
    EXPECT_EQ(sim::ParsePowerCutOutcome("half"), std::nullopt);
}

}  // namespace
}  // namespace flash_operations_test
