// The NK image's signature trailer and the boot-loader image's CRC side file.
#include <zlib.h>

#include "devkit/bin_image.h"
#include "osupdate/image_check.h"
#include "platform/host/host.h"
#include "tests/support/temp_device.h"

namespace image_check_test {

using nlohmann::json;
using qs_test::TempDevice;

const std::string kNk = "\\flashdisk\\K275D-Update\\R5nk_240315.bin";
const std::string kEboot = "\\flashdisk\\K275D-Update\\R5boot_240315.nb0";

std::u16string Wide(const std::string &text)
{
    return std::u16string(text.begin(), text.end());
}

std::string Hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%X", value);
    return text;
}

std::string LittleEndian(uint32_t word)
{
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<char>(word >> shift));
    return bytes;
}

// A file's value computed with zlib: each 32768-byte chunk is folded in with the register
// complemented on entry and left as it is on exit.
uint32_t ReferenceFileValue(const std::string &data)
{
    uint32_t value = 0;
    for (size_t at = 0; at < data.size(); at += 32768) {
        size_t n = std::min<size_t>(32768, data.size() - at);
        value = ~static_cast<uint32_t>(
            crc32(value, reinterpret_cast<const Bytef *>(data.data() + at), n));
    }
    return value;
}

std::string Pattern(size_t size)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
    return data;
}

class ImageCheck : public testing::Test {
protected:
    void MakeDevice(const json &deviceJson = json::object())
    {
        device_.reset();
        device_ = std::make_unique<TempDevice>(deviceJson);
        ResetShellState();
    }

    void ExpectNothingHeld()
    {
        EXPECT_EQ(ce_host::Held().handles, 0u);
        EXPECT_EQ(ce_host::Held().heapBlocks, 0u);
    }

    std::unique_ptr<TempDevice> device_;
};

TEST(Crc, AbcAndTheTable)
{
    EXPECT_EQ(CalcCRC(reinterpret_cast<const BYTE *>("abc"), 3, 0), 0xCADBBE3Du);
    EXPECT_EQ(CalcCRC(nullptr, 0, 0x12345678), ~0x12345678u);

    DWORD table[256];
    MakeCRCTable(table, 0xEDB88320);
    const z_crc_t *reference = get_crc_table();
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(table[i], reference[i]) << i;
}

struct CrcCase {
    const char *name;
    size_t imageSize;
    // The side file's content from the right value; nullopt for no side file.
    std::function<std::optional<std::string>(uint32_t)> side;
    bool passes;
};

class CrcFile : public ImageCheck, public testing::WithParamInterface<CrcCase> {};

TEST_P(CrcFile, ComparesTheChunkedValueWithTheSideFile)
{
    MakeDevice();
    std::string image = Pattern(GetParam().imageSize);
    uint32_t value = ReferenceFileValue(image);
    device_->PutFile(kEboot, image);
    std::optional<std::string> side = GetParam().side(value);
    if (side)
        device_->PutFile(kEboot + ".crc", *side);

    EXPECT_EQ(CheckCRCFile(Wide(kEboot).c_str()), GetParam().passes ? 1u : 0u);

    std::string line;
    if (!side)
        line = "CheckCRCFile: CreateFile " + kEboot + ".crc fail \r\n";
    else if (GetParam().passes)
        line = "CheckCRCFile: Check CRC of " + kEboot + " success \r\n";
    else {
        uint32_t read = 0;
        memcpy(&read, side->data(), std::min<size_t>(4, side->size()));
        line =
            "CheckCRCFile: CRC is not match. CAL: " + Hex(value) + " READ: " + Hex(read) + " \r\n";
    }
    EXPECT_EQ(device_->LogEntries(), std::vector<std::string>{line});
    ExpectNothingHeld();
}

INSTANTIATE_TEST_SUITE_P(
    Table, CrcFile,
    testing::Values(
        CrcCase{"FiveBytes", 5, [](uint32_t v) { return LittleEndian(v); }, true},
        CrcCase{"OneChunk", 32768, [](uint32_t v) { return LittleEndian(v); }, true},
        CrcCase{"TwoChunks", 32769, [](uint32_t v) { return LittleEndian(v); }, true},
        CrcCase{"ManyChunks", 300001, [](uint32_t v) { return LittleEndian(v); }, true},
        CrcCase{"RightWordThenMore", 40000,
                [](uint32_t v) { return LittleEndian(v) + "trailing bytes"; }, true},
        CrcCase{"WordOneOff", 32769, [](uint32_t v) { return LittleEndian(v + 1); }, false},
        CrcCase{"WordBigEndian", 1000,
                [](uint32_t v) { return LittleEndian(__builtin_bswap32(v)); }, false},
        CrcCase{"EmptySideFile", 1000, [](uint32_t) { return std::string(); }, false},
        CrcCase{"NoSideFile", 1000, [](uint32_t) { return std::optional<std::string>(); }, false}),
    [](const auto &info) { return std::string(info.param.name); });

// Past one chunk the value is not the complement of the file's standard CRC-32.
TEST_F(ImageCheck, StandardCrcOfALongFileFails)
{
    MakeDevice();
    std::string image = Pattern(32769);
    uint32_t standard =
        ~static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef *>(image.data()), 32769));
    ASSERT_NE(standard, ReferenceFileValue(image));
    device_->PutFile(kEboot, image);
    device_->PutFile(kEboot + ".crc", LittleEndian(standard));

    EXPECT_EQ(CheckCRCFile(Wide(kEboot).c_str()), 0u);
    EXPECT_EQ(device_->LogEntries(),
              std::vector<std::string>{
                  "CheckCRCFile: CRC is not match. CAL: " + Hex(ReferenceFileValue(image)) +
                  " READ: " + Hex(standard) + " \r\n"});
}

struct CrcRefusal {
    const char *name;
    std::optional<std::string> image;
    json deviceJson;
    std::string line;
};

class CrcRefused : public ImageCheck, public testing::WithParamInterface<CrcRefusal> {};

// Tiny files are refused even with a matching side file: they cannot hold a boot loader.
TEST_P(CrcRefused, LogsWhyAndReleasesEverything)
{
    MakeDevice(GetParam().deviceJson);
    if (GetParam().image) {
        device_->PutFile(kEboot, *GetParam().image);
        device_->PutFile(kEboot + ".crc", LittleEndian(ReferenceFileValue(*GetParam().image)));
    }

    EXPECT_EQ(CheckCRCFile(Wide(kEboot).c_str()), 0u);
    EXPECT_EQ(device_->LogEntries(), std::vector<std::string>{GetParam().line});
    ExpectNothingHeld();
}

INSTANTIATE_TEST_SUITE_P(
    Table, CrcRefused,
    testing::Values(CrcRefusal{"NoImage", std::nullopt, json::object(),
                               "CheckCRCFile: CreateFile " + kEboot + " fail r\n"},
                    CrcRefusal{"EmptyImage", "", json::object(),
                               "CheckCRCFile: " + kEboot + " is too small. size:0 \r\n"},
                    CrcRefusal{"FourBytes", "\x01\x02\x03\x04", json::object(),
                               "CheckCRCFile: " + kEboot + " is too small. size:4 \r\n"},
                    CrcRefusal{"NoMemoryForAChunk", Pattern(100),
                               json{{"heap", {{"limit_bytes", 16384}}}},
                               "CheckCRCFile: LocalAlloc fail \r\n"}),
    [](const auto &info) { return std::string(info.param.name); });

// The trailer: "QUOR" + any byte + "K275D" and five zeros + any byte + "000001" + any byte +
// "ENG" and a zero + three bytes, with the unread bytes nonzero so that each field's limit shows.
std::string Trailer(const std::string &company, const std::string &product)
{
    std::string trailer = company + "x" + product;
    trailer.resize(15, '\0');
    trailer += "y000001zENG";
    trailer.push_back('\0');
    trailer += "end";
    return trailer;
}

struct SignatureCase {
    const char *name;
    std::string file;
    std::vector<std::string> lines;  // between the entry and exit lines
    DWORD result;
};

class Signature : public ImageCheck, public testing::WithParamInterface<SignatureCase> {};

TEST_P(Signature, ReadsTheLastThirtyBytes)
{
    MakeDevice();
    device_->PutFile(kNk, GetParam().file);

    EXPECT_EQ(CheckImageSignature(Wide(kNk).c_str()), GetParam().result);

    std::vector<std::string> expected = {"OSUPDATE: CheckImageSignature ++ " + kNk + " \r\n"};
    expected.insert(expected.end(), GetParam().lines.begin(), GetParam().lines.end());
    expected.push_back("OSUPDATE: CheckImageSignature -- " + kNk + " \r\n");
    EXPECT_EQ(device_->LogEntries(), expected);
    ExpectNothingHeld();
}

const std::string kFields = "OSUPDATE: CheckImageSignature Company:";
const std::string kBin = "B000FF\n" + std::string(100, '\x11');

INSTANTIATE_TEST_SUITE_P(
    Table, Signature,
    testing::Values(
        SignatureCase{"Matching",
                      kBin + Trailer("QUOR", "K275D"),
                      {kFields + "QUOR Product:K275D Version:000001 Language:ENG \r\n",
                       "OSUPDATE: CheckImageSignature Company and Product signature is matched. "
                       "Company: QUOR Product: K275D \r\n"},
                      1},
        SignatureCase{"OnlyTheTrailer",
                      Trailer("QUOR", "K275D"),
                      {kFields + "QUOR Product:K275D Version:000001 Language:ENG \r\n",
                       "OSUPDATE: CheckImageSignature Company and Product signature is matched. "
                       "Company: QUOR Product: K275D \r\n"},
                      1},
        SignatureCase{"ProductWithTrailingSpaces",
                      kBin + Trailer("QUOR", "K275D     "),
                      {kFields + "QUOR Product:K275D      Version:000001 Language:ENG \r\n",
                       "OSUPDATE: CheckImageSignature Product Signature is not match. exp:K275D "
                       "real:K275D      \r\n"},
                      0},
        SignatureCase{"BothWrong",
                      kBin + Trailer("ACME", "X100"),
                      {kFields + "ACME Product:X100 Version:000001 Language:ENG \r\n",
                       "OSUPDATE: CheckImageSignature Company Signature is not match. exp:QUOR "
                       "real:ACME \r\n"},
                      0},
        SignatureCase{"CompanyInSmallLetters",
                      kBin + Trailer("quor", "K275D"),
                      {kFields + "quor Product:K275D Version:000001 Language:ENG \r\n",
                       "OSUPDATE: CheckImageSignature Company Signature is not match. exp:QUOR "
                       "real:quor \r\n"},
                      0},
        SignatureCase{"TrailerNotAtTheEnd",
                      kBin + Trailer("QUOR", "K275D") + "\n",
                      {kFields + "UORx Product:275D Version:00001z Language:NG \r\n",
                       "OSUPDATE: CheckImageSignature Company Signature is not match. exp:QUOR "
                       "real:UORx \r\n"},
                      0},
        SignatureCase{"TwentyNineBytes",
                      Trailer("QUOR", "K275D").substr(1),
                      {"OSUPDATE: CheckImageSignature Image file is too small. size:29 \r\n"},
                      0},
        SignatureCase{"Empty",
                      "",
                      {"OSUPDATE: CheckImageSignature Image file is too small. size:0 \r\n"},
                      0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ImageCheck, MissingImageCannotBeOpened)
{
    MakeDevice();

    EXPECT_EQ(CheckImageSignature(Wide(kNk).c_str()), 0u);
    EXPECT_EQ(device_->LogEntries(),
              (std::vector<std::string>{"OSUPDATE: CheckImageSignature ++ " + kNk + " \r\n",
                                        "OSUPDATE: CheckImageSignature Open file handle fail \r\n",
                                        "OSUPDATE: CheckImageSignature -- " + kNk + " \r\n"}));
    ExpectNothingHeld();
}

// The kit's images carry a trailer the check accepts, and its fields as given.
TEST_F(ImageCheck, KitImageCarriesItsTrailer)
{
    MakeDevice();
    devkit::BinImageLayout layout;
    layout.image = std::vector<uint8_t>(5000, 0x5A);
    layout.trailer = devkit::BinTrailer{"QUOR", "K275D", "240315", "KOR"};
    std::vector<uint8_t> bytes = devkit::EncodeBinImage(layout);
    device_->PutFile(kNk, std::string(bytes.begin(), bytes.end()));

    EXPECT_EQ(CheckImageSignature(Wide(kNk).c_str()), 1u);
    EXPECT_EQ(device_->LogEntries().at(1),
              kFields + "QUOR Product:K275D Version:240315 Language:KOR \r\n");
}

}  // namespace image_check_test
