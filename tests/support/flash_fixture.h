// A fresh device with its flash driver open, as the shell's flash operations expect it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/qs_common.h"
#include "nand/fmd.h"
#include "tests/support/temp_device.h"

namespace qs_test {

class FlashTest : public testing::Test {
protected:
    // A small flash keeps the device folder cheap; the faults go to flash.faults.
    void Open(const nlohmann::json &faults = nlohmann::json::array(), bool protect = true,
              uint32_t blocks = 16)
    {
        OpenDevice(nlohmann::json{
            {"flash", {{"blocks", blocks}, {"faults", faults}, {"protect", protect}}}});
    }

    // A device made from a whole device.json (flash.bad, heap.limit_bytes, ...).
    void OpenDevice(const nlohmann::json &deviceJson)
    {
        Close();
        // The old device detaches itself when destroyed: it goes before the new one attaches.
        device_.reset();
        device_ = std::make_unique<TempDevice>(deviceJson);
        ResetShellState();
        disk_ =
            CreateFileW(u"DSK1:", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(disk_, INVALID_HANDLE_VALUE);
    }

    void TearDown() override { Close(); }

    void Close()
    {
        if (disk_ != INVALID_HANDLE_VALUE)
            CloseHandle(disk_);
        disk_ = INVALID_HANDLE_VALUE;
    }

    // Starts the journal and the debug log afresh, after a test's own setup.
    void ForgetSetup() { device_->device().Events().Clear(); }

    // "NAME in=.. out=.." per control code, as TempDevice::DescribeIoctls gives them.
    std::vector<std::string> Calls() { return device_->DescribeIoctls("DSK1:", true); }

    // A sector's bytes on the flash: 2048 data bytes then its SectorInfo.
    std::vector<uint8_t> RawSector(uint32_t sector);
    // A block's 64 sectors as RawSector gives them, one after the other.
    std::vector<uint8_t> RawBlock(uint32_t block);
    // "EBoot", "TOC", "NK": the driver's flags still on.
    std::vector<std::string> FlagsLeftOn();
    // The inputs of one control code as Calls shows them ("05000000", "05000000 failed").
    std::vector<std::string> ControlInputs(const std::string &name);

    // Old content in a block, written through the region's flag: each sector's data bytes are
    // its number's low byte and its SectorInfo is OldRecord; the first record takes the given
    // flags and mark.
    void FillBlock(uint32_t block, BYTE firstOemFlags = 0xFF, BYTE firstBadBlockMark = 0xFF);
    static SectorInfo OldRecord(uint32_t sector)
    {
        return SectorInfo{0xA5000000 | sector, 0xFF, 0xFF, WORD(0x1200 + sector)};
    }

    // Keeps blocks 0 to count - 1 as they are now, for ExpectAsBefore.
    void KeepBlocks(uint32_t count);
    void ExpectAsBefore(uint32_t block);
    // What every operation leaves: no flag on, no heap block, no handle but the test's DSK1:.
    void ExpectNothingLeft();

    std::vector<std::string> Log() { return device_->LogEntries(); }
    TempDevice &device() { return *device_; }

    std::unique_ptr<TempDevice> device_;
    HANDLE disk_ = INVALID_HANDLE_VALUE;
    std::vector<std::vector<uint8_t>> kept_;
};

}  // namespace qs_test
