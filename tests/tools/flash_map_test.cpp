// quordev inspect --svg: one cell per block, each saying its region and state, the blocks the boot
// loader would load marked, and nothing written for a device without a flash.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "tests/tools/tool_run.h"

namespace flash_map_test {
namespace {

namespace fs = std::filesystem;
using qs_test::FileText;
using qs_test::ToolRun;
using ::testing::HasSubstr;

class FlashMap : public ::testing::Test {
protected:
    ToolRun Quordev(std::vector<std::string> args)
    {
        return qs_test::RunTool(QUORDEV_EXE, args, temp_.path());
    }
    fs::path At(const char *name) const { return temp_.path() / name; }

    // Block number -> the classes of its cell.
    std::map<int, std::string> Cells(const std::string &svg)
    {
        std::map<int, std::string> cells;
        static const std::regex kCell(R"re(<g class="block ([a-z ]+)"><title>block (\d+): )re");
        for (auto it = std::sregex_iterator(svg.begin(), svg.end(), kCell);
             it != std::sregex_iterator(); ++it)
            cells[std::stoi((*it)[2])] = (*it)[1];
        return cells;
    }

    qs_test::TempFolder temp_;
};

TEST_F(FlashMap, EveryBlockIsACellWithItsRegionStateAndLoad)
{
    struct Case {
        const char *blocks, *bad;
        size_t cells;
    };
    for (const Case &c : {Case{"512", "2,6,200", 512}, Case{"4096", "2,6,4000", 4096}}) {
        fs::remove_all(At("dev"));
        ASSERT_EQ(Quordev({"init", "dev", "--blocks", c.blocks, "--bad", c.bad}).status, 0);
        // A 4096-block nand.bin is half a GiB: its modification time stands for its bytes.
        const auto before = fs::last_write_time(At("dev") / "nand.bin");
        ToolRun run = Quordev({"inspect", "dev", "--svg", "map.svg"});
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string svg = FileText(At("map.svg"));
        EXPECT_THAT(svg, testing::StartsWith("<svg xmlns=\"http://www.w3.org/2000/svg\""));
        EXPECT_THAT(svg, testing::EndsWith("</svg>\n"));
        std::map<int, std::string> cells = Cells(svg);
        ASSERT_EQ(cells.size(), c.cells) << c.blocks;
        EXPECT_EQ(cells[0], "steploader erased") << "a factory block 0 has no StepLoader";
        EXPECT_EQ(cells[1], "eboot erased loaded") << "the four good blocks after block 0";
        EXPECT_EQ(cells[2], "eboot bad");
        EXPECT_EQ(cells[5], "toc written reserved loaded");
        EXPECT_EQ(cells[6], "nk bad") << "a bad block is never loaded";
        EXPECT_EQ(cells[7], "nk erased loaded") << "the factory ID[3] spans erased blocks";
        EXPECT_EQ(cells[c.cells - 1], "nk erased");
        EXPECT_EQ(std::count(svg.begin(), svg.end(), '<'), std::count(svg.begin(), svg.end(), '>'));
        EXPECT_NE(svg.find("<title>block 6: nk, bad, written</title>"), std::string::npos);
        EXPECT_EQ(fs::last_write_time(At("dev") / "nand.bin"), before) << "inspect changes nothing";
    }
}

TEST_F(FlashMap, ADeviceWithoutAFlashIsRefusedAndNothingIsWritten)
{
    ASSERT_EQ(Quordev({"init", "dev", "--blocks", "8"}).status, 0);
    fs::remove(At("dev") / "nand.bin");
    ToolRun run = Quordev({"inspect", "dev", "--svg", "map.svg"});
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.err, HasSubstr("no flash to draw: nand.bin was never written"));
    EXPECT_FALSE(fs::exists(At("map.svg")));
}

}  // namespace
}  // namespace flash_map_test
