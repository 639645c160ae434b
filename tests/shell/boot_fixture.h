// A whole boot of the shell on a fresh temporary device.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/qs_common.h"
#include "shell/shell.h"
#include "tests/support/temp_device.h"

namespace qs_test {

// Lines of every boot on a fresh device, whose clock starts at 08:30:00.
inline const std::string kStart = "QuorShell Start 08:30:00 \r\n";
// Looking for an image update on a device whose flashdisk holds no update folder.
inline const std::string kImageProbe = "[QuorShell]IsExistImageFile ++ \r\n";
inline const std::string kRootFound = "Find flashdisk success \r\n";
inline const std::string kUpdateDir = "DirPath== \\flashdisk\\K275D-Update \r\n";
inline const std::string kNoImagePath = "ERROR(2)- Cannot find Image Path \r\n";
inline const std::string kAppProbe = "QuorShell: +IsExistAPPS \r\n";
inline const std::string kNoApps = "QuorShell: -IsExistAPPS FALSE\r\n";
inline const std::string kNoFolder = "******** RemoveDirectory \\flashdisk\\K275D-Update fail \r\n";
// The serial-number check on a fresh device: its erased flash holds no TOC, so the defaults are
// dumped and taken, and they carry no serial; \NAND holds no system-information file.
inline const std::vector<std::string> kSystemInfoOnErasedFlash = {
    "TOC_Read: 5 \r\n",
    "TOC_Read ERROR: INVALID_TOC Signature: 0xffffffff\r\n",
    "[QuorShell]CheckSystemInfo: TOC_Read fail. So Initialize TOC \r\n",
    "+BootConfigInit\r\n",
    "-BootConfigInit\r\n",
    "TOC {\r\n",
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
    "  dwTtlSectors: 0x6000\r\n",
    "  dwLoadAddress: 0x80020000\r\n",
    "  dwJumpAddress: 0x80020000\r\n",
    "  dwStoreOffset: 0x0\r\n",
    "}\r\n",
    "Device Serial \r\n",
    "0",
    "0",
    "0",
    "0",
    "0",
    "0",
    "0",
    "0",
    "0",
    "0",
    "0",
    "0",
    "0",
    "0",
    "0",
    "0",
    "\r\n",
    "Serial Number is not exist in TOC \r\n",
    "SN is not exist in TOC. And sys info is not exist either \r\n"};
// The BINFS check on the default store: a first partition "Part00" of 21952 sectors, the right
// size.
inline const std::vector<std::string> kBinfsRightSize = {
    "===============Partition Info====================\r\n",
    "PartitionName\t==Part00 \r\n",
    "FileSys\t\t\t==BINFS \r\n",
    "NumSectors\t\t==0x55C0 \r\n",
    "==================================================\r\n",
    "[QuorShell]CheckBINFS: BINFS is exist \r\n"};
inline const std::string kRun = "Run Application 08:30:00 \r\n";
inline const std::string kCheck = "[QuorShell] Check and Run ProductShell \r\n";
inline const std::string kEnd = "QuorShell End \r\n";

// One expected log from single lines and groups of lines, in order.
inline void AppendLines(std::vector<std::string> &log, const std::string &line)
{
    log.push_back(line);
}
inline void AppendLines(std::vector<std::string> &log, const std::vector<std::string> &lines)
{
    log.insert(log.end(), lines.begin(), lines.end());
}
template <typename... Parts>
std::vector<std::string> LogOf(const Parts &...parts)
{
    std::vector<std::string> log;
    (AppendLines(log, parts), ...);
    return log;
}

class BootTest : public testing::Test {
protected:
    // A device described by deviceJson, with the main application and the function-test program
    // on it unless asked otherwise.
    void MakeDevice(const nlohmann::json &deviceJson = nlohmann::json::object(),
                    bool mainApplication = true, bool productShell = true)
    {
        device_.reset();
        device_ = std::make_unique<TempDevice>(deviceJson);
        device_->PutFolder("\\flashdisk");
        if (mainApplication)
            device_->PutFile("\\NAND\\APPS\\LumTask.exe", "MZ");
        if (productShell)
            device_->PutFile("\\windows\\K290DFunctionTest.exe", "MZ");
    }

    int Boot()
    {
        if (!device_)
            MakeDevice();
        ResetShellState();
        return QuorShellMain();
    }

    // "PWR1: 1045 in=00000000", one string per control code, in order.
    std::vector<std::string> Ioctls(const std::string &deviceName)
    {
        return device_->DescribeIoctls(deviceName, false);
    }

    TempDevice &device() { return *device_; }

    std::unique_ptr<TempDevice> device_;
};

}  // namespace qs_test
