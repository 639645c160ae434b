#include "sim/flash_driver.h"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "sim/clock.h"
#include "sim/device.h"
#include "sim/error.h"
#include "sim/journal.h"

namespace sim {

namespace fs = std::filesystem;

namespace {

// The flash of this process's boots, when it stays in the process (KeepFlashInProcess).
bool g_keepInProcess = false;
std::unique_ptr<FlashArray> g_keptFlash;
std::set<uint64_t> g_operationHookAt;
std::function<void(FlashDriver &, uint64_t)> g_operationHook;

const std::vector<NamedCode> kCodes = {
    {FlashDriver::kSetSectorAddr, "IOCTL_FMD_SET_SECTOR_ADDR"},
    {FlashDriver::kReadSector, "IOCTL_FMD_READ_SECTOR"},
    {FlashDriver::kWriteSector, "IOCTL_FMD_WRITE_SECTOR"},
    {FlashDriver::kEraseBlock, "IOCTL_FMD_ERASE_BLOCK"},
    {FlashDriver::kGetBlockStatus, "IOCTL_FMD_GET_BLOCK_STATUS"},
    {FlashDriver::kGetEbootUpdate, "IOCTL_FMD_GET_EBOOT_UPDATE"},
    {FlashDriver::kSetEbootFlag, "IOCTL_FMD_SET_EBOOT_FLAG"},
    {FlashDriver::kSetNkFlag, "IOCTL_FMD_SET_NK_FLAG"},
    {FlashDriver::kSetTocFlag, "IOCTL_FMD_SET_TOC_FLAG"},
};

const char *const kCorrupt = "corrupt";

constexpr std::pair<PowerCutOutcome, const char *> kOutcomeNames[] = {
    {PowerCutOutcome::NotDone, "not-done"},
    {PowerCutOutcome::Completed, "completed"},
    {PowerCutOutcome::Torn, "torn"},
};

std::string Describe(const FlashOperation &operation)
{
    std::string text = OperationName(operation.kind);
    if (operation.sector)
        text += " of sector " + std::to_string(*operation.sector) + " in";
    else
        text += " of";
    return text + " block " + std::to_string(operation.block);
}

}  // namespace

const char *PowerCutOutcomeName(PowerCutOutcome outcome)
{
    for (const auto &[value, name] : kOutcomeNames)
        if (value == outcome)
            return name;
    return "?";
}

std::optional<PowerCutOutcome> ParsePowerCutOutcome(const std::string &name)
{
    for (const auto &[value, known] : kOutcomeNames)
        if (name == known)
            return value;
    return std::nullopt;
}

const char *OperationName(FlashOperation::Kind kind)
{
    return kind == FlashOperation::Kind::Erase ? "erase" : "program";
}

PowerCut::PowerCut(uint64_t index, const FlashOperation &operation, PowerCutOutcome outcome)
    : std::runtime_error("the power was cut at flash operation " + std::to_string(index) + ", " +
                         PowerCutOutcomeName(outcome) + " " + Describe(operation)),
      index(index),
      operation(operation),
      outcome(outcome)
{
}

FlashDriver::FlashDriver(const FlashConfig &config, fs::path nandFile)
    : FlashDriver(config, std::unique_ptr<FlashArray>())
{
    nandFile_ = std::move(nandFile);
    // A mismatch is a broken device folder; say so now, not at the shell's first transfer.
    if (fs::exists(nandFile_))
        FlashArray::CheckFileSize(nandFile_, blocks_);
}

FlashDriver::FlashDriver(const FlashConfig &config, std::unique_ptr<FlashArray> storage)
    // Corruptions stay in the list, where no query matches them, so that each fault keeps its
    // index in flash.faults.
    : Driver("DSK1:", kCodes, config.faults, "flash"),
      blocks_(storage ? storage->Blocks() : config.blocks),
      factoryBad_(config.bad),
      ebootUpdate_(config.ebootUpdate),
      protect_(config.protect),
      timing_(config.timing.value_or(FlashTiming{}))
{
    usage_.timed = config.timing.has_value();
    storage_ = std::move(storage);
    // device.json is checked as it is read; a description made in code is checked here.
    CheckFaults(config.faults, FlashFaultScope(blocks_));
    for (uint32_t block : factoryBad_)
        if (block >= blocks_)
            throw DeviceError("flash.bad: block " + std::to_string(block) + " is beyond the " +
                              std::to_string(blocks_) + " blocks of the flash");
    for (const FaultSpec &fault : config.faults)
        if (fault.op == kCorrupt)
            corruptions_.push_back({FaultList({fault}, kCodes, "flash"), *fault.offset});
}

FlashDriver::~FlashDriver()
{
    if (g_keepInProcess && storage_ && !nandFile_.empty()) {
        storage_->ForgetChanges();
        g_keptFlash = std::move(storage_);
    }
}

void KeepFlashInProcess()
{
    g_keepInProcess = true;
}

void SetFlashOperationHook(std::set<uint64_t> numbers,
                           std::function<void(FlashDriver &flash, uint64_t n)> hook)
{
    g_operationHookAt = std::move(numbers);
    g_operationHook = std::move(hook);
}

FlashArray &FlashDriver::Storage()
{
    if (!storage_ && g_keepInProcess && g_keptFlash)
        storage_ = std::move(g_keptFlash);
    if (!storage_) {
        if (!fs::exists(nandFile_))
            FlashArray::CreateFactoryFile(nandFile_, blocks_, factoryBad_);
        storage_ = FlashArray::LoadFile(nandFile_, blocks_);
    }
    return *storage_;
}

void FlashDriver::Flush()
{
    if (storage_ && !g_keepInProcess)
        storage_->WriteBack();
}

bool FlashDriver::FactoryBad(uint32_t block) const
{
    return std::find(factoryBad_.begin(), factoryBad_.end(), block) != factoryBad_.end();
}

void FlashDriver::MakeFactoryFresh()
{
    if (!nandFile_.empty()) {
        // A new file is erased already, and writing it is cheaper than erasing a mapping.
        storage_.reset();
        fs::remove(nandFile_);
        Storage();
    } else {
        for (uint32_t block = 0; block < blocks_; ++block)
            storage_->EraseBlock(block);
        storage_->MarkBad(factoryBad_);
    }
    flags_ = {};
}

uint32_t FlashDriver::BlockStatus(uint32_t block)
{
    if (block >= blocks_)
        throw std::out_of_range("flash block " + std::to_string(block));
    const FlashArray &flash = Storage();
    const uint32_t first = block * kSectorsPerBlock;
    const uint8_t badMark = flash.SectorByte(first, kBadBlockMarkOffset);
    const uint8_t oemFlags = flash.SectorByte(first, kOemFlagsOffset);
    uint32_t status = 0;
    // A factory-bad block stays bad even if its mark was somehow cleared: the part is bad, not
    // its bytes. A mark written into a sound block counts too, as the boot loader reads it.
    if (badMark != kErased || FactoryBad(block))
        status |= kStatusBad;
    if (!(oemFlags & 0x02))
        status |= kStatusReadOnly;
    if (!(oemFlags & 0x01))
        status |= kStatusReserved;
    return status;
}

bool FlashDriver::Control(IoRequest &request)
{
    switch (request.code) {
        case kSetSectorAddr:
            return SetSectorAddress(request);
        case kReadSector:
            return ReadSector(request);
        case kWriteSector:
            return WriteSector(request);
        case kEraseBlock:
            return EraseBlock(request);
        case kGetBlockStatus:
            return GetBlockStatus(request);
        case kGetEbootUpdate:
            return request.in.empty() ? OutputWord(request, ebootUpdate_)
                                      : Refuse(request, kErrorInvalidParameter);
        case kSetEbootFlag:
            return SetFlag(request, flags_.eboot);
        case kSetTocFlag:
            return SetFlag(request, flags_.toc);
        case kSetNkFlag:
            return SetFlag(request, flags_.nk);
    }
    return Refuse(request, kErrorNotSupported);
}

bool FlashDriver::OutputWord(IoRequest &request, uint32_t word)
{
    uint8_t bytes[4] = {uint8_t(word), uint8_t(word >> 8), uint8_t(word >> 16),
                        uint8_t(word >> 24)};
    return Output(request, bytes, sizeof(bytes));
}

bool FlashDriver::SetSectorAddress(IoRequest &request)
{
    uint32_t sector = 0;
    if (!InputWord(request, sector))
        return false;
    if (sector >= blocks_ * kSectorsPerBlock)
        return Refuse(request, kErrorInvalidParameter);
    address_ = sector;
    return true;
}

bool FlashDriver::ReadSector(IoRequest &request)
{
    request.transferSector = address_;
    if (!request.in.empty() || address_ >= blocks_ * kSectorsPerBlock)
        return Refuse(request, kErrorInvalidParameter);
    uint32_t sector = address_;
    uint32_t block = sector / kSectorsPerBlock;
    if (FaultHit({{}, "read", block, sector}))
        return false;
    if (!Output(request, Storage().Sector(sector).data(), kSectorRecordSize))
        return false;
    ++usage_.reads;
    Charge(timing_.pageReadUs);
    for (Corruption &corruption : corruptions_)
        if (corruption.match.Hit({{}, kCorrupt, block, sector}))
            request.out[corruption.offset] ^= 0xFF;
    ++address_;
    return true;
}

bool FlashDriver::WriteSector(IoRequest &request)
{
    request.transferSector = address_;
    if (request.in.size() != kSectorRecordSize || address_ >= blocks_ * kSectorsPerBlock)
        return Refuse(request, kErrorInvalidParameter);
    uint32_t sector = address_;
    uint32_t block = sector / kSectorsPerBlock;
    if (std::optional<FailureLeaves> leaves = FaultHit({{}, "write", block, sector}))
        return FailRequest(request, *leaves);
    if (!MayChange(request, block, sector))
        return false;
    Change({FlashOperation::Kind::Program, block, sector, usage_.timeUs, timing_.pageProgramUs},
           request.in);
    ++address_;
    return true;
}

bool FlashDriver::EraseBlock(IoRequest &request)
{
    uint32_t block = 0;
    if (!InputWord(request, block))
        return false;
    if (block >= blocks_)
        return Refuse(request, kErrorInvalidParameter);
    if (std::optional<FailureLeaves> leaves = FaultHit({{}, "erase", block, {}}))
        return FailRequest(request, *leaves);
    if (!MayChange(request, block, {}))
        return false;
    Change({FlashOperation::Kind::Erase, block, {}, usage_.timeUs, timing_.blockEraseUs});
    return true;
}

void FlashDriver::CutPowerAt(uint64_t index, PowerCutOutcome outcome)
{
    powerCut_ = PlannedCut{index, outcome};
}

std::optional<uint32_t> FlashDriver::AddressedBlock(const IoRequest &request) const
{
    if (request.code == kReadSector || request.code == kWriteSector)
        return address_ < blocks_ * kSectorsPerBlock ? std::optional(address_ / kSectorsPerBlock)
                                                     : std::nullopt;
    IoRequest copy = request;  // the request's own error stays as it is
    uint32_t block = 0;
    if (request.code == kEraseBlock && InputWord(copy, block) && block < blocks_)
        return block;
    return std::nullopt;
}

std::string FlashDriver::FaultPlace(const IoRequest &request) const
{
    std::optional<uint32_t> block = AddressedBlock(request);
    return block ? Name() + " block " + std::to_string(*block) : std::string();
}

bool FlashDriver::FailRequest(IoRequest &request, FailureLeaves leaves)
{
    std::optional<uint32_t> block = AddressedBlock(request);
    bool program = request.code == kWriteSector && request.in.size() == kSectorRecordSize;
    if (leaves != FailureLeaves::Torn || !block || !(program || request.code == kEraseBlock) ||
        !FlagOpen(*block) || FactoryBad(*block))
        return false;
    FlashOperation operation =
        program ? FlashOperation{FlashOperation::Kind::Program, *block, address_, usage_.timeUs,
                                 timing_.pageProgramUs}
                : FlashOperation{
                      FlashOperation::Kind::Erase, *block, {}, usage_.timeUs, timing_.blockEraseUs};
    Change(operation, request.in, true);
    if (journal())
        journal()->Fault(Name(),
                         Describe(operation) + " failed torn: " +
                             (program ? "its even-numbered bytes programmed"
                                      : "its first " + std::to_string(kSectorsPerBlock / 2) +
                                            " sectors erased"));
    return false;
}

void FlashDriver::Change(const FlashOperation &operation, std::span<const uint8_t> record,
                         bool torn)
{
    operations_.push_back(operation);
    if (g_operationHook && g_operationHookAt.contains(operations_.size()))
        g_operationHook(*this, operations_.size());
    if (powerCut_ && powerCut_->index == operations_.size())
        CutPower(operation, record);
    bool erasedBefore = torn ? ApplyTorn(operation, record) : Apply(operation, record);
    if (!erasedBefore)
        Violation("write of sector " + std::to_string(*operation.sector) + " in block " +
                  std::to_string(operation.block) + ", which is not erased");
}

bool FlashDriver::Apply(const FlashOperation &operation, std::span<const uint8_t> record)
{
    Charge(operation.durationUs);
    if (operation.kind == FlashOperation::Kind::Erase) {
        ++usage_.erases;
        Storage().EraseBlock(operation.block);
        return true;
    }
    ++usage_.programs;
    return Storage().Program(*operation.sector, record.first<kSectorRecordSize>());
}

bool FlashDriver::ApplyTorn(const FlashOperation &operation, std::span<const uint8_t> record)
{
    Charge(operation.durationUs / 2);
    if (operation.kind == FlashOperation::Kind::Erase) {
        ++usage_.erases;
        Storage().EraseSectors(operation.block * kSectorsPerBlock, kSectorsPerBlock / 2);
        return true;
    }
    // 0xFF programs nothing: the odd-numbered bytes keep what they held.
    std::array<uint8_t, kSectorRecordSize> half;
    for (uint32_t i = 0; i < kSectorRecordSize; ++i)
        half[i] = i % 2 ? kErased : record[i];
    ++usage_.programs;
    return Storage().Program(*operation.sector, half);
}

void FlashDriver::CutPower(const FlashOperation &operation, std::span<const uint8_t> record)
{
    PowerCutOutcome outcome = powerCut_->outcome;
    if (outcome == PowerCutOutcome::Completed)
        Apply(operation, record);
    else if (outcome == PowerCutOutcome::Torn)
        ApplyTorn(operation, record);
    if (journal())
        journal()->PowerCut(operations_.size(), OperationName(operation.kind), operation.block,
                            operation.sector, PowerCutOutcomeName(outcome));
    throw PowerCut(operations_.size(), operation, outcome);
}

void FlashDriver::Charge(uint64_t us)
{
    usage_.timeUs += us;
    if (clock_)
        clock_->AdvanceMicroseconds(us);
}

bool FlashDriver::GetBlockStatus(IoRequest &request)
{
    uint32_t block = 0;
    if (!InputWord(request, block))
        return false;
    if (block >= blocks_)
        return Refuse(request, kErrorInvalidParameter);
    if (FaultHit({{}, "status", block, {}}))
        return false;
    return OutputWord(request, BlockStatus(block));
}

bool FlashDriver::SetFlag(IoRequest &request, bool &flag)
{
    uint32_t word = 0;
    if (!InputWord(request, word))
        return false;
    // 0xACEC sets a flag and 0 clears it; any other word is refused and changes nothing, the
    // harsher reading of a contract that names only those two.
    if (word != kFlagOn && word != 0)
        return Refuse(request, kErrorInvalidParameter);
    flag = word == kFlagOn;
    return true;
}

bool FlashDriver::FlagOpen(uint32_t block) const
{
    return !protect_ || (block < kTocBlock    ? flags_.eboot
                         : block == kTocBlock ? flags_.toc
                                              : flags_.nk);
}

bool FlashDriver::MayChange(IoRequest &request, uint32_t block, std::optional<uint32_t> sector)
{
    const char *flag = block < kTocBlock ? "EBoot" : block == kTocBlock ? "TOC" : "NK";
    if (!FlagOpen(block)) {
        std::string what = sector ? "write of sector " + std::to_string(*sector) + " in block "
                                  : "erase of block ";
        Violation(what + std::to_string(block) + " without the " + flag + " flag");
        return Refuse(request, kErrorWriteProtect);
    }
    // Only the physics refuses: a written bad mark is data, which an erase clears.
    if (FactoryBad(block))
        return Refuse(request, kErrorGenFailure);
    return true;
}

void FlashDriver::Violation(const std::string &what)
{
    if (journal())
        journal()->Violation(Name(), what);
}

std::vector<std::string> FlashDriver::FlagsLeftOn() const
{
    std::vector<std::string> names;
    for (auto [on, name] :
         {std::pair{flags_.eboot, "EBoot"}, {flags_.toc, "TOC"}, {flags_.nk, "NK"}})
        if (on)
            names.push_back(name);
    return names;
}

void FlashDriver::ReportFlagsLeftOn()
{
    if (!journal())
        return;
    // Kind "flag": the runner reports a flag left on apart from a forbidden write.
    for (const std::string &name : FlagsLeftOn())
        journal()->Violation(Name(), "the " + name + " flag is still on when the shell returns",
                             "flag");
}

FlashDriver &DeviceFlash(Device &device)
{
    auto *flash = dynamic_cast<FlashDriver *>(device.InstalledDriver("DSK1:"));
    if (!flash)
        throw DeviceError(device.Folder().string() + ": the device has no flash driver");
    return *flash;
}

}  // namespace sim
