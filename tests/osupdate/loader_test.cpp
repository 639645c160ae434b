// Loading the NK image's .BIN records into the RAM image buffer: each row's log, result, launch
// address and buffer against tests/golden/osupdate_loader_NAME.log.
#include <cstring>

#include "osupdate/OSUPDATE.h"
#include "osupdate/image_loader.h"
#include "platform/host/call_faults.h"
#include "tests/support/expect.h"
#include "tests/support/temp_device.h"

namespace loader_test {

using qs_test::Lines;
using qs_test::Words;

const std::string kImage = "\\flashdisk\\K275D-Update\\R5nk_240315.bin";
// What the buffer holds before a load: neither erased flash nor zero.
constexpr uint8_t kOld = 0xA5;
constexpr uint32_t kBase = 0x80020000;
constexpr uint32_t kEnd = 0x82B00000;  // first address past the buffer

std::string Header(uint32_t start, uint32_t length)
{
    return "B000FF\n" + Words({start, length});
}

const std::string kTerminator = Words({0, 0x80021000, 0});

struct Row {
    const char *name;
    std::optional<std::string> file;  // none: no file
    uint64_t failCall = 0;            // the loader's k-th fallible call fails
};

void PrintTo(const Row &row, std::ostream *os)
{
    *os << row.name;
}

class Loader : public testing::TestWithParam<Row> {
protected:
    static void SetUpTestSuite() { buffer_ = new std::vector<uint8_t>(RAM_IMAGE_BUFFER_SIZE); }
    static void TearDownTestSuite() { delete buffer_; }

    // The buffer as runs of one byte value, "OFFSET: VALUE xCOUNT", "old" for what it held.
    static Lines Runs()
    {
        Lines runs;
        for (size_t at = 0, end = 0; at < buffer_->size(); at = end) {
            end = qs_test::RunEnd(*buffer_, at);
            runs.push_back("buffer 0x" + qs_test::Hex(at) + ": " +
                           ((*buffer_)[at] == kOld ? "old" : qs_test::Hex((*buffer_)[at])) + " x" +
                           qs_test::Hex(end - at) + "\r\n");
        }
        return runs;
    }

    static std::vector<uint8_t> *buffer_;
};

std::vector<uint8_t> *Loader::buffer_ = nullptr;

TEST_P(Loader, LogResultAndBufferAsGolden)
{
    const Row &row = GetParam();
    qs_test::TempDevice device;
    ResetShellState();
    std::memset(buffer_->data(), kOld, buffer_->size());
    PathCopy(g_ImagePath, std::u16string(kImage.begin(), kImage.end()).c_str());
    device.PutFolder("\\flashdisk\\K275D-Update");
    if (row.file)
        device.PutFile(kImage, *row.file);
    DWORD result = 0;
    {
        ce_host::ScopedFailingCall fault(qs_test::CallFromNow(row.failCall));
        result = LoadOSImage(buffer_->data());
    }
    Lines seen = qs_test::Transcript();
    seen.push_back("result " + std::to_string(result) + " launch 0x" + qs_test::Hex(g_LaunchAddr) +
                   "\r\n");
    qs_test::ExpectGoldenLog(qs_test::Join({seen, Runs()}),
                             std::string("osupdate_loader_") + row.name);
    qs_test::ExpectNothingHeld();
}

// A record's data cut 0x1000A bytes into its second 128 KiB piece: a failing read that delivered
// those bytes shows that each read asks for exactly 128 KiB.
const std::string kLongRecord = Header(kBase, 0x4B000) + Words({kBase, 0x4B000, 0x4B000 * 2}) +
                                std::string(0x20000 + 0x1000A, '\x02');

INSTANTIATE_TEST_SUITE_P(
    Table, Loader,
    testing::Values(
        Row{"NoFile", std::nullopt},
        Row{"SignatureReadFails", Header(kBase, 0) + kTerminator, 2},  // open, read
        Row{"CarriageReturnInSignature", "B000FF\r" + Words({kBase, 0}) + kTerminator},
        // Every byte of the signature shown in its place: no two neighbours alike.
        Row{"OtherSignature", "B001FE\n" + Words({kBase, 0}) + kTerminator},
        Row{"ShorterThanSignature", "B000"},
        Row{"HeaderCut", "B000FF\n" + Words({kBase}).substr(0, 2)},
        Row{"NoRecordHeader", Header(kBase, 0)},
        Row{"OnlyTerminator", Header(kBase, 0) + kTerminator},
        // The image's span that no record covers reads as erased flash.
        Row{"ThreeBytes", Header(kBase, 8) + Words({kBase, 3, 6}) + "\x01\x02\x03" + kTerminator},
        // The trailer behind the terminating record is not read.
        Row{"ThreeBytesAndATrailer", Header(kBase, 8) + Words({kBase, 3, 6}) + "\x01\x02\x03" +
                                         kTerminator + std::string("QUOR\0K275D", 10) +
                                         std::string(20, 'T')},
        // The fill covers ImageLen bytes from the buffer's start, wherever the image starts.
        Row{"StartAboveTheBase",
            Header(kBase + 0x10, 4) + Words({kBase + 0x10, 2, 0x10}) + "\x08\x08" + kTerminator},
        Row{"EmptyRecord", Header(kBase, 0) + Words({kBase + 16, 0, 0}) + kTerminator},
        Row{"LastByteOfTheBuffer",
            Header(0x82AFFFFF, 0) + Words({0x82AFFFFF, 1, 0x7F}) + "\x7F" + kTerminator},
        // An image longer than the buffer fills the buffer and no further.
        Row{"ImageLengthBeyondTheBuffer", Header(kBase, 0xFFFFFFFF) + kTerminator},
        Row{"AddressZeroIsNoEnd",
            Header(kBase, 0) + Words({0, 5, 5}) + std::string(5, '\x01') + kTerminator},
        Row{"BelowTheBuffer",
            Header(kBase, 0) + Words({kBase - 1, 2, 2}) + "\x01\x01" + kTerminator},
        Row{"PastTheBuffer", Header(kBase, 0) + Words({kEnd - 1, 2, 2}) + "\x01\x01" + kTerminator},
        Row{"LengthWrapsTheAddress",
            Header(kBase, 0) + Words({kBase + 16, 0xFFFFFFF0, 0}) + kTerminator},
        // A later record is not read once one fails its sum.
        Row{"ChecksumOneOff", Header(kBase, 0) + Words({kBase, 3, 7}) + "\x01\x02\x03" +
                                  Words({kBase + 3, 1, 1}) + "\x01" + kTerminator},
        Row{"BytesSummedUnsigned",
            Header(kBase, 0) + Words({kBase, 3, 0x2FD}) + "\xFF\xFF\xFF" + kTerminator},
        Row{"CutInsideRecordData",
            Header(kBase, 0) + Words({kBase, 8, 8}) + std::string(5, '\x01')},
        Row{"CutInsideRecordHeader", Header(kBase, 0) + Words({kBase, 8})},
        Row{"CutBeforeNextRecord",
            Header(kBase, 0) + Words({kBase, 1, 9}) + "\x09" + Words({0}).substr(0, 3)},
        Row{"LongRecordReadIn128KiBPieces", kLongRecord}),
    [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

}  // namespace loader_test
