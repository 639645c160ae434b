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
inline const std::string kRun = "Run Application 08:30:00 \r\n";
inline const std::string kCheck = "[QuorShell] Check and Run ProductShell \r\n";
inline const std::string kEnd = "QuorShell End \r\n";

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
