// DSK1:, the NAND flash as its flash-media driver shows it: sector transfers at a current
// address, block erase and status, and the three flags that open regions of the flash to writing.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/config.h"
#include "sim/driver.h"
#include "sim/flash_array.h"

namespace sim {

class Device;

// ERROR_WRITE_PROTECT: a region changed without its flag.
constexpr uint32_t kErrorWriteProtect = 19;

struct FlashFlags {
    bool eboot = false;
    bool toc = false;
    bool nk = false;
};

class FlashDriver : public Driver {
public:
    static constexpr uint32_t kSetSectorAddr = 0x71FD4, kReadSector = 0x71FDC,
                              kWriteSector = 0x71FE0, kEraseBlock = 0x71FE4,
                              kGetBlockStatus = 0x71FE8, kGetEbootUpdate = 0x71FF0,
                              kSetEbootFlag = 0x71FFC, kSetNkFlag = 0x72000, kSetTocFlag = 0x72004;
    static constexpr uint32_t kStatusBad = 0x02, kStatusReadOnly = 0x04, kStatusReserved = 0x08;
    // The boot loader's blocks (0-4) and the TOC's; every later block holds the OS image.
    static constexpr uint32_t kTocBlock = 5;

    // The flash in nand.bin, mapped on first use and created factory-fresh there when missing.
    // A nand.bin of the wrong size throws DeviceError at once.
    FlashDriver(const FlashConfig &config, std::filesystem::path nandFile);
    // The flash in the storage given (its block count wins over the description's).
    FlashDriver(const FlashConfig &config, std::unique_ptr<FlashArray> storage);

    // Raw bytes, for tools that read the flash as the boot loader would.
    const FlashArray &Flash() { return Storage(); }
    // The flags live in the driver for one boot only: every boot starts with them off.
    FlashFlags Flags() const { return flags_; }
    // "EBoot", "TOC", "NK": the flags still on, in that order.
    std::vector<std::string> FlagsLeftOn() const;
    // Journals one violation per flag still on; for the end of a boot.
    void ReportFlagsLeftOn();
    // What IOCTL_FMD_GET_BLOCK_STATUS answers, without faults.
    uint32_t BlockStatus(uint32_t block);
    // Everything erased, the factory-bad blocks marked in their first SectorInfo, flags clear.
    void MakeFactoryFresh();

protected:
    bool Control(IoRequest &request) override;

private:
    // A fault that lets a read succeed with one byte of the record changed.
    struct Corruption {
        FaultList match;
        uint32_t offset;
    };

    FlashArray &Storage();
    // Physically bad (flash.bad): erase and program fail whatever the bytes say.
    bool FactoryBad(uint32_t block) const;
    bool SetSectorAddress(IoRequest &request);
    bool ReadSector(IoRequest &request);
    bool WriteSector(IoRequest &request);
    bool EraseBlock(IoRequest &request);
    bool GetBlockStatus(IoRequest &request);
    bool SetFlag(IoRequest &request, bool &flag);
    // Refuses a change to a region whose flag is not set (journaled) or to a physically bad
    // block. A sector names a write, none an erase.
    bool MayChange(IoRequest &request, uint32_t block, std::optional<uint32_t> sector);
    static bool OutputWord(IoRequest &request, uint32_t word);
    void Violation(const std::string &what);

    std::filesystem::path nandFile_;
    std::unique_ptr<FlashArray> storage_;
    uint32_t blocks_;
    std::vector<uint32_t> factoryBad_;  // flash.bad: bad whatever their bytes say
    uint32_t ebootUpdate_;
    bool protect_;
    std::vector<Corruption> corruptions_;
    FlashFlags flags_;
    uint32_t address_ = 0;
};

// The flash driver of a device, present or not; DeviceError when it has none.
FlashDriver &DeviceFlash(Device &device);

}  // namespace sim
