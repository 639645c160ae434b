// A whole boot of the shell on a fresh temporary device, and its journal as text.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/qs_common.h"
#include "shell/shell.h"
#include "tests/support/expect.h"
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
        device_->PutFolder("\\flashdisk");
        if (mainApplication)
            device_->PutFile("\\NAND\\APPS\\LumTask.exe", "MZ");
        if (productShell)
            device_->PutFile("\\windows\\K290DFunctionTest.exe", "MZ");
    }

    int Boot()
    {
        ResetShellState();
        return QuorShellMain();
    }

    Lines Journal() { return JournalLines(device_->device().Events().Events()); }

    TempDevice &device() { return *device_; }

    std::unique_ptr<TempDevice> device_;
};

}  // namespace qs_test
