// quordev sweep power on the command line: the JSON, the picture, the exit status and the
// refusals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/scenarios/scenario_device.h"

namespace sweep_power_command_test {
namespace {

namespace fs = std::filesystem;
using scenario::Json;
using scenario::ScenarioDevice;
using testing::HasSubstr;

// On bad block 2 only three of blocks 1-4 are good: the shell never writes a boot loader, so no
// cut and no second boot leaves anything the boot loader could start.
class SweepCommand : public testing::Test {
protected:
    qs_test::ToolRun Sweep(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"sweep", "power"});
        return qs_test::RunTool(QUORDEV_EXE, args, device_.folder().parent_path());
    }

    ScenarioDevice device_{{.blocks = scenario::kBlocks, .bad = {6, 2}}};
};

TEST_F(SweepCommand, WithoutFourGoodEbootBlocksNothingEverBoots)
{
    device_.Offer({device_.WriteNk("nk.bin", scenario::NkLayout()), device_.WriteNb0(), "1"});
    fs::path svg = device_.Scratch("sweep.svg");
    qs_test::ToolRun run = Sweep({device_.folder().string(), "--json", "--every", "150", "--svg",
                                  svg.string(), "--outcomes", "torn"});
    EXPECT_EQ(run.status, 4) << run.err;
    Json json = Json::parse(run.out);
    EXPECT_EQ(json["before"]["verdict"], "unbootable");
    EXPECT_EQ(json["uncut"]["verdict"], "unbootable");
    EXPECT_EQ(json["uncut"]["nk"], "new") << "the NK image itself is written";
    EXPECT_EQ(json["uncut"]["boot_loader"], "neither");
    EXPECT_EQ(json["outcomes"], Json({"torn"}));
    size_t cuts = json["cuts"].size();
    EXPECT_GT(cuts, 2u);
    EXPECT_EQ(json["summary"]["at_cut"]["unbootable"], cuts);
    EXPECT_EQ(json["summary"]["second_boot"]["unbootable"], cuts);
    EXPECT_EQ(json["summary"]["not_recovered"].size(), cuts);
    EXPECT_EQ(json["summary"]["unbootable_windows"].size(), 1u);
    EXPECT_THAT(run.err, HasSubstr("sweep power: " + std::to_string(cuts) + " of " +
                                   std::to_string(cuts) + " cuts"));

    std::string picture = qs_test::FileText(svg);
    EXPECT_THAT(picture, testing::StartsWith("<svg xmlns=\"http://www.w3.org/2000/svg\""));
    EXPECT_THAT(picture, HasSubstr("<title>unbootable after a cut at operations 1-"));
    // Without a boot loader to write, the update begins with the NK image, 6 being bad.
    EXPECT_THAT(picture, HasSubstr("<title>operation 1: erase of block 7</title>"));
    EXPECT_THAT(picture, HasSubstr("<title>operation 196: erase of block 5</title>"));
    EXPECT_THAT(picture, HasSubstr("<title>operation 197: program of sector 320</title>"));
    EXPECT_THAT(picture, testing::EndsWith("</svg>\n"));
}

TEST_F(SweepCommand, PrintsOneRowPerCutAndTheSummary)
{
    device_.Offer({device_.WriteNk("nk.bin", scenario::NkLayout()), device_.WriteNb0(), "1"});
    qs_test::ToolRun run =
        Sweep({device_.folder().string(), "--at", "1,197", "--outcomes", "not-done,completed"});
    EXPECT_EQ(run.status, 4) << run.err;
    EXPECT_THAT(run.out, HasSubstr("update boot           197 erases and programs (erase 4, "
                                   "program 193), flash time "));
    EXPECT_THAT(run.out, HasSubstr("cuts                  4 cuts at operations 1, 197; "
                                   "outcomes not-done, completed\n"));
    EXPECT_THAT(run.out, HasSubstr("     k  op       block  sector  outcome    StepLoader  EBoot "
                                   "   TOC       NK       verdict     after the second boot\n"
                                   "     1  erase        7       -  not-done   "));
    EXPECT_THAT(run.out, HasSubstr("\n   197  program      5     320  completed  "));
    EXPECT_THAT(run.out, HasSubstr("at the cut            old 0, new 0, unbootable 4\n"));
    EXPECT_THAT(run.out, HasSubstr("not recovered         1 not-done, 1 completed, 197 not-done, "
                                   "197 completed\n"));
}

TEST_F(SweepCommand, RefusesWhatItCannotSweep)
{
    struct Case {
        std::vector<std::string> args;
        int status;
        const char *message;
    } const cases[] = {
        {{"--every", "0"}, 2, "--every"},
        {{"--outcomes", "half"}, 2, "\"half\" is not not-done, completed or torn"},
        {{"--at", "5", "--every", "2"}, 2, "excludes"},
        {{}, 1, "the boot updates no operating-system image; nothing to sweep"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), device_.folder().string());
        qs_test::ToolRun run = Sweep(args);
        EXPECT_EQ(run.status, c.status) << c.message;
        EXPECT_THAT(run.err, HasSubstr(c.message));
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
    device_.Offer({device_.WriteNk("nk.bin", scenario::NkLayout()), {}, "1"});
    qs_test::ToolRun beyond = Sweep({device_.folder().string(), "--at", "1,99999"});
    EXPECT_EQ(beyond.status, 1);
    EXPECT_THAT(beyond.err, HasSubstr("operation 99999 is not among the update boot's"));
}

}  // namespace
}  // namespace sweep_power_command_test
