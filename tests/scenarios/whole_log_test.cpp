// The whole debug log of three boots of a factory-made device, line for line: a start with
// nothing offered, an operating-system update with its boot loader, and an installation of
// application data. Each boot starts at its own time, so the times in the log are its own.
#include <gtest/gtest.h>

#include "tests/scenarios/scenario_device.h"
#include "tests/shell/boot_fixture.h"

namespace whole_log_test {
namespace {

using namespace scenario;
using Lines = std::vector<std::string>;
using qs_test::LogOf;

Lines Start(const std::string &time)
{
    return {"QuorShell Start " + time + " \r\n", "[QuorShell]IsExistImageFile ++ \r\n",
            "Find flashdisk success \r\n", "DirPath== \\flashdisk\\K275D-Update \r\n"};
}

// The factory TOC, accepted.
const Lines kTocRead = {"TOC_Read: 5 \r\n", " [QuorShell] g_ImageType: 0x8 \r\n",
                        " - TOC_Read \r\n"};

// The factory TOC carries the serial; the first start names the system-information file after it.
const Lines kSysInfoCreated = LogOf(kTocRead, "Device Serial \r\n", "0000000020240315\r\n",
                                    "Serial Number is exist in TOC \r\n",
                                    "Sys info is not exist. But SN is exist in TOC \r\n",
                                    "Sys Info Path \\NAND\\M7LITE_0020240315.sys \r\n");

Lines Launch(const std::string &time)
{
    return {"[QuorShell] BootKeyStat 0 \r\n", "Run Application " + time + " \r\n",
            "[QUORSHELL] DeviceIoControl PWR PWR_IOCTL_GET_SN success. SN: 20240315 \r\n",
            "QuorShell End \r\n"};
}

// "line 12 differs: ..." for the first line that differs, so that a failure points at it.
std::string FirstDifference(const Lines &actual, const Lines &expected)
{
    for (size_t i = 0; i < std::max(actual.size(), expected.size()); ++i) {
        std::string got = i < actual.size() ? testing::PrintToString(actual[i]) : "(none)";
        std::string want = i < expected.size() ? testing::PrintToString(expected[i]) : "(none)";
        if (got != want)
            return "line " + std::to_string(i + 1) + " is " + got + ", expected " + want;
    }
    return "";
}

void ExpectLog(const ScenarioDevice &device, const Lines &expected)
{
    const Lines actual = SplitLines(device.DebugLog());
    EXPECT_EQ(FirstDifference(actual, expected), "");
    EXPECT_EQ(actual, expected);
}

TEST(WholeLog, IdleFactoryBoot)
{
    ScenarioDevice device;
    device.Configure({{"clock", {{"utc", "2026-01-02T03:04:05Z"}}}});
    device.Boot();
    ExpectLog(device, LogOf(Start("03:04:05"), "ERROR(2)- Cannot find Image Path \r\n",
                            "QuorShell: +IsExistAPPS \r\n", "QuorShell: -IsExistAPPS FALSE\r\n",
                            "******** RemoveDirectory \\flashdisk\\K275D-Update fail \r\n",
                            kSysInfoCreated, qs_test::kBinfsRightSize, Launch("03:04:05")));
}

// The boot loader into blocks 0 to 4, the NK image into blocks 6 to 8 and its record into the
// TOC; the start, success and restart cues and the restart pause take 1.95 s, and the flash's
// erases, programs and reads (flash.timing of a new device) 0.12 s more.
TEST(WholeLog, OperatingSystemUpdateBoot)
{
    ScenarioDevice device;
    device.Configure({{"clock", {{"utc", "2031-07-04T13:59:59Z"}}}});
    fs::path nk = device.WriteNk("nk.bin", NkLayout());
    device.Offer({.nk = nk, .eboot = device.WriteNb0(), .key = "240315"});
    device.Boot();
    const std::string folder = "\\flashdisk\\K275D-Update\\";
    ExpectLog(
        device,
        LogOf(Start("13:59:59"), "Found Image Path! \r\n",
              "Find NK Image Path==" + folder + "R5nk_*.bin \r\n",
              "[QuorShell]IsExistImageFile Found OS NK Image! \r\n",
              "*************** [QuorShell]UpdateSystemImage ++ \r\n", "Find flashdisk success \r\n",
              "DirPath== \\flashdisk\\K275D-Update \r\n", "Found Image Path! \r\n",
              "Is eboot update enabled? 1 \r\n", kTocRead,
              "Find EBoot Image Path==" + folder + "R5boot_*.nb0 \r\n", "Found EBoot Image! \r\n",
              "Update File Path : " + folder + "R5boot_240315.nb0 \r\n",
              "CheckCRCFile: Check CRC of " + folder + "R5boot_240315.nb0 success \r\n",
              "WriteEBootImage ++ \r\n",
              "Open EBoot image file... " + folder + "R5boot_240315.nb0 \r\n",
              "[QuorShell] dwBlock 0 NumBlocks 5 \r\n",
              "[QuorShell] WriteEBootImage: Erase 0 block \r\n",
              "[QuorShell] WriteEBootImage: Write 0 block \r\n",
              "Checksum = 2016c4,  header = 50545351 4000 2016c4 0\r\n",
              "OSUPDATE NandWriteBlock StepLoader break \r\n",
              "[QuorShell] WriteEBootImage: Erase 1 block \r\n",
              "[QuorShell] WriteEBootImage: Write 1 block \r\n",
              "[QuorShell] WriteEBootImage: Erase 2 block \r\n",
              "[QuorShell] WriteEBootImage: Write 2 block \r\n",
              "[QuorShell] WriteEBootImage: Erase 3 block \r\n",
              "[QuorShell] WriteEBootImage: Write 3 block \r\n",
              "[QuorShell] WriteEBootImage: Erase 4 block \r\n",
              "[QuorShell] WriteEBootImage: Write 4 block \r\n", "WriteEBootImage -- return 1 \r\n",
              "Find NK Image Path==" + folder + "R5nk_*.bin \r\n", "Found OS NK Image! \r\n",
              "Update File Path : " + folder + "R5nk_240315.bin \r\n",
              "OSUPDATE: CheckImageSignature ++ " + folder + "R5nk_240315.bin \r\n",
              "OSUPDATE: CheckImageSignature Company:QUOR Product:K275D Version:000001 "
              "Language:ENG \r\n",
              "OSUPDATE: CheckImageSignature Company and Product signature is matched. Company: "
              "QUOR Product: K275D \r\n",
              "OSUPDATE: CheckImageSignature -- " + folder + "R5nk_240315.bin \r\n",
              "Open OS update image file... " + folder + "R5nk_240315.bin \r\n",
              "ImageStart: 0x80020000 ImageLen: 0x50000 \r\n",
              // Five records of 64 KiB, each byte value 0 to 255 equally often in each.
              "RecNum:1 RecAddr:0x80020000 RecLen:0x10000 RecChk:0x7F8000 \r\n",
              "RecNum:2 RecAddr:0x80030000 RecLen:0x10000 RecChk:0x7F8000 \r\n",
              "RecNum:3 RecAddr:0x80040000 RecLen:0x10000 RecChk:0x7F8000 \r\n",
              "RecNum:4 RecAddr:0x80050000 RecLen:0x10000 RecChk:0x7F8000 \r\n",
              "RecNum:5 RecAddr:0x80060000 RecLen:0x10000 RecChk:0x7F8000 \r\n",
              "RecNum:6 RecAddr:0x0 RecLen:0x80021000 RecChk:0x0 \r\n", "\r\n", "OS Image End!\r\n",
              "[QuorShell] WriteNK ++ ImageStart:0x80020000 ImageLen:0x50000 \r\n",
              "NandWriteBlock: 6 block \r\n",
              "[QuorShell] WriteNK NumBlocks 2 block from 7 block \r\n",
              "NandWriteBlock: 7 block \r\n", "NandWriteBlock: 8 block \r\n", "+ TOC_Write\r\n",
              "- TOC_Write\r\n", kTocRead,
              // The MAC address line prints a conversion the formatter does not know as it stands.
              Lines{"TOC {\r\n",
                    "dwSignature: 0x434f544e\r\n",
                    "BootCfg\r\n",
                    "{\r\n",
                    "  ConfigFlags: 0x2020\r\n",
                    "  dwBootDelay: 0x5\r\n",
                    "  MAC Address: B:B:B:B:B:B\r\n",
                    "}\r\n",
                    "ID[0]\r\n",
                    "{\r\n",
                    "  dwVersion: 0x20005\r\n",
                    "  dwSignature: 0x544F4245\r\n",
                    "  String: eboot.bin\r\n",
                    "  dwImageType: 0x1\r\n",
                    "  dwTtlSectors: 0x100\r\n",
                    "  dwLoadAddress: 0x87700000\r\n",
                    "  dwJumpAddress: 0x87700000\r\n",
                    "  dwStoreOffset: 0x1\r\n",
                    "}\r\n",
                    "ID[1]\r\n",
                    "{\r\n",
                    "  dwVersion: 0x0\r\n",
                    "  dwSignature: 0x0\r\n",
                    "  String: \r\n",
                    "  dwImageType: 0x0\r\n",
                    "  dwTtlSectors: 0x0\r\n",
                    "  dwLoadAddress: 0x0\r\n",
                    "  dwJumpAddress: 0x0\r\n",
                    "  dwStoreOffset: 0x0\r\n",
                    "}\r\n",
                    "ID[2]\r\n",
                    "{\r\n",
                    "  dwVersion: 0x0\r\n",
                    "  dwSignature: 0x0\r\n",
                    "  String: \r\n",
                    "  dwImageType: 0x0\r\n",
                    "  dwTtlSectors: 0x0\r\n",
                    "  dwLoadAddress: 0x0\r\n",
                    "  dwJumpAddress: 0x0\r\n",
                    "  dwStoreOffset: 0x0\r\n",
                    "}\r\n",
                    "ID[3]\r\n",
                    "{\r\n",
                    "  dwVersion: 0x1\r\n",
                    "  dwSignature: 0x48534643\r\n",
                    "  String: nk.bin\r\n",
                    "  dwImageType: 0x8\r\n",
                    "  dwTtlSectors: 0xA0\r\n",
                    "  dwLoadAddress: 0x80020000\r\n",
                    "  dwJumpAddress: 0x80021000\r\n",
                    "  dwStoreOffset: 0x0\r\n",
                    "}\r\n"},
              "[QuorShell] WriteNK -- \r\n",
              "*********************[QuorShell]UpdateSystemImage -- 1 \r\n",
              "QuorShell: +IsExistAPPS \r\n", "QuorShell: -IsExistAPPS FALSE\r\n", kSysInfoCreated,
              qs_test::kBinfsRightSize, Launch("14:00:01")));
}

// Sixteen files in nested folders below the four folders, copied in name order, the
// application folder compared once and its backup removed; the start and success cues take
// 0.55 s.
TEST(WholeLog, ApplicationDataBoot)
{
    ScenarioDevice device;
    device.Configure({{"clock", {{"utc", "2028-02-29T09:15:59Z"}}}});
    device.Offer(
        {.nk = std::nullopt, .eboot = std::nullopt, .key = "", .appData = device.WriteApps()});
    device.Boot();
    const std::string from = "\\flashdisk\\K275D-Update\\APP_DATA\\";
    auto copyFolder = [&from](const std::string &folder) {
        return "OSUPDATE: +CopyExeFile " + from + folder + " \\NAND\\" + folder + " \r\n";
    };
    auto copy = [&from](const std::string &file) { return "Copy: " + from + file + " \r\n"; };
    const std::string copied = "OSUPDATE: -CopyExeFile \r\n";
    ExpectLog(
        device,
        LogOf(Start("09:15:59"), "Found Image Path! \r\n",
              "Find NK Image Path==\\flashdisk\\K275D-Update\\R5nk_*.bin \r\n",
              "ERROR(2)- Cannot find NK image file \r\n", "QuorShell: +IsExistAPPS \r\n",
              "QuorShell: apps folder is exist \r\n", "QuorShell: lumhelp folder is exist \r\n",
              "QuorShell: manual folder is exist \r\n", "QuorShell: sound folder is exist \r\n",
              "QuorShell: -IsExistAPPS \r\n", "QuorShell: CopyAPPFiles ++ \r\n",
              "QuorShell: delete apps folder \r\n",
              "CopyAPPFiles: MoveFile \\NAND\\apps -> \\NAND\\apps_bk \r\n",
              "QuorShell: delete lumhelp folder \r\n", "QuorShell: delete manual folder \r\n",
              "QuorShell: delete sound folder \r\n",
              "OSUPDATE: +CopyExeFile " + from + " \\NAND\\ \r\n", copyFolder("apps\\"),
              copy("apps\\apps_8.dll"), copyFolder("apps\\lib\\"), copy("apps\\lib\\apps_12.dll"),
              copy("apps\\lib\\apps_4.dll"), copied, copy("apps\\LumTask.exe"), copied,
              copyFolder("lumhelp\\"), copyFolder("lumhelp\\de\\"),
              copy("lumhelp\\de\\lumhelp_1.htm"), copied, copyFolder("lumhelp\\en\\"),
              copyFolder("lumhelp\\en\\images\\"), copy("lumhelp\\en\\images\\lumhelp_13.htm"),
              copy("lumhelp\\en\\images\\lumhelp_9.htm"), copied, copied,
              copy("lumhelp\\lumhelp_5.htm"), copied, copyFolder("manual\\"),
              copyFolder("manual\\chapters\\"), copyFolder("manual\\chapters\\appendix\\"),
              copy("manual\\chapters\\appendix\\manual_14.txt"), copied,
              copy("manual\\chapters\\manual_10.txt"), copy("manual\\chapters\\manual_2.txt"),
              copied, copyFolder("manual\\figures\\"), copy("manual\\figures\\manual_6.txt"),
              copied, copied, copyFolder("sound\\"), copyFolder("sound\\cues\\"),
              copy("sound\\cues\\sound_15.wav"), copy("sound\\cues\\sound_7.wav"), copied,
              copy("sound\\sound_3.wav"), copyFolder("sound\\voices\\"),
              copyFolder("sound\\voices\\en\\"), copy("sound\\voices\\en\\sound_11.wav"), copied,
              copied, copied, copied, "CopyAPPFiles: gdwAppFolderFlag 0xF \r\n",
              "OSUPDATE: +CheckExeFile " + from + "apps\\ \\NAND\\apps\\ \r\n",
              "CheckExeFile: size 10255 - 10255 \r\n",
              "OSUPDATE: +CheckExeFile " + from + "apps\\lib\\ \\NAND\\apps\\lib\\ \r\n",
              "CheckExeFile: size 6 - 6 \r\n", "CheckExeFile: size 1821 - 1821 \r\n",
              "OSUPDATE: -CheckExeFile \r\n", "CheckExeFile: size 724 - 724 \r\n",
              "OSUPDATE: -CheckExeFile \r\n", "CopyAPPFiles: DeleteAllFile \\NAND\\apps_bk \r\n",
              "OSUPDATE: CopyAPPFiles -- \r\n", kSysInfoCreated, qs_test::kBinfsRightSize,
              Launch("09:15:59")));
}

}  // namespace
}  // namespace whole_log_test
