// The braille display as the shell reaches it: lines in, cells and their dots in the journal.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ce.h"
#include "platform/host/host.h"
#include "sim/braille_display.h"
#include "tests/support/temp_device.h"

namespace {

using nlohmann::json;

using Line = std::array<uint8_t, 32>;

HANDLE OpenDisplay()
{
    return CreateFileW(u"BRL1:", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
}

Line LineOf(std::initializer_list<uint8_t> leading)
{
    Line line{};
    std::copy(leading.begin(), leading.end(), line.begin());
    return line;
}

// 32 cells as text: the leading patterns given, the rest blank (U+2800).
std::string TextOf(const std::string &leading, size_t leadingCells)
{
    std::string text = leading;
    for (size_t i = leadingCells; i < 32; ++i)
        text += "\u2800";
    return text;
}

std::string HexOf(const std::string &leading, size_t leadingCells)
{
    return leading + std::string((32 - leadingCells) * 2, '0');
}

struct LineCase {
    const char *name;
    Line line;
    std::string cellsHex;
    std::string text;
};

class BrailleLines : public testing::TestWithParam<LineCase> {};

TEST_P(BrailleLines, LineIsJournaledAsCellsAndDotsAndKept)
{
    const LineCase &c = GetParam();
    qs_test::TempDevice device;
    HANDLE h = OpenDisplay();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(
        DeviceIoControl(h, 4, const_cast<uint8_t *>(c.line.data()), 32, NULL, 0, NULL, NULL));
    CloseHandle(h);

    auto events = device.EventsOf("braille");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["cells"], c.cellsHex);
    EXPECT_EQ(events[0]["text"], c.text);
    auto *display = dynamic_cast<sim::BrailleDisplay *>(device.device().FindDriver("BRL1:"));
    ASSERT_NE(display, nullptr);
    EXPECT_EQ(display->Lines(), std::vector<Line>{c.line});
}

INSTANTIATE_TEST_SUITE_P(
    Table, BrailleLines,
    testing::Values(
        LineCase{"Blank", Line{}, HexOf("", 0), TextOf("", 0)},
        LineCase{"Bit3IsDot1", LineOf({0x08}), HexOf("08", 1), TextOf("\u2801", 1)},
        LineCase{"Bit2IsDot2", LineOf({0x04}), HexOf("04", 1), TextOf("\u2802", 1)},
        LineCase{"Bit1IsDot3", LineOf({0x02}), HexOf("02", 1), TextOf("\u2804", 1)},
        LineCase{"Bit7IsDot4", LineOf({0x80}), HexOf("80", 1), TextOf("\u2808", 1)},
        LineCase{"Bit6IsDot5", LineOf({0x40}), HexOf("40", 1), TextOf("\u2810", 1)},
        LineCase{"Bit5IsDot6", LineOf({0x20}), HexOf("20", 1), TextOf("\u2820", 1)},
        LineCase{"Bit0IsDot7", LineOf({0x01}), HexOf("01", 1), TextOf("\u2840", 1)},
        LineCase{"Bit4IsDot8", LineOf({0x10}), HexOf("10", 1), TextOf("\u2880", 1)},
        LineCase{"AllBitsAllDots", LineOf({0xFF}), HexOf("ff", 1), TextOf("\u28FF", 1)},
        LineCase{"LastCell",
                 [] {
                     Line l{};
                     l[31] = 0x08;
                     return l;
                 }(),
                 std::string(62, '0') + "08", TextOf("", 1) + "\u2801"},
        // "progress #7%": p r o g r e s s, blank, number sign, g, percent group.
        LineCase{"SevenPercent",
                 LineOf({0x8E, 0x4E, 0x4A, 0xCC, 0x4E, 0x48, 0x86, 0x86, 0x00, 0xE2, 0xCC, 0x80,
                         0x44, 0x8E}),
                 HexOf("8e4e4acc4e48868600e2cc80448e", 14),
                 TextOf("\u280F\u2817\u2815\u281B\u2817\u2811\u280E\u280E\u2800\u283C\u281B"
                        "\u2808\u2812\u280F",
                        14)},
        LineCase{"HundredPercent",
                 LineOf({0x8E, 0x4E, 0x4A, 0xCC, 0x4E, 0x48, 0x86, 0x86, 0x00, 0xE2, 0x08, 0xC4,
                         0xC4, 0x80, 0x44, 0x8E}),
                 HexOf("8e4e4acc4e48868600e208c4c480448e", 16),
                 TextOf("\u280F\u2817\u2815\u281B\u2817\u2811\u280E\u280E\u2800\u283C\u2801"
                        "\u281A\u281A\u2808\u2812\u280F",
                        16)}),
    [](const testing::TestParamInfo<LineCase> &info) { return info.param.name; });

struct RefusalCase {
    const char *name;
    DWORD code;
    DWORD inSize;
    DWORD outSize;
    DWORD error;
};

class BrailleRefusals : public testing::TestWithParam<RefusalCase> {};

TEST_P(BrailleRefusals, RefusedCallShowsNothing)
{
    const RefusalCase &c = GetParam();
    qs_test::TempDevice device;
    HANDLE h = OpenDisplay();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::array<uint8_t, 64> in{};
    in[0] = 0x08;
    std::array<uint8_t, 32> out{};
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(h, c.code, in.data(), c.inSize, c.outSize ? out.data() : NULL,
                                 c.outSize, NULL, NULL));
    EXPECT_EQ(GetLastError(), c.error);
    CloseHandle(h);
    EXPECT_TRUE(device.EventsOf("braille").empty());
    auto *display = dynamic_cast<sim::BrailleDisplay *>(device.device().FindDriver("BRL1:"));
    ASSERT_NE(display, nullptr);
    EXPECT_TRUE(display->Lines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, BrailleRefusals,
    testing::Values(RefusalCase{"UnknownCode", 5, 32, 0, ERROR_NOT_SUPPORTED},
                    RefusalCase{"ShortLine", 4, 31, 0, ERROR_INVALID_PARAMETER},
                    RefusalCase{"LongLine", 4, 33, 0, ERROR_INVALID_PARAMETER},
                    RefusalCase{"NoLine", 4, 0, 0, ERROR_INVALID_PARAMETER},
                    RefusalCase{"OutputBuffer", 4, 32, 4, ERROR_INVALID_PARAMETER}),
    [](const testing::TestParamInfo<RefusalCase> &info) { return info.param.name; });

TEST(BrailleDisplay, FaultFailsOnlyTheNthLine)
{
    qs_test::TempDevice device(json{
        {"braille", {{"faults", json::array({{{"code", "BRL_IOCTL_WRITE_LINE"}, {"nth", 2}}})}}}});
    HANDLE h = OpenDisplay();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<BOOL> results;
    for (uint8_t cell : {0x08, 0x0C, 0x88}) {
        Line line = LineOf({cell});
        results.push_back(DeviceIoControl(h, 4, line.data(), 32, NULL, 0, NULL, NULL));
    }
    CloseHandle(h);
    EXPECT_EQ(results, (std::vector<BOOL>{TRUE, FALSE, TRUE}));
    auto events = device.EventsOf("braille");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["cells"], HexOf("08", 1));
    EXPECT_EQ(events[1]["cells"], HexOf("88", 1));
}

TEST(BrailleDisplay, AbsentDisplayCannotBeOpened)
{
    qs_test::TempDevice device(json{{"braille", {{"present", false}}}});
    EXPECT_EQ(OpenDisplay(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

}  // namespace
