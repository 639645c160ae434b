// The kernel's debug formatter as the debug log shows it, wsprintfW, and the shell's printf.

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/temp_device.h"
#include "platform/ce.h"

namespace {

struct KernelCase {
    const char *name;
    std::function<void()> print;  // one NKDbgPrintfW call
    std::string expected;         // the log entry, UTF-8
};

const std::u16string kLong500(500, u'a');
const std::string kCut383(383, 'a');

const std::vector<KernelCase> kKernelCases = {
    {"WideString", [] { NKDbgPrintfW(TEXT("file %s."), TEXT("NK.BIN")); }, "file NK.BIN."},
    {"NarrowStrings", [] { NKDbgPrintfW(TEXT("%S|%a|%hs|%ls"), "abc", "de", "g\xE9", TEXT("w")); },
     "abc|de|g\xC3\xA9|w"},
    {"StringPrecisionAndWidth",
     [] { NKDbgPrintfW(TEXT("[%.3s][%6s][%-6S]"), TEXT("abcdef"), TEXT("ab"), "cd"); },
     "[abc][    ab][cd    ]"},
    {"NullStrings", [] { NKDbgPrintfW(TEXT("%s %S"), (LPCWSTR) nullptr, (const char *)nullptr); },
     "(NULL) (NULL)"},
    {"PrecisionPadsDigits", [] { NKDbgPrintfW(TEXT("%.2d"), 7); }, "07"},
    {"WidthFlags", [] { NKDbgPrintfW(TEXT("%4d|%-4d|%04d"), 7, 7, 7); }, "   7|7   |0007"},
    {"PrecisionMakesFillBlank", [] { NKDbgPrintfW(TEXT("%05.3d|%-5.3d|"), 7, 7); }, "  007|007  |"},
    {"StarWidthAndPrecision", [] { NKDbgPrintfW(TEXT("%*d|%.*d|%*d|"), 5, 42, 4, 42, -4, 7); },
     "   42|0042|7   |"},
    {"Hex", [] { NKDbgPrintfW(TEXT("%x %X %08X"), 0xBEEF, 0xBEEF, 0x1F); }, "beef BEEF 0000001F"},
    {"AlternateHex", [] { NKDbgPrintfW(TEXT("%#x %#X %#06x"), 0x1F, 0x1F, 0x1F); },
     "0x1f 0X1F 0x001f"},
    {"UnknownTakesNoArgument", [] { NKDbgPrintfW(TEXT("%B %d %d"), 42, 7); }, "B 42 7"},
    {"Percent", [] { NKDbgPrintfW(TEXT("100%% done")); }, "100% done"},
    {"LineEndKept", [] { NKDbgPrintfW(TEXT("line one\r\nline two\r\n")); },
     "line one\r\nline two\r\n"},
    {"CutAt383", [] { NKDbgPrintfW(TEXT("%s"), kLong500.c_str()); }, kCut383},
    {"Negative", [] { NKDbgPrintfW(TEXT("%d|%5d|%05d|%i"), -42, -42, -42, -2147483647 - 1); },
     "-42|  -42|-0042|-2147483648"},
    {"Unsigned32", [] { NKDbgPrintfW(TEXT("%x %u %lu"), -1, -1, 0xFFFFFFFFu); },
     "ffffffff 4294967295 4294967295"},
    {"Int64",
     [] { NKDbgPrintfW(TEXT("%I64d %I64x %d"), -1234567890123LL, 0x123456789ABCDEF0ULL, 5); },
     "-1234567890123 123456789abcdef0 5"},
    {"Short", [] { NKDbgPrintfW(TEXT("%hd %hu"), 0xFFFF, 70000); }, "-1 4464"},
    {"Chars", [] { NKDbgPrintfW(TEXT("%c%c%3c"), 'Q', 0x2801, 'z'); }, "Q\xE2\xA0\x81  z"},
    {"Pointer", [] { NKDbgPrintfW(TEXT("%p %p"), (void *)0xBEEF, (void *)0x71234ABCDull); },
     "0000BEEF 1234ABCD"},
};

class KernelFormat : public testing::TestWithParam<KernelCase> {};

TEST_P(KernelFormat, WritesOneLogEntry)
{
    qs_test::TempDevice device;
    GetParam().print();
    EXPECT_EQ(device.LogEntries(), std::vector<std::string>{GetParam().expected});
}

INSTANTIATE_TEST_SUITE_P(Cases, KernelFormat, testing::ValuesIn(kKernelCases),
                         [](const auto &info) { return std::string(info.param.name); });

struct WsprintfCase {
    const char *name;
    std::function<int(LPWSTR)> print;
    std::u16string expected;
};

const std::u16string kLong2000(2000, u'b');

const std::vector<WsprintfCase> kWsprintfCases = {
    {"Widths", [](LPWSTR out) { return wsprintfW(out, TEXT("%5d|%-5d|%05d"), 42, 42, 42); },
     u"   42|42   |00042"},
    {"Strings",
     [](LPWSTR out) {
         return wsprintfW(out, TEXT("%s %S %hs %ls"), TEXT("w"), "n", "h", TEXT("l"));
     },
     u"w n h l"},
    {"StringPrecision",
     [](LPWSTR out) { return wsprintfW(out, TEXT("%.2s|%4s"), TEXT("xyz"), TEXT("q")); },
     u"xy|   q"},
    {"Numbers",
     [](LPWSTR out) { return wsprintfW(out, TEXT("%lu %x %#X %i"), 0xFFFFFFFFu, 255, 255, -3); },
     u"4294967295 ff 0XFF -3"},
    {"Chars", [](LPWSTR out) { return wsprintfW(out, TEXT("%c%C"), 0x2801, 'n'); }, u"\x2801n"},
    {"UnknownWrittenAsIs", [](LPWSTR out) { return wsprintfW(out, TEXT("%q%d|%d"), 9, 8); },
     u"q9|8"},
    {"NullString", [](LPWSTR out) { return wsprintfW(out, TEXT("%s"), (LPCWSTR) nullptr); },
     u"(null)"},
    {"CappedAt1023", [](LPWSTR out) { return wsprintfW(out, TEXT("%s"), kLong2000.c_str()); },
     std::u16string(1023, u'b')},
};

class WsprintfFormat : public testing::TestWithParam<WsprintfCase> {};

TEST_P(WsprintfFormat, WritesTerminatedTextAndReturnsItsLength)
{
    std::vector<WCHAR> buffer(1100, u'#');
    int written = GetParam().print(buffer.data());
    const std::u16string &expected = GetParam().expected;
    EXPECT_EQ(std::u16string(buffer.data()), expected);
    EXPECT_EQ(written, static_cast<int>(expected.size()));
    EXPECT_EQ(buffer[expected.size() + 1], u'#');
}

INSTANTIATE_TEST_SUITE_P(Cases, WsprintfFormat, testing::ValuesIn(kWsprintfCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(PrintfFormat, EachCallIsOneStdoutEntry)
{
    qs_test::TempDevice device;
    EXPECT_EQ(printf("boot %d of %s\n", 3, "NK"), 13);
    EXPECT_EQ(printf("%05.1f%%", 2.5), 6);
    NKDbgPrintfW(TEXT("log\r\n"));
    std::vector<std::string> stdoutTexts;
    for (const auto &event : device.EventsOf("stdout"))
        stdoutTexts.push_back(event["text"]);
    EXPECT_EQ(stdoutTexts, (std::vector<std::string>{"boot 3 of NK\n", "002.5%"}));
    EXPECT_EQ(device.LogEntries(),
              (std::vector<std::string>{"boot 3 of NK\n", "002.5%", "log\r\n"}));
}

}  // namespace
