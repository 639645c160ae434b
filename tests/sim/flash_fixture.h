// The flash driver behind DSK1: reached through CreateFileW and DeviceIoControl on a temporary
// device: sector records, and a fixture that sends the FMD control codes.
#pragma once

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ce.h"
#include "sim/flash_array.h"
#include "sim/flash_driver.h"
#include "tests/support/temp_device.h"

namespace flash_fixture {

using nlohmann::json;
using sim::FlashDriver;
using Record = std::array<uint8_t, sim::kSectorRecordSize>;

constexpr DWORD kOn = 0xACEC;

// Data bytes of one value, the spare area erased but for the two marks given.
inline Record Filled(uint8_t data, uint8_t oemFlags = 0xFF, uint8_t badMark = 0xFF)
{
    Record record;
    record.fill(data);
    for (uint32_t i = sim::kSectorDataSize; i < record.size(); ++i)
        record[i] = 0xFF;
    record[sim::kOemFlagsOffset] = oemFlags;
    record[sim::kBadBlockMarkOffset] = badMark;
    return record;
}

inline Record Copy(std::span<const uint8_t, sim::kSectorRecordSize> bytes)
{
    Record record;
    std::copy(bytes.begin(), bytes.end(), record.begin());
    return record;
}

// Every byte different from its neighbours, the spare area too.
inline Record Pattern(uint8_t seed)
{
    Record record;
    for (size_t i = 0; i < record.size(); ++i)
        record[i] = uint8_t(i * 7 + seed);
    return record;
}

class Flash : public testing::Test {
protected:
    // Eight blocks keep nand.bin small and hold every region: 0-4 EBoot, 5 TOC, 6-7 NK.
    void Boot(json flash = json::object(), bool inMemory = false)
    {
        if (!flash.contains("blocks"))
            flash["blocks"] = 8;
        dev_ = std::make_unique<qs_test::TempDevice>(json{{"flash", flash}});
        if (inMemory) {
            const sim::FlashConfig &config = dev_->device().Config().flash;
            dev_->device().AddDriver(
                std::make_unique<FlashDriver>(config, sim::FlashArray::InMemory(config.blocks)));
        }
        Open();
    }
    void Open()
    {
        handle_ =
            CreateFileW(u"DSK1:", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }

    bool Send(DWORD code, DWORD word)
    {
        return DeviceIoControl(handle_, code, &word, 4, NULL, 0, NULL, NULL);
    }
    bool Read(Record &record)
    {
        return DeviceIoControl(handle_, FlashDriver::kReadSector, NULL, 0, record.data(),
                               DWORD(record.size()), NULL, NULL);
    }
    bool Write(const Record &record)
    {
        return DeviceIoControl(handle_, FlashDriver::kWriteSector,
                               const_cast<uint8_t *>(record.data()), DWORD(record.size()), NULL, 0,
                               NULL, NULL);
    }
    bool WriteAt(DWORD sector, const Record &record)
    {
        return Send(FlashDriver::kSetSectorAddr, sector) && Write(record);
    }
    Record ReadAt(DWORD sector)
    {
        Record record{};
        EXPECT_TRUE(Send(FlashDriver::kSetSectorAddr, sector) && Read(record)) << sector;
        return record;
    }
    bool Erase(DWORD block) { return Send(FlashDriver::kEraseBlock, block); }
    std::optional<DWORD> Status(DWORD block)
    {
        DWORD status = 0;
        if (!DeviceIoControl(handle_, FlashDriver::kGetBlockStatus, &block, 4, &status, 4, NULL,
                             NULL))
            return std::nullopt;
        return status;
    }
    std::vector<std::string> Violations()
    {
        std::vector<std::string> texts;
        for (const auto &event : dev_->EventsOf("violation"))
            texts.push_back(event["what"]);
        return texts;
    }
    FlashDriver &Driver() { return sim::DeviceFlash(dev_->device()); }

    std::unique_ptr<qs_test::TempDevice> dev_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace flash_fixture
