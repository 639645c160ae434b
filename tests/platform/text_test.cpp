// The wide string calls, the code-page conversions and UTF-16 <-> UTF-8.

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/host/internal.h"

namespace {

using namespace std::string_literals;

// Each call gets an 8-unit buffer of '#'; the whole buffer afterwards shows padding and missing
// terminators. Narrow buffers are shown a byte to a unit.
struct TextCase {
    const char *name;
    std::function<long long(WCHAR *buffer)> call;
    long long expected;
    std::u16string buffer;
};

constexpr size_t kBufferSize = 8;
constexpr long long kFailed = -1;
const std::u16string kUntouched = u"########";

long long ReturnsDestination(const WCHAR *result, const WCHAR *buffer)
{
    return result == buffer;
}

long long Sign(int value)
{
    return (value > 0) - (value < 0);
}

// A size as the table holds it; (size_t)-1 reads as -1.
long long Count(size_t n)
{
    return static_cast<long long>(n);
}

long long ToBytes(WCHAR *shown, const WCHAR *src, size_t n, bool toNull = false)
{
    std::string bytes(kBufferSize, '#');
    long long result = Count(wcstombs(toNull ? nullptr : bytes.data(), src, n));
    for (size_t i = 0; i < kBufferSize; ++i)
        shown[i] = static_cast<unsigned char>(bytes[i]);
    return result;
}

const std::vector<TextCase> kCases = {
    {"Wcscpy", [](WCHAR *b) { return ReturnsDestination(wcscpy(b, u"abc"), b); }, 1, u"abc\0####"s},
    {"WcsncpyPadsToN", [](WCHAR *b) { return ReturnsDestination(wcsncpy(b, u"ab", 5), b); }, 1,
     u"ab\0\0\0###"s},
    {"WcsncpyExactNoTerminator",
     [](WCHAR *b) { return ReturnsDestination(wcsncpy(b, u"abc", 3), b); }, 1, u"abc#####"},
    {"WcsncpyLongerNoTerminator",
     [](WCHAR *b) { return ReturnsDestination(wcsncpy(b, u"abcdef", 2), b); }, 1, u"ab######"},
    {"Wcscat", [](WCHAR *b) { return ReturnsDestination(wcscat(wcscpy(b, u"ab"), u"cd"), b); }, 1,
     u"abcd\0###"s},
    {"Wcslen", [](WCHAR *) { return Count(wcslen(u"flashdisk")); }, 9, kUntouched},
    {"WcscmpEqual", [](WCHAR *) { return Sign(wcscmp(u"NK.BIN", u"NK.BIN")); }, 0, kUntouched},
    {"WcscmpPrefixIsLower", [](WCHAR *) { return Sign(wcscmp(u"NK", u"NK.BIN")); }, -1, kUntouched},
    {"WcscmpLongerIsHigher", [](WCHAR *) { return Sign(wcscmp(u"NK.BIN", u"NK")); }, 1, kUntouched},
    {"WcscmpCaseMatters", [](WCHAR *) { return Sign(wcscmp(u"Z", u"a")); }, -1, kUntouched},
    {"WcscmpUnitsUnsigned", [](WCHAR *) { return Sign(wcscmp(u"\xFFFF", u"\x0100")); }, 1,
     kUntouched},
    {"WcscspnStopsAtFirst", [](WCHAR *) { return Count(wcscspn(u"NAND\\x.bin", u".\\")); }, 4,
     kUntouched},
    {"WcscspnNoneFound", [](WCHAR *) { return Count(wcscspn(u"flashdisk", u"\\")); }, 9,
     kUntouched},
    {"MbsTerminated", [](WCHAR *b) { return Count(mbstowcs(b, "abc", 8)); }, 3, u"abc\0####"s},
    {"MbsExactNoTerminator", [](WCHAR *b) { return Count(mbstowcs(b, "abc", 3)); }, 3, u"abc#####"},
    {"MbsCut", [](WCHAR *b) { return Count(mbstowcs(b, "abcdef", 2)); }, 2, u"ab######"},
    {"MbsLatin1", [](WCHAR *b) { return Count(mbstowcs(b, "\xE9\xFF", 8)); }, 2,
     u"\xE9\xFF\0#####"s},
    {"MbsNullCounts",
     [](WCHAR *) { return Count(mbstowcs(static_cast<WCHAR *>(nullptr), "abcdef", 0)); }, 6,
     kUntouched},
    {"WcsTerminated", [](WCHAR *b) { return ToBytes(b, u"a\xE9", 8); }, 2, u"a\xE9\0#####"s},
    {"WcsCut", [](WCHAR *b) { return ToBytes(b, u"abcdef", 4); }, 4, u"abcd####"},
    {"WcsNullCounts", [](WCHAR *b) { return ToBytes(b, u"hello", 0, true); }, 5, kUntouched},
    {"WcsBeyondLatin1", [](WCHAR *b) { return ToBytes(b, u"a\x0100", 8); }, kFailed, kUntouched},
    {"WcsNullBeyondLatin1", [](WCHAR *b) { return ToBytes(b, u"\x20AC", 0, true); }, kFailed,
     kUntouched},
};

class WideText : public testing::TestWithParam<TextCase> {};

TEST_P(WideText, ReturnsAndFillsTheBuffer)
{
    std::u16string buffer = kUntouched;
    EXPECT_EQ(GetParam().call(buffer.data()), GetParam().expected);
    EXPECT_EQ(buffer, GetParam().buffer);
}

INSTANTIATE_TEST_SUITE_P(Cases, WideText, testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Utf8Text, ConvertsBothWays)
{
    const std::pair<std::u16string, std::string> pairs[] = {
        {u"NK.BIN\r\n", "NK.BIN\r\n"},
        {u"\xE9\x20AC\x2801", "\xC3\xA9\xE2\x82\xAC\xE2\xA0\x81"},
        {u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},  // a surrogate pair
    };
    for (const auto &[utf16, utf8] : pairs) {
        EXPECT_EQ(ce_host::ToUtf8(utf16), utf8);
        EXPECT_EQ(ce_host::FromUtf8(utf8), utf16);
    }
}

TEST(Utf8Text, MalformedInputBecomesReplacement)
{
    EXPECT_EQ(ce_host::ToUtf8(u"a\xD800z"), "a\xEF\xBF\xBDz");
    EXPECT_EQ(ce_host::ToUtf8(u"\xDC00"), "\xEF\xBF\xBD");
    EXPECT_EQ(ce_host::FromUtf8("a\xFFz"), u"a\xFFFDz");
    EXPECT_EQ(ce_host::FromUtf8("\xC0\xAF"), u"\xFFFD\xFFFD");            // overlong
    EXPECT_EQ(ce_host::FromUtf8("\xE2\x82"), u"\xFFFD\xFFFD");            // cut short
    EXPECT_EQ(ce_host::FromUtf8("\xED\xA0\x80"), u"\xFFFD\xFFFD\xFFFD");  // a surrogate
    EXPECT_TRUE(ce_host::View(nullptr).empty());
}

}  // namespace
