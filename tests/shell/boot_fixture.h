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

class BootTest : public testing::Test {
protected:
    // A device described by deviceJson, with the main application and the function-test program
    // on it unless asked otherwise.
    void MakeDevice(const nlohmann::json &deviceJson = nlohmann::json::object(),
                    bool mainApplication = true, bool productShell = true)
    {
        device_.reset();
        device_ = std::make_unique<TempDevice>(deviceJson);
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

    // "PWR1: 1045 in=00000000", one string per control code, in order; out shown when given.
    std::vector<std::string> Ioctls(const std::string &deviceName)
    {
        std::vector<std::string> calls;
        for (const auto &event : device_->EventsOf("ioctl")) {
            if (event["device"] != deviceName)
                continue;
            std::string call = deviceName + " " + std::to_string(event["code"].get<uint32_t>());
            if (!event["in"].get<std::string>().empty())
                call += " in=" + event["in"].get<std::string>();
            if (!event["out"].get<std::string>().empty())
                call += " out=" + event["out"].get<std::string>();
            if (event["ok"] == false)
                call += " failed";
            calls.push_back(call);
        }
        return calls;
    }

    TempDevice &device() { return *device_; }

    std::unique_ptr<TempDevice> device_;
};

}  // namespace qs_test
