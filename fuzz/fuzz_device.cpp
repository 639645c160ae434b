#include "fuzz/fuzz_device.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>

#include "common/qs_common.h"
#include "platform/host/host.h"
#include "sim/flash_driver.h"

namespace qs_fuzz {

namespace {

// Inputs between two renewals of the device: few enough that its debug log stays small, many
// enough that the new device folder costs next to nothing per input.
constexpr uint32_t kInputsPerDevice = 4096;

}  // namespace

void Finding(const std::string &what)
{
    std::fprintf(stderr, "FINDING: %s\n", what.c_str());
    std::abort();
}

FuzzDevice::FuzzDevice(nlohmann::json deviceJson) : deviceJson_(std::move(deviceJson))
{
    Renew();
}

void FuzzDevice::Renew()
{
    device_.reset();
    device_ = std::make_unique<qs_test::TempDevice>(deviceJson_);
    const sim::FlashConfig &config = device_->device().Config().flash;
    std::unique_ptr<sim::FlashArray> flash = sim::FlashArray::InMemory(config.blocks);
    flash_ = flash.get();
    device_->device().AddDriver(std::make_unique<sim::FlashDriver>(config, std::move(flash)));
}

qs_test::TempDevice &FuzzDevice::Begin()
{
    if (++inputs_ % kInputsPerDevice == 0)
        Renew();
    ResetShellState();
    device_->device().Events().Clear();
    return *device_;
}

void FuzzDevice::End()
{
    for (const std::string &held : ce_host::DescribeHeld())
        Finding("still held after the input: " + held);
    for (const std::string &flag : sim::DeviceFlash(device_->device()).FlagsLeftOn())
        Finding("flash flag left on: " + flag);
    for (const char *kind : {"misuse", "violation"})
        for (const auto &event : device_->EventsOf(kind))
            Finding(std::string(kind) + ": " + event.dump());
}

void FuzzDevice::WriteSector(uint32_t sector, std::span<const uint8_t> record)
{
    std::array<uint8_t, sim::kSectorRecordSize> padded;
    padded.fill(sim::kErased);
    std::copy_n(record.begin(), std::min(record.size(), padded.size()), padded.begin());
    flash_->EraseBlock(sector / sim::kSectorsPerBlock);
    flash_->Program(sector, padded);
}

}  // namespace qs_fuzz
