// DSK1: through CreateFileW and DeviceIoControl: what the flash holds, refuses and journals, what
// lasts in nand.bin, what each operation costs on the virtual clock (flash.timing), and what a
// power cut at one of them, or its failure, leaves.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "platform/ce.h"
#include "platform/host/call_faults.h"
#include "sim/device.h"
#include "sim/error.h"
#include "sim/flash_driver.h"
#include "tests/support/expect.h"
#include "tests/support/flash_fixture.h"

namespace flash_test {
namespace {

using nlohmann::json;
using sim::FlashDriver;
using Record = std::vector<uint8_t>;

constexpr DWORD kOn = 0xACEC;
const json kTiming = {{"page_read_us", 25}, {"page_program_us", 200}, {"block_erase_us", 1500}};

class Flash : public qs_test::FlashTest {
protected:
    // Every byte of the record one value, the spare area too.
    static Record AllBytes(uint8_t value) { return Record(sim::kSectorRecordSize, value); }
    // Data bytes of one value, the spare area erased but for the two marks given.
    static Record Filled(uint8_t data, uint8_t oemFlags = 0xFF, uint8_t badMark = 0xFF)
    {
        Record record = AllBytes(0xFF);
        std::fill_n(record.begin(), sim::kSectorDataSize, data);
        record[sim::kOemFlagsOffset] = oemFlags;
        record[sim::kBadBlockMarkOffset] = badMark;
        return record;
    }
    // Every byte different from its neighbours, the spare area too.
    static Record Pattern(uint8_t seed)
    {
        Record record(sim::kSectorRecordSize);
        for (size_t i = 0; i < record.size(); ++i)
            record[i] = uint8_t(i * 7 + seed);
        return record;
    }

    // Eight blocks hold every region: 0-4 EBoot, 5 TOC, 6-7 NK.
    void Boot(json flash, bool inMemory = false)
    {
        flash["blocks"] = 8;
        OpenDevice({{"flash", flash}});
        if (inMemory) {
            Close();
            device().device().AddDriver(std::make_unique<FlashDriver>(
                device().device().Config().flash, sim::FlashArray::InMemory(8)));
            Reopen();
        }
    }
    void Reopen()
    {
        disk_ =
            CreateFileW(u"DSK1:", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(disk_, INVALID_HANDLE_VALUE);
    }

    bool Io(DWORD code, void *in, DWORD inSize, void *out = NULL, DWORD outSize = 0)
    {
        return DeviceIoControl(disk_, code, in, inSize, out, outSize, NULL, NULL);
    }
    bool Send(DWORD code, DWORD word) { return Io(code, &word, 4); }
    bool Read(Record &record)
    {
        record.resize(sim::kSectorRecordSize);
        return Io(FlashDriver::kReadSector, NULL, 0, record.data(), DWORD(record.size()));
    }
    bool Write(Record record)
    {
        return Io(FlashDriver::kWriteSector, record.data(), DWORD(record.size()));
    }
    bool WriteAt(DWORD sector, const Record &record)
    {
        return Send(FlashDriver::kSetSectorAddr, sector) && Write(record);
    }
    Record ReadAt(DWORD sector)
    {
        Record record;
        EXPECT_TRUE(Send(FlashDriver::kSetSectorAddr, sector) && Read(record)) << sector;
        return record;
    }
    bool Erase(DWORD block) { return Send(FlashDriver::kEraseBlock, block); }
    std::optional<DWORD> Status(DWORD block)
    {
        DWORD status = 0;
        return Io(FlashDriver::kGetBlockStatus, &block, 4, &status, 4) ? std::optional(status)
                                                                       : std::nullopt;
    }
    // The error a call left, 0 when it succeeded.
    DWORD ErrorOf(bool ok) { return ok ? 0 : GetLastError(); }
    FlashDriver &Driver() { return sim::DeviceFlash(device().device()); }
    uint64_t ElapsedUs() { return device().device().Clock().ElapsedUs(); }
};

class FlashStorage : public Flash, public testing::WithParamInterface<bool> {};

// A block's status comes from its first SectorInfo. A written bad mark is data: the block takes a
// program and an erase, which clears it with every other byte; only the factory-bad block 7
// refuses both and stays bad, in memory with its bytes erased. Programming only clears bits; a
// factory-fresh flash is erased but for the factory's marks.
TEST_P(FlashStorage, StatusComesFromTheSpareAreaAndProgrammingOnlyClearsBits)
{
    Boot({{"protect", false}, {"bad", {7}}}, GetParam());
    // Per block: the sector in it that takes the marks, bOemFlags, bBadBlockMark, the status.
    const std::array<uint32_t, 4> rows[] = {
        {0, 0xFF, 0xFF, 0}, {0, 0xFF, 0x00, 2},    {0, 0xFF, 0xFE, 2}, {0, 0xFD, 0xFF, 4},
        {0, 0xFE, 0xFF, 8}, {0, 0xFC, 0x00, 0x0E}, {1, 0xFC, 0x00, 0}, {0, 0xFF, 0xFF, 2}};
    for (uint32_t block = 0; block < 8; ++block) {
        SCOPED_TRACE(block);
        auto [at, oemFlags, badMark, status] = rows[block];
        bool factoryBad = block == 7;
        ASSERT_TRUE(factoryBad ||
                    WriteAt(block * 64 + at, Filled(0x00, uint8_t(oemFlags), uint8_t(badMark))));
        EXPECT_EQ(Status(block), status);
        Record before = RawBlock(block);
        DWORD refused = factoryBad ? ERROR_GEN_FAILURE : 0;
        EXPECT_EQ(ErrorOf(WriteAt(block * 64 + 9, Filled(0x5A))), refused);
        EXPECT_EQ(ErrorOf(Erase(block)), refused);
        EXPECT_EQ(RawBlock(block), factoryBad ? before : Record(64 * sim::kSectorRecordSize, 0xFF));
        EXPECT_EQ(Status(block), factoryBad ? FlashDriver::kStatusBad : 0u);
    }
    ASSERT_TRUE(WriteAt(9, Filled(0xF0, 0xFE)));
    ASSERT_TRUE(WriteAt(9, Filled(0x3C, 0xFD)));
    EXPECT_EQ(ReadAt(9), Filled(0x30, 0xFC));
    // A sector whose only programmed bit lies in its last byte is not erased either.
    Record lastByte = AllBytes(0xFF);
    lastByte.back() = 0xFE;
    ASSERT_TRUE(WriteAt(10, lastByte));
    ASSERT_TRUE(WriteAt(10, lastByte));
    std::vector<nlohmann::ordered_json> violations = device().EventsOf("violation");
    ASSERT_EQ(violations.size(), 2u) << "a written bad mark is data";
    EXPECT_EQ(violations[0]["what"], "write of sector 9 in block 0, which is not erased");
    EXPECT_EQ(violations[1]["what"], "write of sector 10 in block 0, which is not erased");

    ASSERT_TRUE(Send(FlashDriver::kSetNkFlag, kOn));
    Driver().MakeFactoryFresh();
    for (uint32_t sector = 0; sector < 8 * 64; ++sector)
        ASSERT_EQ(RawSector(sector), Filled(0xFF, 0xFF, sector == 448 ? 0x00 : 0xFF)) << sector;
    EXPECT_EQ(FlagsLeftOn(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(InMemoryAndInNandBin, FlashStorage, testing::Bool());

// Blocks 0-4 take an erase and a program only under the EBoot flag, 5 only under TOC and 6 on only
// under NK; the word 0 closes them again. The golden file gives each try and then every violation
// journaled, the flags left on last. The flags live for one boot; nand.bin lasts.
TEST_F(Flash, RegionsOpenOnlyUnderTheirFlagsForOneBootWhileNandBinLasts)
{
    Boot({{"bad", {2}}});
    std::filesystem::path nand = device().folder() / "nand.bin";
    auto fileBytes = [&](size_t offset, size_t size) {
        std::string all = sim::ReadWholeFile(nand);
        return Record(all.begin() + offset, all.begin() + offset + size);
    };
    EXPECT_FALSE(std::filesystem::exists(nand)) << "made on first use, not when the device opens";
    EXPECT_EQ(Status(2), FlashDriver::kStatusBad);
    EXPECT_EQ(fileBytes(2 * 64 * 2056 + 2048, 8), (Record{255, 255, 255, 255, 255, 0, 255, 255}));
    qs_test::Lines tries;
    for (DWORD block : {0u, 4u, 5u, 6u, 7u})
        for (DWORD sector = block * 64 + 3;
             DWORD code :
             {0u, FlashDriver::kSetEbootFlag, FlashDriver::kSetTocFlag, FlashDriver::kSetNkFlag}) {
            bool flagged = code && Send(code, kOn);
            DWORD erase = ErrorOf(Erase(block)), write = ErrorOf(WriteAt(sector, Filled(0x00)));
            DWORD read = ReadAt(sector)[0];
            DWORD closed = ErrorOf(flagged ? Send(code, 0) && Erase(block) : Erase(block));
            tries.push_back("block " + std::to_string(block) + " under " +
                            (code ? Driver().CodeName(code) : "no flag") + ": erase " +
                            std::to_string(erase) + ", program " + std::to_string(write) +
                            ", sector " + std::to_string(sector++) + " reads " +
                            qs_test::Hex(read) + ", erase after word 0 " + std::to_string(closed) +
                            "\r\n");
        }
    // Only 0xACEC sets a flag: another word is refused with 87 and leaves it as it was. The flags
    // still on are told in their own order.
    EXPECT_EQ(ErrorOf(Send(FlashDriver::kSetNkFlag, 7u)), 87u);
    EXPECT_EQ(ErrorOf(Send(FlashDriver::kSetEbootFlag, 1u)), 87u);
    EXPECT_EQ(FlagsLeftOn(), std::vector<std::string>{});
    for (auto [code, word] : {std::pair{FlashDriver::kSetNkFlag, kOn},
                              {FlashDriver::kSetTocFlag, kOn},
                              {FlashDriver::kSetEbootFlag, kOn},
                              {FlashDriver::kSetTocFlag, 0u}})
        ASSERT_TRUE(Send(code, word));
    auto reported = [&] {
        Driver().ReportFlagsLeftOn();
        qs_test::Lines texts;
        for (const auto &event : device().EventsOf("violation"))
            texts.push_back(event["device"].get<std::string>() + " " +
                            event.value("kind", "write") + ": " + event["what"].get<std::string>() +
                            "\r\n");
        return texts;
    };
    qs_test::ExpectGoldenLog(qs_test::Join({tries, reported()}), "sim_flash_regions");

    Close();
    device().Reload();
    Reopen();
    EXPECT_EQ(reported(), qs_test::Lines{});
    json state = json::parse(sim::ReadWholeFile(device().folder() / "state.json"));
    EXPECT_FALSE(state.contains("flash")) << state.dump();
    EXPECT_EQ(ErrorOf(Erase(1)), sim::kErrorWriteProtect);
    EXPECT_EQ(ErrorOf(Erase(6)), sim::kErrorWriteProtect);
    EXPECT_EQ(ReadAt(6 * 64 + 6), Filled(0x00));
    EXPECT_EQ(fileBytes((6 * 64 + 6) * 2056, 2056), Filled(0x00));

    // A nand.bin of another size than the description's is refused at once, naming both.
    Close();
    sim::WriteFileAtomically(device().folder() / "device.json", R"({"flash": {"blocks": 16}})");
    try {
        sim::Device::Open(device().folder());
        ADD_FAILURE() << "a nand.bin of 8 blocks opened as 16";
    } catch (const sim::DeviceError &e) {
        EXPECT_EQ(e.what(),
                  nand.string() + ": 1052672 bytes, but flash.blocks 16 needs 2105344 bytes");
    }
}

// One device with faults on disjoint places: the first erase of any block by its code, the second
// of block 3, every write in block 1, the first of sector 129, every read of sector 2, the third
// in block 4, every status of block 4, and the second read of sector 3 with a byte changed.
TEST_F(Flash, FaultsRefusalsAndTransfersAsTheDriverAnswersThem)
{
    Boot({{"protect", false}, {"eboot_update", 7}, {"faults", json::parse(R"([
        {"code": "IOCTL_FMD_ERASE_BLOCK", "nth": 1}, {"op": "erase", "block": 3, "nth": 2},
        {"op": "write", "block": 1}, {"op": "write", "sector": 129, "nth": 1},
        {"op": "read", "sector": 2}, {"op": "read", "block": 4, "nth": 3},
        {"op": "status", "block": 4},
        {"op": "corrupt", "sector": 3, "offset": 2050, "nth": 2}])")}});
    ASSERT_TRUE(WriteAt(3, Pattern(5)));
    // clang-format off
    const std::pair<std::string, std::vector<DWORD>> calls[] = {
        {"erase", {2, 2, 3, 3, 3}}, {"write", {63, 64, 127, 128, 129, 130, 129}},
        {"read", {1, 2, 3, 256, 257, 258, 320}}, {"status", {4, 5, 4}}};
    // clang-format on
    std::string results;
    for (const auto &[op, targets] : calls) {
        results += results.empty() ? "" : " ";
        for (DWORD target : targets) {
            Record record = Filled(0xA5);
            bool ok = op == "erase"    ? Erase(target)
                      : op == "status" ? Status(target).has_value()
                      : op == "write"  ? WriteAt(target, record)
                                       : Send(FlashDriver::kSetSectorAddr, target) && Read(record);
            results += ok ? "1" : "0";
            if (!ok && (op == "read" || op == "write")) {
                EXPECT_EQ(device().EventsOf("ioctl").back()["first"], target) << "journaled";
            }
        }
    }
    EXPECT_EQ(results, "01101 1001011 1011101 010");
    Record corrupted = Pattern(5);
    corrupted[2050] ^= 0xFF;
    EXPECT_EQ((std::vector<Record>{ReadAt(3), ReadAt(3)}),
              (std::vector<Record>{corrupted, Pattern(5)}));
    EXPECT_EQ(RawSector(3), Pattern(5));

    // Wrong sizes, places beyond the flash, an unknown code.
    const std::array<DWORD, 5> refusals[] = {
        // code, in size, out size, the word in, error
        {FlashDriver::kSetSectorAddr, 3, 0, 0, 87},  {FlashDriver::kSetSectorAddr, 4, 0, 512, 87},
        {FlashDriver::kReadSector, 0, 2055, 0, 87},  {FlashDriver::kReadSector, 4, 2056, 0, 87},
        {FlashDriver::kWriteSector, 2055, 0, 0, 87}, {FlashDriver::kWriteSector, 2057, 0, 0, 87},
        {FlashDriver::kEraseBlock, 0, 0, 0, 87},     {FlashDriver::kEraseBlock, 4, 0, 8, 87},
        {FlashDriver::kGetBlockStatus, 4, 3, 0, 87}, {FlashDriver::kGetBlockStatus, 4, 4, 8, 87},
        {FlashDriver::kGetEbootUpdate, 0, 2, 0, 87}, {FlashDriver::kGetEbootUpdate, 4, 4, 0, 87},
        {FlashDriver::kSetNkFlag, 2, 0, 0, 87},      {0x71FF4, 4, 4, 0, 50}};
    std::vector<uint8_t> in(4096, 0), out(4096, 0xEE);
    for (const auto &[code, inSize, outSize, word, error] : refusals) {
        std::memcpy(in.data(), &word, 4);
        EXPECT_EQ(ErrorOf(Io(code, inSize ? in.data() : NULL, inSize, outSize ? out.data() : NULL,
                             outSize)),
                  error)
            << std::hex << code << std::dec << " in " << inSize << " out " << outSize;
    }
    // An output larger than the answer keeps its other bytes.
    DWORD returned = 0;
    ASSERT_TRUE(
        DeviceIoControl(disk_, FlashDriver::kGetEbootUpdate, 0, 0, out.data(), 8, &returned, 0));
    EXPECT_EQ(Record(out.begin(), out.begin() + returned + 1), (Record{7, 0, 0, 0, 0xEE}));

    // Transfers move the address on, across a block's end, and merge in the journal.
    size_t before = Calls().size();
    ASSERT_TRUE(Send(FlashDriver::kSetSectorAddr, 446));
    for (uint8_t seed = 1; seed <= 3; ++seed)
        ASSERT_TRUE(Write(Pattern(seed)));
    ASSERT_TRUE(Send(FlashDriver::kSetSectorAddr, 446));
    std::vector<Record> reads(4);
    for (Record &record : reads)
        ASSERT_TRUE(Read(record));
    EXPECT_EQ(reads, (std::vector<Record>{Pattern(1), Pattern(2), Pattern(3), Filled(0xFF)}));
    std::vector<std::string> journaled = Calls();
    EXPECT_EQ(std::vector<std::string>(journaled.begin() + before, journaled.end()),
              (std::vector<std::string>{
                  "IOCTL_FMD_SET_SECTOR_ADDR in=be010000", "IOCTL_FMD_WRITE_SECTOR 446+3",
                  "IOCTL_FMD_SET_SECTOR_ADDR in=be010000", "IOCTL_FMD_READ_SECTOR 446+4"}));
    // The last sector is readable; past it the address goes nowhere.
    ASSERT_TRUE(Send(FlashDriver::kSetSectorAddr, 8 * 64 - 1));
    EXPECT_TRUE(Read(reads[0]));
    EXPECT_EQ(ErrorOf(Read(reads[0])), DWORD(ERROR_INVALID_PARAMETER));

    // Without flash.timing the flash takes no time, but its work is counted.
    const sim::FlashUsage &usage = Driver().Usage();
    EXPECT_FALSE(usage.timed);
    EXPECT_EQ((std::vector<uint64_t>{usage.erases, usage.programs, usage.reads, usage.timeUs}),
              (std::vector<uint64_t>{3, 8, 12, 0}));
    EXPECT_EQ(ElapsedUs(), 0u);
}

// Block 7 holds old data, each sector filled with its number, and sector 385 0xF0 in every byte.
// The power goes at the second operation after that, the erase of block 7 or the program of 385;
// a torn erase sets only the first 32 sectors, a torn program clears only its even bytes. Each
// operation that reaches the flash moves the clock by its figure and is recorded with the flash
// time before it, reads included; a refused one, a status query and an address cost nothing and
// are no operation the power can cut.
struct CutCase {
    const char *name;
    bool erase;
    const char *outcome;
    uint64_t us;  // the flash time of the operation before the cut and of the cut one
};

class PowerCut : public Flash, public testing::WithParamInterface<CutCase> {};

TEST_P(PowerCut, LeavesTheOperationNotDoneCompletedOrTornAsTheBootsLastEvent)
{
    const CutCase &c = GetParam();
    constexpr uint32_t kProgrammed = 6 * 64 + 1;
    std::optional<sim::PowerCutOutcome> outcome = sim::ParsePowerCutOutcome(c.outcome);
    ASSERT_TRUE(outcome.has_value());
    Boot({{"bad", {3}}, {"timing", kTiming}, {"faults", {{{"op", "write"}, {"sector", 386}}}}});
    ASSERT_TRUE(Send(FlashDriver::kSetEbootFlag, kOn) && Send(FlashDriver::kSetNkFlag, kOn));
    for (uint32_t sector = 0; sector < 64; ++sector)
        ASSERT_TRUE(WriteAt(7 * 64 + sector, AllBytes(uint8_t(sector))));
    ASSERT_TRUE(WriteAt(kProgrammed, AllBytes(0xF0)));
    ReadAt(kProgrammed);
    EXPECT_TRUE(Status(3).has_value());
    EXPECT_EQ(ErrorOf(Erase(3)), DWORD(ERROR_GEN_FAILURE)) << "factory-bad";
    EXPECT_EQ(ErrorOf(Erase(5)), sim::kErrorWriteProtect) << "no TOC flag";
    EXPECT_FALSE(WriteAt(386, Pattern(5))) << "faulted";
    const sim::FlashUsage &usage = Driver().Usage();
    EXPECT_TRUE(usage.timed);
    EXPECT_EQ((std::vector<uint64_t>{usage.erases, usage.programs, usage.reads, usage.timeUs}),
              (std::vector<uint64_t>{0, 65, 1, 65 * 200 + 25}));
    // The journal and the calendar count whole milliseconds of the same clock.
    Sleep(10);
    EXPECT_EQ(device().EventsOf("sleep").back()["t"], 13);
    EXPECT_EQ(ElapsedUs(), 23025u);

    Driver().CutPowerAt(67, *outcome);
    ASSERT_TRUE(WriteAt(6 * 64, Pattern(9)));
    std::string what = std::string("the power was cut at flash operation 67, ") + c.outcome +
                       (c.erase ? " erase of block 7" : " program of sector 385 in block 6");
    try {
        c.erase ? Erase(7) : WriteAt(kProgrammed, Pattern(1));
        ADD_FAILURE() << "the power stayed on";
    } catch (const sim::PowerCut &cut) {
        EXPECT_EQ(cut.what(), what);
    }
    EXPECT_EQ(ElapsedUs(), 23025 + c.us);
    const std::vector<sim::FlashOperation> &operations = Driver().Operations();
    ASSERT_EQ(operations.size(), 67u);
    EXPECT_EQ(operations[65].startUs, 13025u) << "the flash time, reads included, sleeps not";
    EXPECT_EQ(operations[66].startUs, 13225u);
    EXPECT_EQ(operations[66].durationUs, c.erase ? 1500u : 200u);
    auto last = device().device().Events().Events().back();
    EXPECT_EQ(last.dump(),
              R"({"seq":)" + last["seq"].dump() + R"(,"t":)" + last["t"].dump() +
                  R"(,"event":"power_cut","operation":67,"op":)" +
                  (c.erase ? R"("erase","block":7,)" : R"("program","block":6,"sector":385,)") +
                  R"("outcome":")" + c.outcome + "\"}");

    EXPECT_EQ(RawSector(6 * 64), Pattern(9)) << "the operation before the cut is whole";
    bool done = *outcome == sim::PowerCutOutcome::Completed;
    bool torn = *outcome == sim::PowerCutOutcome::Torn;
    for (uint32_t sector = 0; sector < 64; ++sector) {
        bool erased = c.erase && (done || (torn && sector < 32));
        EXPECT_EQ(RawSector(7 * 64 + sector), AllBytes(erased ? 0xFF : sector)) << sector;
    }
    Record programmed = AllBytes(0xF0), pattern = Pattern(1);
    for (size_t i = 0; i < programmed.size(); ++i)
        if (!c.erase && (done || (torn && i % 2 == 0)))
            programmed[i] &= pattern[i];
    EXPECT_EQ(RawSector(kProgrammed), programmed);

    // Saved as a stopped boot is saved: nand.bin holds every block as the cut left it.
    device().device().Save();
    const std::string file = sim::ReadWholeFile(device().folder() / "nand.bin");
    for (uint32_t block = 0; block < 8; ++block) {
        std::vector<uint8_t> bytes = RawBlock(block);
        EXPECT_EQ(file.substr(block * sim::kBlockRecordSize, sim::kBlockRecordSize),
                  std::string(bytes.begin(), bytes.end()))
            << block;
    }
}

// A failed erase of block 7, which holds old data (each sector's bytes its number), or a failed
// program of sector 384, the first of the erased block 6, by a device.json fault or by the call
// failing at the platform. Untouched, the flash is as it was; torn, as a torn power cut leaves it:
// the erase sets only the first 32 sectors, the program clears only its even-numbered bytes, which
// the block's status shows through the first SectorInfo, in half the operation's time. Where the
// driver would have refused the change (no flag, a factory-bad block) nothing tears. The call
// fails with 31 either way.
struct FailedCase {
    const char *name;
    bool erase;
    const char *fault;  // device.json's; none: the call fails at the platform
    bool torn;          // asked for
    // "no flag": the NK flag is off; "bad": block 7 is factory-bad; "short": the record given
    // the write is a byte short
    const char *setUp;
    uint32_t status;        // of the block afterwards
    const char *tornEvent;  // the driver's fault event; empty when nothing tore
};

class FailedChange : public Flash, public testing::WithParamInterface<FailedCase> {};

TEST_P(FailedChange, LeavesTheFlashUntouchedOrTornAsAPowerCutTearsIt)
{
    const FailedCase &c = GetParam();
    const bool byCall = std::string(c.fault).empty();
    json faults = byCall ? json::array() : json::array({json::parse(c.fault)});
    Boot({{"bad", c.setUp == std::string("bad") ? json{7} : json::array()},
          {"timing", kTiming},
          {"faults", faults}});
    ASSERT_TRUE(Send(FlashDriver::kSetNkFlag, kOn));
    for (uint32_t sector = 0; c.setUp != std::string("bad") && sector < 64; ++sector)
        ASSERT_TRUE(WriteAt(7 * 64 + sector, AllBytes(uint8_t(sector))));
    if (c.setUp == std::string("no flag")) {
        ASSERT_TRUE(Send(FlashDriver::kSetNkFlag, 0));
    }
    const uint32_t first = c.erase ? 7 * 64 : 6 * 64, later = first + (c.erase ? 40 : 1);
    const Record firstBefore = RawSector(first), laterBefore = RawSector(later);
    device().device().Events().Clear();
    const uint64_t usBefore = ElapsedUs();

    std::optional<uint64_t> n;
    if (byCall)
        n = ce_host::FallibleCalls().size() + (c.erase ? 1 : 2);
    {
        ce_host::ScopedFailingCall fault(n, {.torn = c.torn});
        Record record = Pattern(1);
        record.resize(c.setUp == std::string("short") ? record.size() - 1 : record.size());
        bool ok = c.erase ? Erase(7) : WriteAt(first, record);
        EXPECT_EQ(ErrorOf(ok), DWORD(ERROR_GEN_FAILURE));
    }

    const bool tore = *c.tornEvent != '\0';
    Record firstAfter = firstBefore;
    for (size_t i = 0; tore && i < firstAfter.size(); ++i)
        firstAfter[i] = c.erase ? 0xFF : i % 2 ? firstBefore[i] : Pattern(1)[i];
    EXPECT_EQ(RawSector(first), firstAfter);
    EXPECT_EQ(RawSector(later), laterBefore);
    EXPECT_EQ(Status(first / 64), c.status);
    EXPECT_EQ(ElapsedUs() - usBefore, tore ? (c.erase ? 750u : 100u) : 0u);
    std::vector<std::string> journaled;
    for (const auto &event : device().EventsOf("fault"))
        journaled.push_back(event["device"].get<std::string>() + " " +
                            event["what"].get<std::string>());
    std::vector<std::string> expected;
    if (byCall)
        expected.push_back("calls DeviceIoControl #" + std::to_string(*n));
    if (tore)
        expected.push_back(std::string("DSK1: ") + c.tornEvent);
    EXPECT_EQ(journaled, expected);
}

const char kTornErase[] = "erase of block 7 failed torn: its first 32 sectors erased";
const char kTornProgram[] =
    "program of sector 384 in block 6 failed torn: its even-numbered bytes programmed";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, FailedChange,
    testing::Values(
        FailedCase{"EraseUntouched", true, R"({"op": "erase", "block": 7})", false, "", 0x0E, ""},
        FailedCase{"EraseTorn", true, R"({"op": "erase", "block": 7, "leaves": "torn"})", true, "", 0, kTornErase},
        FailedCase{"EraseTornByCode", true, R"({"code": "IOCTL_FMD_ERASE_BLOCK", "leaves": "torn"})", true, "", 0, kTornErase},
        FailedCase{"EraseUntouchedByCall", true, "", false, "", 0x0E, ""},
        FailedCase{"EraseTornByCall", true, "", true, "", 0, kTornErase},
        FailedCase{"EraseTornByCallWithoutTheFlag", true, "", true, "no flag", 0x0E, ""},
        FailedCase{"EraseTornOfAFactoryBadBlock", true, R"({"op": "erase", "leaves": "torn"})", true, "bad", 0x02, ""},
        FailedCase{"ProgramUntouched", false, R"({"op": "write", "sector": 384, "leaves": "untouched"})", false, "", 0, ""},
        FailedCase{"ProgramTorn", false, R"({"op": "write", "block": 6, "leaves": "torn"})", true, "", 0x04, kTornProgram},
        FailedCase{"ProgramTornByCode", false, R"({"code": "IOCTL_FMD_WRITE_SECTOR", "nth": 65, "leaves": "torn"})", true, "", 0x04, kTornProgram},
        FailedCase{"ProgramUntouchedByCall", false, "", false, "", 0, ""},
        FailedCase{"ProgramTornByCall", false, "", true, "", 0x04, kTornProgram},
        FailedCase{"ProgramTornByCallOfAShortRecord", false, "", true, "short", 0, ""}),
    [](const auto &info) { return std::string(info.param.name); });
// clang-format on

// A boot killed before its end leaves nand.bin as it was: the flash is written back only when
// the device is saved. A write-back killed at any of its steps, or stopped by a full disk,
// leaves the whole old flash; once the new file is renamed over it, the whole new one.
TEST_F(Flash, AKilledBootOrWriteBackLeavesTheOldFlashOrTheNew)
{
    Boot({{"protect", false}});
    RawSector(0);  // lays nand.bin down
    const std::filesystem::path nand = device().folder() / "nand.bin";
    const std::string before = sim::ReadWholeFile(nand);
    const auto restore = [&] { std::ofstream(nand, std::ios::binary) << before; };
    const auto change = [this] {
        return Erase(1) && Erase(3) && WriteAt(5 * 64, Pattern(1)) && Erase(6) &&
               WriteAt(7 * 64 + 9, Pattern(3));
    };
    // In a child: changes five blocks, then dies as `end` says, or saves at the end.
    const auto run = [&](const std::function<void()> &end) {
        pid_t child = fork();
        if (child == 0) {
            if (!change())
                _exit(3);
            end();
            Driver().Flush();
            _exit(0);
        }
        int status = 0;
        EXPECT_EQ(waitpid(child, &status, 0), child);
        return status;
    };
    const auto killAt = [](uint32_t at) {
        sim::SetWriteBackHook([at](uint32_t step) {
            if (step == at)
                kill(getpid(), SIGKILL);
        });
    };

    int status = run([] { kill(getpid(), SIGKILL); });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the flash refused";
    EXPECT_TRUE(sim::ReadWholeFile(nand) == before);

    ASSERT_EQ(run([] {}), 0);
    const std::string after = sim::ReadWholeFile(nand);
    ASSERT_NE(after, before);
    for (uint32_t step = 0; step <= 6; ++step) {
        restore();
        status = run([&] { killAt(step); });
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "step " << step;
        EXPECT_TRUE(sim::ReadWholeFile(nand) == (step < 6 ? before : after)) << "step " << step;
    }

    // A disk with room for less than a copy of the flash: the write-back fails with one line and
    // takes its copy away.
    restore();
    status = run([&] {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{before.size() / 2, before.size() / 2};
        setrlimit(RLIMIT_FSIZE, &limit);
        try {
            Driver().Flush();
        } catch (const sim::DeviceError &error) {
            std::string line = error.what();
            _exit(line.find("nand.bin.tmp: cannot be written") != line.npos ? 4 : 5);
        }
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 4) << status;
    EXPECT_TRUE(sim::ReadWholeFile(nand) == before);
    EXPECT_FALSE(std::filesystem::exists(device().folder() / "nand.bin.tmp"));
}

INSTANTIATE_TEST_SUITE_P(Table, PowerCut,
                         testing::Values(CutCase{"EraseNotDone", true, "not-done", 200},
                                         CutCase{"EraseCompleted", true, "completed", 1700},
                                         CutCase{"EraseTorn", true, "torn", 950},
                                         CutCase{"ProgramNotDone", false, "not-done", 200},
                                         CutCase{"ProgramCompleted", false, "completed", 400},
                                         CutCase{"ProgramTorn", false, "torn", 300}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace flash_test
