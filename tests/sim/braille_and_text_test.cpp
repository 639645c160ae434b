// The braille display as the shell reaches it: lines in, cells and their dots in the journal; and
// the device's UTF-16 count of host text, and code points written as UTF-8.
#include <gtest/gtest.h>

#include <array>

#include "platform/ce.h"
#include "sim/unicode.h"
#include "tests/support/temp_device.h"

namespace braille_and_text_test {
namespace {

using nlohmann::json;
using Line = std::array<uint8_t, 32>;

HANDLE OpenDisplay()
{
    return CreateFileW(u"BRL1:", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
}

std::string Blanks(size_t cells)
{
    std::string text;
    while (cells--)
        text += "\u2800";
    return text;
}

// Bits 3, 2, 1 are dots 1, 2, 3 and bits 7, 6, 5 dots 4, 5, 6; bits 0 and 4 show as dots 7 and 8.
// The second line falls to the fault on the second write; a refused call shows nothing.
TEST(BrailleDisplay, JournalsEachLineAsCellsAndDotsButNotAFailedOrRefusedOne)
{
    qs_test::TempDevice device(
        json{{"braille", {{"faults", {{{"code", "BRL_IOCTL_WRITE_LINE"}, {"nth", 2}}}}}}});
    HANDLE h = OpenDisplay();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Line dots{0x08, 0x04, 0x02, 0x80, 0x40, 0x20, 0x01, 0x10, 0xFF}, faulted{0x0C}, last{};
    last[31] = 0x08;
    std::vector<BOOL> results;
    for (Line *line : {&dots, &faulted, &last})
        results.push_back(DeviceIoControl(h, 4, line->data(), 32, NULL, 0, NULL, NULL));
    EXPECT_EQ(results, (std::vector<BOOL>{TRUE, FALSE, TRUE}));

    // Another code; a line short, long or missing; an output buffer: code, sizes in and out, error.
    const std::array<DWORD, 4> refusals[] = {
        {5, 32, 0, 50}, {4, 31, 0, 87}, {4, 33, 0, 87}, {4, 0, 0, 87}, {4, 32, 4, 87}};
    std::array<uint8_t, 64> in{0x08};
    Line out{};
    for (auto [code, inSize, outSize, error] : refusals) {
        SetLastError(0);
        EXPECT_FALSE(DeviceIoControl(h, code, in.data(), inSize, outSize ? out.data() : NULL,
                                     outSize, NULL, NULL));
        EXPECT_EQ(GetLastError(), error) << code << " in " << inSize << " out " << outSize;
    }
    CloseHandle(h);

    std::vector<std::string> journaled;
    for (const auto &event : device.EventsOf("braille"))
        journaled.push_back(event["cells"].get<std::string>() + " " +
                            event["text"].get<std::string>());
    EXPECT_EQ(journaled,
              (std::vector<std::string>{
                  "0804028040200110ff" + std::string(46, '0') +
                      " \u2801\u2802\u2804\u2808\u2810\u2820\u2840\u2880\u28FF" + Blanks(23),
                  std::string(62, '0') + "08 " + Blanks(31) + "\u2801"}));
}

TEST(Utf16Units, CountsEachCodePointAsTheDeviceStoresItOrRefusesWhatIsNotUtf8)
{
    // Two units beyond the 16-bit plane; overlong, surrogate, cut short, stray continuation and
    // beyond Unicode are no UTF-8.
    // clang-format off
    const std::pair<const char *, size_t> counts[] = {
        {"", 0}, {"Part00", 6}, {"\xC3\xA9", 1}, {"\xE2\xA0\x8F", 1}, {"a\xF0\x9F\x98\x80", 3},
        {"\xF4\x8F\xBF\xBF", 2}};
    // clang-format on
    for (auto [utf8, units] : counts)
        EXPECT_EQ(sim::Utf16Units(utf8), units) << utf8;
    for (const char *utf8 : {"\xC0\x80", "\xED\xA0\x80", "a\xE2\xA0", "\x80", "\xF4\x90\x80\x80"})
        EXPECT_EQ(sim::Utf16Units(utf8), std::nullopt) << utf8;

    std::string text;
    for (char32_t code : {U'A', U'\u00E9', U'\u280F', U'\U0001F600', U'\U0010FFFF'})
        sim::AppendUtf8(text, code);
    EXPECT_EQ(text, "A\xC3\xA9\xE2\xA0\x8F\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF");
}

}  // namespace
}  // namespace braille_and_text_test
