// The NK image's signature trailer and the boot-loader image's CRC side file: each row's log and
// result against tests/golden/osupdate_signature_NAME.log and osupdate_crc_NAME.log.
#include <zlib.h>

#include "common/qs_common.h"
#include "osupdate/image_check.h"
#include "platform/host/call_faults.h"
#include "tests/support/expect.h"
#include "tests/support/temp_device.h"

namespace image_check_test {

using nlohmann::json;
using qs_test::Lines;

const std::string kNk = "\\flashdisk\\K275D-Update\\R5nk_240315.bin";
const std::string kEboot = "\\flashdisk\\K275D-Update\\R5boot_240315.nb0";

// A file's value computed with zlib: each 32768-byte chunk is folded in with the register
// complemented on entry and left as it is on exit.
uint32_t ReferenceFileValue(const std::string &data)
{
    uint32_t value = 0;
    for (size_t at = 0; at < data.size(); at += 32768)
        value = ~uint32_t(crc32(value, reinterpret_cast<const Bytef *>(data.data() + at),
                                std::min<size_t>(32768, data.size() - at)));
    return value;
}

uint32_t StandardCrc(const std::string &data)
{
    return uint32_t(crc32(0, reinterpret_cast<const Bytef *>(data.data()), data.size()));
}

std::string Pattern(size_t size)
{
    std::vector<uint8_t> bytes = qs_test::PatternBytes(size, 0);
    return std::string(bytes.begin(), bytes.end());
}

// One check on a fresh device: its log, the row's outcome and nothing held afterwards. With
// heldOpen, the first file is open elsewhere for reading, sharing reads: the check, which shares
// nothing, cannot open it.
void ExpectCheck(const json &deviceJson,
                 const std::vector<std::pair<std::string, std::string>> &files, uint64_t failCall,
                 const std::function<DWORD()> &check, const std::string &golden,
                 bool heldOpen = false)
{
    qs_test::TempDevice device(deviceJson);
    ResetShellState();
    device.PutFolder("\\flashdisk\\K275D-Update");
    for (const auto &[path, content] : files)
        device.PutFile(path, content);
    DWORD result = 0;
    HANDLE reader = INVALID_HANDLE_VALUE;
    if (heldOpen) {
        std::u16string path = qs_test::U16(files[0].first);
        reader =
            CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(reader, INVALID_HANDLE_VALUE);
        device.device().Events().Clear();
    }
    {
        ce_host::ScopedFailingCall fault(qs_test::CallFromNow(failCall));
        result = check();
    }
    if (reader != INVALID_HANDLE_VALUE)
        CloseHandle(reader);
    Lines seen = qs_test::Transcript();
    seen.push_back("result " + std::to_string(result) + "\r\n");
    qs_test::ExpectGoldenLog(seen, golden);
    qs_test::ExpectNothingHeld();
}

TEST(Crc, AbcAndTheTable)
{
    EXPECT_EQ(CalcCRC(reinterpret_cast<const BYTE *>("abc"), 3, 0), 0xCADBBE3Du);
    EXPECT_EQ(CalcCRC(nullptr, 0, 0x12345678), ~0x12345678u);
    DWORD table[256];
    MakeCRCTable(table, 0xEDB88320);
    EXPECT_TRUE(std::equal(table, table + 256, get_crc_table()));
}

struct CrcRow {
    const char *name;
    std::optional<size_t> imageSize;  // none: no image
    // The side file from the image; none for no side file.
    std::function<std::optional<std::string>(const std::string &)> side;
    uint64_t failCall = 0;  // the check's k-th fallible call fails
    json deviceJson = json::object();
    bool heldOpen = false;
};

class CrcFile : public testing::TestWithParam<CrcRow> {};

TEST_P(CrcFile, LogAndResultAsGolden)
{
    const CrcRow &row = GetParam();
    std::vector<std::pair<std::string, std::string>> files;
    if (row.imageSize) {
        files.push_back({kEboot, Pattern(*row.imageSize)});
        if (std::optional<std::string> side = row.side(files[0].second))
            files.push_back({kEboot + ".crc", *side});
    }
    std::u16string path = qs_test::U16(kEboot);
    ExpectCheck(
        row.deviceJson, files, row.failCall, [&] { return CheckCRCFile(path.c_str()); },
        std::string("osupdate_crc_") + row.name, row.heldOpen);
}

std::optional<std::string> Right(const std::string &image)
{
    return qs_test::Words({ReferenceFileValue(image)});
}

INSTANTIATE_TEST_SUITE_P(
    Table, CrcFile,
    testing::Values(
        CrcRow{"FiveBytes", 5, Right}, CrcRow{"OneChunk", 32768, Right},
        CrcRow{"TwoChunks", 32769, Right}, CrcRow{"ManyChunks", 300001, Right},
        CrcRow{"RightWordThenMore", 40000, [](auto &i) { return *Right(i) + "trailing bytes"; }},
        CrcRow{"WordOneOff", 32769,
               [](auto &i) { return qs_test::Words({ReferenceFileValue(i) + 1}); }},
        CrcRow{"WordBigEndian", 1000,
               [](auto &i) { return qs_test::Words({__builtin_bswap32(ReferenceFileValue(i))}); }},
        // Past one chunk the value is not the complement of the file's standard CRC-32.
        CrcRow{"StandardCrcOfTwoChunks", 32769,
               [](auto &i) { return qs_test::Words({~StandardCrc(i)}); }},
        CrcRow{"EmptySideFile", 1000, [](auto &) { return std::string(); }},
        CrcRow{"NoSideFile", 1000, [](auto &) { return std::optional<std::string>(); }},
        CrcRow{"NoImage", std::nullopt, Right},
        // Tiny files are refused even with a matching side file: they cannot hold a boot loader.
        CrcRow{"EmptyImage", 0, Right}, CrcRow{"FourBytes", 4, Right},
        CrcRow{"NoMemoryForAChunk", 100, Right, 0, {{"heap", {{"limit_bytes", 16384}}}}},
        // Open, size, side file's open, chunk, then the reads.
        CrcRow{"SizeQueryFails", 1000, Right, 2}, CrcRow{"ImageReadFails", 40000, Right, 6},
        CrcRow{"SideFileReadFails", 1000, Right, 6},
        CrcRow{"ReadElsewhere", 1000, Right, 0, json::object(), true},
        // The file ends after its first chunk though its size says more: a read of 0 bytes.
        CrcRow{"ImageEndsEarly",
               40000,
               Right,
               0,
               {{"files", {{"short_reads", {{{"path", kEboot}, {"after_bytes", 32768}}}}}}}}),
    [](const auto &info) { return std::string(info.param.name); });

// The trailer: "QUOR" + any byte + "K275D" and five zeros + any byte + "000001" + any byte +
// "ENG" and a zero + three bytes, with the unread bytes nonzero so that each field's limit shows.
std::string Trailer(const std::string &company, const std::string &product)
{
    std::string trailer = company + "x" + product;
    trailer.resize(15, '\0');
    return trailer + "y000001zENG" + std::string(1, '\0') + "end";
}

struct SignatureRow {
    const char *name;
    std::optional<std::string> file;  // none: no file
    uint64_t failCall = 0;
    bool heldOpen = false;
};

class Signature : public testing::TestWithParam<SignatureRow> {};

TEST_P(Signature, LogAndResultAsGolden)
{
    const SignatureRow &row = GetParam();
    std::vector<std::pair<std::string, std::string>> files;
    if (row.file)
        files.push_back({kNk, *row.file});
    std::u16string path = qs_test::U16(kNk);
    ExpectCheck(
        json::object(), files, row.failCall, [&] { return CheckImageSignature(path.c_str()); },
        std::string("osupdate_signature_") + row.name, row.heldOpen);
}

const std::string kBin = "B000FF\n" + std::string(100, '\x11');

INSTANTIATE_TEST_SUITE_P(
    Table, Signature,
    testing::Values(SignatureRow{"Matching", kBin + Trailer("QUOR", "K275D")},
                    SignatureRow{"OnlyTheTrailer", Trailer("QUOR", "K275D")},
                    SignatureRow{"ProductWithTrailingSpaces", kBin + Trailer("QUOR", "K275D     ")},
                    SignatureRow{"BothWrong", kBin + Trailer("ACME", "X100")},
                    SignatureRow{"CompanyInSmallLetters", kBin + Trailer("quor", "K275D")},
                    SignatureRow{"TrailerNotAtTheEnd", kBin + Trailer("QUOR", "K275D") + "\n"},
                    SignatureRow{"TwentyNineBytes", Trailer("QUOR", "K275D").substr(1)},
                    SignatureRow{"Empty", ""}, SignatureRow{"NoFile", std::nullopt},
                    // Open, size, position, read.
                    SignatureRow{"SizeQueryFails", kBin + Trailer("QUOR", "K275D"), 2},
                    SignatureRow{"ReadFails", kBin + Trailer("QUOR", "K275D"), 4},
                    SignatureRow{"ReadElsewhere", kBin + Trailer("QUOR", "K275D"), 0, true}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace image_check_test
