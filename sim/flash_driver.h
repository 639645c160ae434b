// DSK1:, the NAND flash as its flash-media driver shows it: sector transfers at a current
// address, block erase and status, and the three flags that open regions of the flash to writing.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/config.h"
#include "sim/driver.h"
#include "sim/flash_array.h"

namespace sim {

class Device;
class VirtualClock;

// The word that sets an FMD flag; 0 clears it.
constexpr uint32_t kFlagOn = 0xACEC;

// ERROR_WRITE_PROTECT: a region changed without its flag.
constexpr uint32_t kErrorWriteProtect = 19;

struct FlashFlags {
    bool eboot = false;
    bool toc = false;
    bool nk = false;
};

// How a power cut leaves the erase or program it interrupts: not begun, finished, or torn (a
// program clears only the bits of its even-numbered bytes, an erase sets only the block's first
// 32 sectors to 0xFF).
enum class PowerCutOutcome { NotDone, Completed, Torn };
const char *PowerCutOutcomeName(PowerCutOutcome outcome);  // "not-done", "completed", "torn"
std::optional<PowerCutOutcome> ParsePowerCutOutcome(const std::string &name);

// An erase or a program that reached the flash; a sector write is one program.
struct FlashOperation {
    enum class Kind { Erase, Program };
    Kind kind = Kind::Erase;
    uint32_t block = 0;
    std::optional<uint32_t> sector;  // a program's, counted from the start of the flash
    uint64_t startUs = 0;            // the flash time of the boot's operations before it
    uint64_t durationUs = 0;         // its figure in flash.timing
};
const char *OperationName(FlashOperation::Kind kind);  // "erase", "program"

// What the flash did in one boot, and the time flash.timing gives it.
struct FlashUsage {
    uint64_t erases = 0;
    uint64_t programs = 0;
    uint64_t reads = 0;
    uint64_t timeUs = 0;
    bool timed = false;  // flash.timing is given
};

// The power went at the boot's index-th erase or program (from 1): the boot ends at once.
class PowerCut : public std::runtime_error {
public:
    PowerCut(uint64_t index, const FlashOperation &operation, PowerCutOutcome outcome);
    uint64_t index;
    FlashOperation operation;
    PowerCutOutcome outcome;
};

// From now on the flash of every driver over a nand.bin stays in this process: a driver takes up
// the flash the last one left, nand.bin only when there is none, and writes nothing back. A
// forked sweep's child boots so, leaving the file it shares with its parent as it was.
void KeepFlashInProcess();

class FlashDriver;
// Called as each of the numbered erases and programs (from 1, in the boot's order) begins, before
// a planned power cut is looked for: a power sweep forks there, and its child plans the cut. It
// lasts until it is set again; an empty hook calls nothing.
void SetFlashOperationHook(std::set<uint64_t> numbers,
                           std::function<void(FlashDriver &flash, uint64_t n)> hook);

class FlashDriver : public Driver {
public:
    static constexpr uint32_t kSetSectorAddr = 0x71FD4, kReadSector = 0x71FDC,
                              kWriteSector = 0x71FE0, kEraseBlock = 0x71FE4,
                              kGetBlockStatus = 0x71FE8, kGetEbootUpdate = 0x71FF0,
                              kSetEbootFlag = 0x71FFC, kSetNkFlag = 0x72000, kSetTocFlag = 0x72004;
    static constexpr uint32_t kStatusBad = 0x02, kStatusReadOnly = 0x04, kStatusReserved = 0x08;
    // The boot loader's blocks (0-4) and the TOC's; every later block holds the OS image.
    static constexpr uint32_t kTocBlock = 5;

    // The flash in nand.bin, held in memory from first use (created factory-fresh there when
    // missing) and written back by changed blocks when the device is saved. A nand.bin of the
    // wrong size throws DeviceError at once.
    FlashDriver(const FlashConfig &config, std::filesystem::path nandFile);
    // The flash in the storage given (its block count wins over the description's).
    FlashDriver(const FlashConfig &config, std::unique_ptr<FlashArray> storage);
    ~FlashDriver() override;

    // Raw bytes, for tools that read the flash as the boot loader would.
    const FlashArray &Flash() { return Storage(); }
    // Writes the changed blocks back into nand.bin.
    void Flush() override;
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

    // Each operation's figure from flash.timing moves this clock on.
    void AttachClock(VirtualClock *clock) { clock_ = clock; }
    // At the index-th erase or program (from 1), leaves the flash as the outcome says, journals
    // power_cut and throws PowerCut.
    void CutPowerAt(uint64_t index, PowerCutOutcome outcome);
    // The erases and programs of this boot in order, the one the power cut included.
    const std::vector<FlashOperation> &Operations() const { return operations_; }
    const FlashUsage &Usage() const { return usage_; }

    // A failed erase or sector write that leaves the flash torn changes it as a torn power cut
    // does, where the request would otherwise have been carried out, and journals a fault.
    bool FailRequest(IoRequest &request, FailureLeaves leaves) override;
    // "DSK1: block 7" for an erase, a sector read or a sector write: a worn block fails each.
    std::string FaultPlace(const IoRequest &request) const override;

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
    bool FlagOpen(uint32_t block) const;
    // The block an erase, a sector read or a sector write addresses; none for any other request
    // and for a place beyond the flash.
    std::optional<uint32_t> AddressedBlock(const IoRequest &request) const;
    static bool OutputWord(IoRequest &request, uint32_t word);
    void Violation(const std::string &what);
    // Counts, times and carries out an erase or program that passed every check, whole or torn,
    // unless the power goes at it; a program of a sector that is not erased is a violation.
    // A program's record is its sector's; an erase has none.
    void Change(const FlashOperation &operation, std::span<const uint8_t> record = {},
                bool torn = false);
    // False when a program found its sector not erased.
    bool Apply(const FlashOperation &operation, std::span<const uint8_t> record);
    bool ApplyTorn(const FlashOperation &operation, std::span<const uint8_t> record);
    [[noreturn]] void CutPower(const FlashOperation &operation, std::span<const uint8_t> record);
    void Charge(uint64_t us);

    std::filesystem::path nandFile_;
    std::unique_ptr<FlashArray> storage_;
    uint32_t blocks_;
    std::vector<uint32_t> factoryBad_;  // flash.bad: bad whatever their bytes say
    uint32_t ebootUpdate_;
    bool protect_;
    std::vector<Corruption> corruptions_;
    FlashFlags flags_;
    uint32_t address_ = 0;
    FlashTiming timing_;
    VirtualClock *clock_ = nullptr;
    FlashUsage usage_;
    std::vector<FlashOperation> operations_;
    struct PlannedCut {
        uint64_t index;
        PowerCutOutcome outcome;
    };
    std::optional<PlannedCut> powerCut_;
};

// The flash driver of a device, present or not; DeviceError when it has none.
FlashDriver &DeviceFlash(Device &device);

}  // namespace sim
