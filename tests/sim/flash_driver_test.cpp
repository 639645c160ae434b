// DSK1: through CreateFileW and DeviceIoControl: what the flash holds, what is refused, what is
// journaled, and what lasts in the device folder.
#include <array>
#include <cstring>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "platform/ce.h"
#include "sim/error.h"
#include "sim/flash_driver.h"
#include "tests/sim/flash_fixture.h"
#include "tests/support/temp_device.h"

namespace {

using nlohmann::json;
using sim::FlashDriver;
using namespace flash_fixture;

struct StatusCase {
    const char *name;
    uint32_t sectorInBlock;  // where the SectorInfo is written
    uint8_t oemFlags, badMark;
    bool factoryBad;
    bool inMemory;  // in memory a factory-bad block's bytes stay erased: only flash.bad knows
    DWORD status;
};

class FlashStatus : public Flash, public testing::WithParamInterface<StatusCase> {
protected:
    std::vector<Record> Block(uint32_t block)
    {
        std::vector<Record> records;
        for (uint32_t n = 0; n < 64; ++n)
            records.push_back(Copy(Driver().Flash().Sector(block * 64 + n)));
        return records;
    }
};

// A written bad mark is data: the block reports bad, yet takes a program and an erase, which
// clears the mark with every other byte. Only a factory-bad block refuses both and stays bad.
TEST_P(FlashStatus, ComesFromTheFirstSectorWhileOnlyAFactoryBadBlockRefusesChanges)
{
    const StatusCase &c = GetParam();
    Boot({{"protect", false}, {"bad", c.factoryBad ? json{2} : json::array()}}, c.inMemory);
    if (!c.factoryBad) {
        ASSERT_TRUE(WriteAt(2 * 64 + c.sectorInBlock, Filled(0x00, c.oemFlags, c.badMark)));
    }
    EXPECT_EQ(Status(2), c.status);
    std::vector<Record> before = Block(2);

    EXPECT_EQ(WriteAt(2 * 64 + 9, Filled(0x5A)), !c.factoryBad);
    if (c.factoryBad) {
        EXPECT_EQ(GetLastError(), DWORD(ERROR_GEN_FAILURE));
    }
    EXPECT_EQ(Erase(2), !c.factoryBad);
    if (c.factoryBad) {
        EXPECT_EQ(GetLastError(), DWORD(ERROR_GEN_FAILURE));
        EXPECT_EQ(Block(2), before);
        EXPECT_EQ(Status(2), FlashDriver::kStatusBad);
    } else {
        EXPECT_EQ(Block(2), std::vector<Record>(64, Filled(0xFF)));
        EXPECT_EQ(Status(2), 0u);
    }
    EXPECT_TRUE(Violations().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, FlashStatus,
    testing::Values(StatusCase{"Erased", 0, 0xFF, 0xFF, false, true, 0},
                    StatusCase{"WrittenBadMark", 0, 0xFF, 0x00, false, true, 0x02},
                    StatusCase{"WrittenBadMarkInNandBin", 0, 0xFF, 0x00, false, false, 0x02},
                    StatusCase{"AnyBadMarkButFF", 0, 0xFF, 0xFE, false, true, 0x02},
                    StatusCase{"ReadOnlyBitClear", 0, 0xFD, 0xFF, false, true, 0x04},
                    StatusCase{"ReservedBitClear", 0, 0xFE, 0xFF, false, true, 0x08},
                    StatusCase{"AllThree", 0, 0xFC, 0x00, false, true, 0x0E},
                    StatusCase{"MarksOutsideTheFirstSector", 1, 0xFC, 0x00, false, true, 0},
                    StatusCase{"FactoryBadWithItsMarkCleared", 0, 0xFF, 0xFF, true, true, 0x02},
                    StatusCase{"FactoryBadInNandBin", 0, 0xFF, 0xFF, true, false, 0x02}),
    [](const auto &info) { return std::string(info.param.name); });

class FlashProtection : public Flash,
                        public testing::WithParamInterface<std::tuple<DWORD, DWORD>> {};

TEST_P(FlashProtection, OpensEachRegionOnlyUnderItsFlag)
{
    auto [block, flagCode] = GetParam();
    DWORD needed = block < 5    ? FlashDriver::kSetEbootFlag
                   : block == 5 ? FlashDriver::kSetTocFlag
                                : FlashDriver::kSetNkFlag;
    bool allowed = flagCode == needed;
    Boot();
    if (flagCode) {
        ASSERT_TRUE(Send(flagCode, kOn));
    }

    EXPECT_EQ(Erase(block), allowed);
    EXPECT_EQ(WriteAt(block * 64 + 3, Filled(0x00)), allowed);
    if (!allowed) {
        EXPECT_EQ(GetLastError(), DWORD(sim::kErrorWriteProtect));
    }
    EXPECT_EQ(ReadAt(block * 64 + 3), allowed ? Filled(0x00) : Filled(0xFF));
    std::vector<std::string> violations = Violations();
    ASSERT_EQ(violations.size(), allowed ? 0u : 2u);
    if (!allowed) {
        EXPECT_NE(violations[0].find("erase of block " + std::to_string(block)), std::string::npos);
        EXPECT_NE(violations[1].find("sector " + std::to_string(block * 64 + 3)),
                  std::string::npos);
    }
    // The word 0 closes the region again.
    if (flagCode) {
        ASSERT_TRUE(Send(flagCode, 0));
    }
    EXPECT_FALSE(Erase(block));
}

INSTANTIATE_TEST_SUITE_P(Table, FlashProtection,
                         testing::Combine(testing::Values(0u, 4u, 5u, 6u, 7u),
                                          testing::Values(0u, FlashDriver::kSetEbootFlag,
                                                          FlashDriver::kSetTocFlag,
                                                          FlashDriver::kSetNkFlag)));

class FlashProgramming : public Flash, public testing::WithParamInterface<bool> {};

TEST_P(FlashProgramming, OnlyClearsBitsAndReportsASectorThatWasNotErased)
{
    Boot({{"protect", false}}, GetParam());
    ASSERT_TRUE(WriteAt(9, Filled(0xF0, 0xFE)));
    EXPECT_TRUE(Violations().empty());
    ASSERT_TRUE(WriteAt(9, Filled(0x3C, 0xFD)));
    EXPECT_EQ(ReadAt(9), Filled(0x30, 0xFC));
    std::vector<std::string> violations = Violations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_NE(violations[0].find("sector 9 "), std::string::npos) << violations[0];

    ASSERT_TRUE(Erase(0));
    EXPECT_EQ(ReadAt(9), Filled(0xFF));
}

TEST_P(FlashProgramming, FactoryFreshErasesAllButTheBadMarksAndClearsTheFlags)
{
    Boot({{"protect", false}, {"bad", {3}}}, GetParam());
    ASSERT_TRUE(WriteAt(10, Filled(0x00)));
    ASSERT_TRUE(WriteAt(4 * 64 + 1, Filled(0x00)));
    ASSERT_TRUE(Send(FlashDriver::kSetNkFlag, kOn));

    Driver().MakeFactoryFresh();
    const sim::FlashArray &flash = Driver().Flash();
    for (uint32_t sector = 0; sector < flash.Sectors(); ++sector)
        EXPECT_EQ(Copy(flash.Sector(sector)) == Filled(0xFF), sector != 192) << sector;
    EXPECT_EQ(Copy(flash.Sector(192)), Filled(0xFF, 0xFF, 0x00));
    EXPECT_FALSE(Driver().Flags().nk);
}

INSTANTIATE_TEST_SUITE_P(InMemoryAndInNandBin, FlashProgramming, testing::Bool());

TEST_F(Flash, TransfersMoveTheAddressOnAndMergeInTheJournal)
{
    Boot({{"protect", false}});
    ASSERT_TRUE(Send(FlashDriver::kSetSectorAddr, 62));
    for (uint8_t seed = 1; seed <= 3; ++seed)  // across the end of block 0
        ASSERT_TRUE(Write(Pattern(seed)));
    ASSERT_TRUE(Send(FlashDriver::kSetSectorAddr, 62));
    Record record;
    for (uint8_t seed = 1; seed <= 3; ++seed) {
        ASSERT_TRUE(Read(record));
        EXPECT_EQ(record, Pattern(seed));
    }
    ASSERT_TRUE(Read(record));
    EXPECT_EQ(record, Filled(0xFF));

    auto ioctls = dev_->EventsOf("ioctl");
    ASSERT_EQ(ioctls.size(), 4u);
    EXPECT_EQ(ioctls[0]["in"], "3e000000");
    EXPECT_EQ(ioctls[1]["name"], "IOCTL_FMD_WRITE_SECTOR");
    EXPECT_EQ(ioctls[1]["first"], 62);
    EXPECT_EQ(ioctls[1]["count"], 3);
    EXPECT_EQ(ioctls[3]["name"], "IOCTL_FMD_READ_SECTOR");
    EXPECT_EQ(ioctls[3]["count"], 4);

    // The last sector is readable; past it the address goes nowhere.
    ASSERT_TRUE(Send(FlashDriver::kSetSectorAddr, 8 * 64 - 1));
    EXPECT_TRUE(Read(record));
    EXPECT_FALSE(Read(record));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(Flash, CorruptFaultChangesOneByteOfTheNthRead)
{
    Boot(
        {{"protect", false},
         {"faults", json::parse(R"([{"op": "corrupt", "sector": 3, "offset": 2050, "nth": 2}])")}});
    ASSERT_TRUE(WriteAt(3, Pattern(5)));
    std::vector<Record> reads = {ReadAt(3), ReadAt(3), ReadAt(3)};
    Record expected = Pattern(5);
    EXPECT_EQ(reads[0], expected);
    EXPECT_EQ(reads[2], expected);
    expected[2050] ^= 0xFF;
    EXPECT_EQ(reads[1], expected);
    EXPECT_EQ(Copy(Driver().Flash().Sector(3)), Pattern(5));
}

struct FaultCase {
    const char *name;
    const char *faults;
    const char *op;
    std::vector<DWORD> targets;  // a block or a sector, one call each
    std::vector<bool> results;
};

class FlashOpFaults : public Flash, public testing::WithParamInterface<FaultCase> {};

TEST_P(FlashOpFaults, FailTheMatchingOperation)
{
    const FaultCase &c = GetParam();
    Boot({{"protect", false}, {"faults", json::parse(c.faults)}});
    std::string op = c.op;
    std::vector<bool> results;
    for (DWORD target : c.targets) {
        Record record = Filled(0xA5);
        bool ok = op == "erase"    ? Erase(target)
                  : op == "status" ? Status(target).has_value()
                  : op == "write"  ? WriteAt(target, record)
                                   : Send(FlashDriver::kSetSectorAddr, target) && Read(record);
        results.push_back(ok);
        if (!ok && (op == "read" || op == "write")) {
            // A failed transfer is journaled with its sector.
            EXPECT_EQ(dev_->EventsOf("ioctl").back()["first"], target);
        }
    }
    EXPECT_EQ(results, c.results);
}

INSTANTIATE_TEST_SUITE_P(Table, FlashOpFaults,
                         testing::Values(FaultCase{"EraseNth",
                                                   R"([{"op": "erase", "block": 3, "nth": 2}])",
                                                   "erase",
                                                   {3, 3, 3},
                                                   {true, false, true}},
                                         FaultCase{
                                             "EraseByCodeName",
                                             R"([{"code": "IOCTL_FMD_ERASE_BLOCK", "nth": 1}])",
                                             "erase",
                                             {2, 2},
                                             {false, true}},
                                         FaultCase{"WriteAnySectorOfABlock",
                                                   R"([{"op": "write", "block": 1}])",
                                                   "write",
                                                   {63, 64, 127, 128},
                                                   {true, false, false, true}},
                                         FaultCase{"WriteOneSectorOnce",
                                                   R"([{"op": "write", "sector": 65, "nth": 1}])",
                                                   "write",
                                                   {65, 66, 65},
                                                   {false, true, true}},
                                         FaultCase{"ReadOneSector",
                                                   R"([{"op": "read", "sector": 2}])",
                                                   "read",
                                                   {1, 2, 3},
                                                   {true, false, true}},
                                         FaultCase{"ReadNthInABlock",
                                                   R"([{"op": "read", "block": 0, "nth": 3}])",
                                                   "read",
                                                   {0, 1, 2, 64},
                                                   {true, true, false, true}},
                                         FaultCase{"Status",
                                                   R"([{"op": "status", "block": 4}])",
                                                   "status",
                                                   {4, 5, 4},
                                                   {false, true, false}}),
                         [](const auto &info) { return std::string(info.param.name); });

struct RefusalCase {
    const char *name;
    DWORD code;
    DWORD inSize, outSize;
    DWORD word;  // the first four input bytes
    DWORD error;
};

class FlashRefusals : public Flash, public testing::WithParamInterface<RefusalCase> {};

TEST_P(FlashRefusals, LeaveTheirErrorCode)
{
    const RefusalCase &c = GetParam();
    Boot({{"protect", false}});
    std::vector<uint8_t> in(4096, 0), out(4096, 0);
    std::memcpy(in.data(), &c.word, 4);
    EXPECT_FALSE(DeviceIoControl(handle_, c.code, c.inSize ? in.data() : NULL, c.inSize,
                                 c.outSize ? out.data() : NULL, c.outSize, NULL, NULL));
    EXPECT_EQ(GetLastError(), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FlashRefusals,
    testing::Values(RefusalCase{"AddressShortWord", FlashDriver::kSetSectorAddr, 3, 0, 0, 87},
                    RefusalCase{"AddressBeyondFlash", FlashDriver::kSetSectorAddr, 4, 0, 512, 87},
                    RefusalCase{"ReadShortRecord", FlashDriver::kReadSector, 0, 2055, 0, 87},
                    RefusalCase{"ReadWithInput", FlashDriver::kReadSector, 4, 2056, 0, 87},
                    RefusalCase{"WriteShortRecord", FlashDriver::kWriteSector, 2055, 0, 0, 87},
                    RefusalCase{"WriteLongRecord", FlashDriver::kWriteSector, 2057, 0, 0, 87},
                    RefusalCase{"EraseWithoutBlock", FlashDriver::kEraseBlock, 0, 0, 0, 87},
                    RefusalCase{"EraseBeyondFlash", FlashDriver::kEraseBlock, 4, 0, 8, 87},
                    RefusalCase{"StatusShortOutput", FlashDriver::kGetBlockStatus, 4, 3, 0, 87},
                    RefusalCase{"StatusBeyondFlash", FlashDriver::kGetBlockStatus, 4, 4, 8, 87},
                    RefusalCase{"EbootUpdateShortOutput", FlashDriver::kGetEbootUpdate, 0, 2, 0,
                                87},
                    RefusalCase{"FlagShortWord", FlashDriver::kSetNkFlag, 2, 0, 0, 87},
                    RefusalCase{"UnknownCode", 0x71FF4, 4, 4, 0, 50}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Flash, AnswersTheEbootUpdateWordAndFillsLargerOutputs)
{
    Boot({{"eboot_update", 7}});
    std::vector<uint8_t> out(4096, 0xEE);
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(handle_, FlashDriver::kGetEbootUpdate, NULL, 0, out.data(), 8,
                                &returned, NULL));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 5),
              (std::vector<uint8_t>{7, 0, 0, 0, 0xEE}));
    ASSERT_TRUE(Send(FlashDriver::kSetSectorAddr, 0));
    ASSERT_TRUE(DeviceIoControl(handle_, FlashDriver::kReadSector, NULL, 0, out.data(), 4096,
                                &returned, NULL));
    EXPECT_EQ(returned, 2056u);
}

std::vector<uint8_t> FileBytes(const std::filesystem::path &file, size_t offset, size_t size)
{
    std::ifstream in(file, std::ios::binary);
    in.seekg(std::streamoff(offset));
    std::vector<uint8_t> bytes(size);
    in.read(reinterpret_cast<char *>(bytes.data()), std::streamsize(size));
    return bytes;
}

TEST_F(Flash, NandBinLastsAcrossABootAndTheFlagsDoNot)
{
    Boot({{"bad", {7}}});
    std::filesystem::path nand = dev_->folder() / "nand.bin";
    EXPECT_FALSE(std::filesystem::exists(nand));  // made on first use, not when the device opens
    EXPECT_EQ(Status(7), FlashDriver::kStatusBad);
    EXPECT_EQ(std::filesystem::file_size(nand), 8u * 64 * 2056);
    EXPECT_EQ(FileBytes(nand, 7 * 64 * 2056 + 2048, 8),
              (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xFF, 0xFF}));

    ASSERT_TRUE(Send(FlashDriver::kSetEbootFlag, kOn));
    ASSERT_TRUE(Send(FlashDriver::kSetNkFlag, kOn));
    ASSERT_TRUE(WriteAt(70, Pattern(9)));
    CloseHandle(handle_);
    dev_->Reload();
    Open();

    json state = json::parse(sim::ReadWholeFile(dev_->folder() / "state.json"));
    EXPECT_FALSE(state.contains("flash")) << state.dump();
    EXPECT_TRUE(Driver().FlagsLeftOn().empty());
    // Both regions are closed again: the boot before left its flags behind with it.
    EXPECT_FALSE(Erase(1));
    EXPECT_FALSE(Erase(6));
    EXPECT_EQ(GetLastError(), DWORD(sim::kErrorWriteProtect));
    EXPECT_EQ(ReadAt(70), Pattern(9));
    Record pattern = Pattern(9);
    EXPECT_EQ(FileBytes(nand, 70 * 2056, 2056),
              std::vector<uint8_t>(pattern.begin(), pattern.end()));
}

struct FlagsCase {
    const char *name;
    std::vector<std::pair<DWORD, DWORD>> sends;  // code, word
    std::vector<std::string> leftOn;
};

class FlashFlagsLeftOn : public Flash, public testing::WithParamInterface<FlagsCase> {};

TEST_P(FlashFlagsLeftOn, AreEachAViolationAndGoneAfterAReboot)
{
    const FlagsCase &c = GetParam();
    Boot();
    for (auto [code, word] : c.sends)
        ASSERT_TRUE(Send(code, word));
    EXPECT_EQ(Driver().FlagsLeftOn(), c.leftOn);

    Driver().ReportFlagsLeftOn();
    auto violations = dev_->EventsOf("violation");
    ASSERT_EQ(violations.size(), c.leftOn.size());
    for (size_t i = 0; i < c.leftOn.size(); ++i) {
        EXPECT_EQ(violations[i]["device"], "DSK1:");
        EXPECT_EQ(violations[i]["what"],
                  "the " + c.leftOn[i] + " flag is still on when the shell returns");
        EXPECT_EQ(violations[i]["kind"], "flag");
    }

    CloseHandle(handle_);
    dev_->Reload();
    Open();
    EXPECT_TRUE(Driver().FlagsLeftOn().empty());
    Driver().ReportFlagsLeftOn();
    EXPECT_TRUE(dev_->EventsOf("violation").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, FlashFlagsLeftOn,
    testing::Values(FlagsCase{"NoneSent", {}, {}},
                    FlagsCase{"EachOnThenOff",
                              {{FlashDriver::kSetEbootFlag, kOn},
                               {FlashDriver::kSetTocFlag, kOn},
                               {FlashDriver::kSetNkFlag, kOn},
                               {FlashDriver::kSetNkFlag, 0},
                               {FlashDriver::kSetTocFlag, 0},
                               {FlashDriver::kSetEbootFlag, 0}},
                              {}},
                    FlagsCase{"NkOnly", {{FlashDriver::kSetNkFlag, kOn}}, {"NK"}},
                    FlagsCase{"AnyWordButZeroIsOn", {{FlashDriver::kSetTocFlag, 7}}, {"TOC"}},
                    FlagsCase{"AllThreeInTheirOwnOrder",
                              {{FlashDriver::kSetNkFlag, kOn},
                               {FlashDriver::kSetTocFlag, kOn},
                               {FlashDriver::kSetEbootFlag, kOn}},
                              {"EBoot", "TOC", "NK"}},
                    FlagsCase{"TocClosedOthersLeft",
                              {{FlashDriver::kSetEbootFlag, kOn},
                               {FlashDriver::kSetTocFlag, kOn},
                               {FlashDriver::kSetTocFlag, 0},
                               {FlashDriver::kSetNkFlag, 1}},
                              {"EBoot", "NK"}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(FlashFile, OfTheWrongSizeIsRefusedNamingBothSizes)
{
    qs_test::TempDevice dev(json{{"flash", {{"blocks", 8}}}});
    sim::DeviceFlash(dev.device()).Flash();  // creates nand.bin
    sim::WriteFileAtomically(dev.folder() / "device.json", R"({"flash": {"blocks": 16}})");
    try {
        sim::Device::Open(dev.folder());
        FAIL() << "a nand.bin of 8 blocks opened as 16";
    } catch (const sim::DeviceError &e) {
        std::string message = e.what();
        for (const char *part : {"nand.bin", "1052672 bytes", "flash.blocks 16", "2105344 bytes"})
            EXPECT_NE(message.find(part), std::string::npos) << message;
    }
}

}  // namespace
