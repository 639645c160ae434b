// quordev init's flash and factory TOC, quordev inspect, and both checked against the shell's own
// TOC code.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include <nlohmann/json.hpp>

#include "common/qs_common.h"
#include "devkit/device_maker.h"
#include "platform/host/host.h"
#include "sim/device.h"
#include "sim/flash_driver.h"
#include "tests/tools/tool_run.h"
#include "toc/toc.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using qs_test::FileText;
using qs_test::ToolRun;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class InspectTest : public ::testing::Test {
protected:
    ToolRun Quordev(std::vector<std::string> args)
    {
        return qs_test::RunTool(QUORDEV_EXE, args, temp_.path());
    }
    json InspectJson()
    {
        ToolRun run = Quordev({"inspect", "dev", "--json"});
        EXPECT_EQ(run.status, 0) << run.err;
        return json::parse(run.out);
    }
    fs::path Dev() const { return temp_.path() / "dev"; }

    qs_test::TempFolder temp_;
};

TEST_F(InspectTest, ShowsTheFactoryTocIdentityAndBadBlocksAndChangesNothing)
{
    ToolRun init = Quordev({"init", "dev", "--blocks", "16", "--bad", "9,7", "--serial",
                            "0123456789", "--mac", "00:11:22:aa:BB:55"});
    ASSERT_EQ(init.status, 0) << init.err;
    json description = json::parse(FileText(Dev() / "device.json"));
    EXPECT_EQ(description["flash"]["blocks"], 16);
    EXPECT_EQ(description["flash"]["bad"], json({7, 9}));
    EXPECT_EQ(fs::file_size(Dev() / "nand.bin"), 16u * 64 * 2056);
    std::ofstream(Dev() / "state.json") << R"({"power": {"update_mode": 0}})";
    const std::string flash = FileText(Dev() / "nand.bin");

    ToolRun text = Quordev({"inspect", "dev"});
    EXPECT_EQ(text.status, 0) << text.err;
    for (const char *line : {
             "flash   16 blocks, bad: 7, 9\n",
             "TOC     sector 320: accepted by TOC_Read\n",
             "  signature    0x434F544E \"NTOC\"\n",
             "  SectorInfo   FFFFFFFF FE FF FFFF\n",
             "  MAC address  00:11:22:AA:BB:55\n",
             "  serial       0123456789 (present)\n",
             "  ID[0]        version 0x20005, signature 0x544F4245 \"EBOT\", \"eboot.bin\"\n",
             "  ID[2]        empty\n",
             "  0         StepLoader  erased\n",
             "  1-4       EBoot       erased\n",
             "  5         TOC         reserved, written\n",
             "  6         NK          erased\n",
             "  7         NK          bad, written\n",
             "  9         NK          bad, written\n",
             "  10-15     NK          erased\n",
         })
        EXPECT_THAT(text.out, HasSubstr(line));

    json view = InspectJson();
    EXPECT_FALSE(view.contains("flags")) << "the flags live for one boot only";
    const json &toc = view["flash"]["toc"];
    EXPECT_EQ(toc["accepted"], true);
    EXPECT_EQ(toc["refusal"], nullptr);
    EXPECT_EQ(toc["signature_text"], "NTOC");
    EXPECT_EQ(toc["boot_cfg"]["mac"], "00:11:22:AA:BB:55");
    EXPECT_EQ(toc["boot_cfg"]["serial"], "0123456789");
    EXPECT_EQ(toc["boot_cfg"]["serial_present"], true);
    EXPECT_EQ(toc["boot_cfg"]["serial_bytes"], "00000000000000010203040506070809");
    EXPECT_EQ(toc["images"][3]["string"], "nk.bin");
    EXPECT_EQ(toc["images"][3]["sectors"], 0x6000);
    EXPECT_EQ(toc["sector_info"]["oem_flags"], 0xFE);
    const json &blocks = view["flash"]["blocks"];
    EXPECT_EQ(blocks["count"], 16);
    EXPECT_EQ(blocks["bad"], json({7, 9}));
    // The runs cover every block once, in order.
    uint32_t next = 0;
    for (const json &run : blocks["map"]) {
        EXPECT_EQ(run["first"], next);
        next = run["last"].get<uint32_t>() + 1;
    }
    EXPECT_EQ(next, 16u);
    EXPECT_EQ(blocks["map"][2], json({{"first", 5},
                                      {"last", 5},
                                      {"region", "toc"},
                                      {"status", 8},
                                      {"state", {"reserved", "written"}}}));

    EXPECT_EQ(FileText(Dev() / "nand.bin"), flash) << "looking changes nothing";
    EXPECT_EQ(FileText(Dev() / "state.json"), R"({"power": {"update_mode": 0}})");
}

TEST_F(InspectTest, FlashNeverWrittenIsSaidNotFailed)
{
    ASSERT_EQ(Quordev({"init", "dev", "--blocks", "8"}).status, 0);
    fs::remove(Dev() / "nand.bin");

    ToolRun text = Quordev({"inspect", "dev"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out,
              "device  dev\nflash   never written (no nand.bin)\n"
              "system information files\n  none\nBINFS check log: none\n"
              "application folders\n  \\NAND\\apps      1 file, 98 bytes\n"
              "application data waiting: none\n");
    json view = InspectJson();
    EXPECT_EQ(view["flash"], nullptr);
    EXPECT_FALSE(fs::exists(Dev() / "nand.bin"));
}

TEST_F(InspectTest, BadTocBlockGetsNoFactoryToc)
{
    ToolRun init = Quordev({"init", "dev", "--blocks", "8", "--bad", "5"});
    ASSERT_EQ(init.status, 0) << init.err;
    EXPECT_THAT(init.out, HasSubstr("block 5 is bad: no factory TOC was written\n"));
    json view = InspectJson();
    EXPECT_EQ(view["flash"]["toc"]["refusal"]["check"], "signature");
    EXPECT_EQ(view["flash"]["toc"]["sector_info"]["bad_block_mark"], 0);
    EXPECT_EQ(view["flash"]["blocks"]["map"][2]["state"], json({"bad", "written"}));
}

// The shell's own TOC code on a device that the device kit made.
class ShellCrossCheck : public InspectTest {
protected:
    void SetUp() override
    {
        devkit::CreateDevice(Dev(),
                             {.blocks = 16,
                              .serial = devkit::SerialDigits{9, 8, 7, 6, 5, 4, 3, 2, 1, 0},
                              .mac = devkit::MacAddress{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}});
        device_ = sim::Device::Open(Dev());
        ce_host::Attach(*device_);
        ResetShellState();
        disk_ =
            CreateFileW(u"DSK1:", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(disk_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        CloseHandle(disk_);
        ce_host::Detach();
    }

    std::string ShellLog()
    {
        std::string log;
        for (const auto &event : device_->Events().Events())
            if (event["event"] == "log")
                log += event["text"].get<std::string>();
        return log;
    }

    std::unique_ptr<sim::Device> device_;
    HANDLE disk_ = INVALID_HANDLE_VALUE;
};

TEST_F(ShellCrossCheck, TocReadAcceptsTheFactoryTocWhichIsTheShellsDefaultsWithTheIdentity)
{
    ASSERT_EQ(TOC_Read(disk_), 1u) << ShellLog();
    const BYTE *mac = g_pBootCfg->MacAddress;
    EXPECT_THAT(std::vector<BYTE>(mac, mac + 6), ElementsAre(0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E));
    const BYTE *serial = g_pBootCfg->SerialNumber;
    EXPECT_THAT(std::vector<BYTE>(serial, serial + 16),
                ElementsAre(0, 0, 0, 0, 0, 0, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));

    TOC factory = g_TOC;
    TOC_Init();
    memcpy(g_TOC.BootCfg.MacAddress, factory.BootCfg.MacAddress, 6);
    memcpy(g_TOC.BootCfg.SerialNumber, factory.BootCfg.SerialNumber, 16);
    EXPECT_EQ(memcmp(&factory, &g_TOC, sizeof(TOC)), 0) << "every other byte is a default";
}

TEST_F(ShellCrossCheck, InspectRefusesForTheReasonTocReadGives)
{
    const SectorInfo bootArea = {0xFFFFFFFF, 0xFE, 0xFF, 0xFFFF};
    const SectorInfo notBootArea = {0xFFFFFFFF, 0xFF, 0xFF, 0xFFFF};
    struct {
        DWORD signature;
        DWORD version;
        SectorInfo info;
        const char *shellLine;
        const char *check;  // inspect's refusal; none when accepted
        const char *shown;
    } const cases[] = {
        {0x434F5458, 1, notBootArea, "INVALID_TOC Signature: 0x434f5458", "signature",
         "refused by TOC_Read (signature): signature 0x434F5458 is not 0x434F544E \"NTOC\"\n"},
        {TOC_SIGNATURE, 1, notBootArea, "SectorInfo verify failed: ffffffff ff ff ffff",
         "boot_area", "refused by TOC_Read (boot_area): SectorInfo FFFFFFFF FF FF FFFF: bit 0"},
        {TOC_SIGNATURE, 1, bootArea, "TOC->dwVersion: 0x1 , Expected: 0x20005", "version",
         "refused by TOC_Read (version): ID[0] version 0x1 is not 0x20005\n"},
        {TOC_SIGNATURE, EBOOT_VERSION, bootArea, " - TOC_Read ", nullptr, "accepted by TOC_Read\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.shellLine);
        TOC_Init();
        g_TOC.dwSignature = c.signature;
        g_TOC.ID[0].dwVersion = c.version;
        NandSetTocFlag(disk_, 1);
        ASSERT_EQ(NandEraseBlock(disk_, TOC_BLOCK), 1u);
        ASSERT_EQ(NandWritePage(disk_, TOC_SECTOR, (const BYTE *)&g_TOC, &c.info), 1u);
        NandSetTocFlag(disk_, 0);
        device_->Events().Clear();

        EXPECT_EQ(TOC_Read(disk_), c.check ? 0u : 1u);
        EXPECT_THAT(ShellLog(), HasSubstr(c.shellLine));
        json toc = InspectJson()["flash"]["toc"];
        EXPECT_EQ(toc["accepted"], c.check == nullptr);
        EXPECT_EQ(toc["refusal"].is_null() ? "" : toc["refusal"]["check"], c.check ? c.check : "");
        EXPECT_THAT(Quordev({"inspect", "dev"}).out, HasSubstr(c.shown));
    }
}

}  // namespace
