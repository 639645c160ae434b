// The wide string calls, the code-page conversions and UTF-16 <-> UTF-8.

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/host/internal.h"

namespace {

constexpr size_t kBufferSize = 8;

// The destination's whole buffer after a call, so padding and missing terminators show.
struct CopyCase {
    const char *name;
    std::function<WCHAR *(WCHAR *)> call;  // gets a buffer of '#'
    std::u16string expected;
};

const std::vector<CopyCase> kCopyCases = {
    {"Wcscpy", [](WCHAR *d) { return wcscpy(d, u"abc"); }, std::u16string(u"abc\0####", 8)},
    {"WcsncpyPadsToN", [](WCHAR *d) { return wcsncpy(d, u"ab", 5); },
     std::u16string(u"ab\0\0\0###", 8)},
    {"WcsncpyExactLengthNoTerminator", [](WCHAR *d) { return wcsncpy(d, u"abc", 3); }, u"abc#####"},
    {"WcsncpyLongerNoTerminator", [](WCHAR *d) { return wcsncpy(d, u"abcdef", 2); }, u"ab######"},
    {"Wcscat",
     [](WCHAR *d) {
         wcscpy(d, u"ab");
         return wcscat(d, u"cd");
     },
     std::u16string(u"abcd\0###", 8)},
};

class WcsCopy : public testing::TestWithParam<CopyCase> {};

TEST_P(WcsCopy, FillsTheBufferAndReturnsIt)
{
    std::u16string buffer(kBufferSize, u'#');
    EXPECT_EQ(GetParam().call(buffer.data()), buffer.data());
    EXPECT_EQ(buffer, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, WcsCopy, testing::ValuesIn(kCopyCases),
                         [](const auto &info) { return std::string(info.param.name); });

int Sign(int value)
{
    return (value > 0) - (value < 0);
}

struct MeasureCase {
    const char *name;
    std::function<long long()> call;
    long long expected;
};

const std::vector<MeasureCase> kMeasureCases = {
    {"WcslenEmpty", [] { return wcslen(u""); }, 0},
    {"Wcslen", [] { return wcslen(u"flashdisk"); }, 9},
    {"WcscmpEqual", [] { return Sign(wcscmp(u"NK.BIN", u"NK.BIN")); }, 0},
    {"WcscmpPrefixIsLower", [] { return Sign(wcscmp(u"NK", u"NK.BIN")); }, -1},
    {"WcscmpLongerIsHigher", [] { return Sign(wcscmp(u"NK.BIN", u"NK")); }, 1},
    {"WcscmpCaseMatters", [] { return Sign(wcscmp(u"Z", u"a")); }, -1},
    {"WcscmpUnitsUnsigned", [] { return Sign(wcscmp(u"\xFFFF", u"\x0100")); }, 1},
    {"WcscspnStopsAtFirst", [] { return wcscspn(u"NAND\\x.bin", u".\\"); }, 4},
    {"WcscspnNoneFound", [] { return wcscspn(u"flashdisk", u"\\"); }, 9},
    {"WcscspnEmptyReject", [] { return wcscspn(u"abc", u""); }, 3},
};

class WcsMeasure : public testing::TestWithParam<MeasureCase> {};

TEST_P(WcsMeasure, Returns)
{
    EXPECT_EQ(GetParam().call(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, WcsMeasure, testing::ValuesIn(kMeasureCases),
                         [](const auto &info) { return std::string(info.param.name); });

// Both directions, with the destination shown as wide units (a byte is its Latin-1 unit).
struct ConvertCase {
    const char *name;
    std::function<size_t(std::u16string &)> call;  // gets a buffer of '#'
    size_t expected;
    std::u16string expectedBuffer;
};

size_t ToBytes(std::u16string &shown, const WCHAR *src, size_t n, bool toNull = false)
{
    std::string bytes(kBufferSize, '#');
    size_t result = wcstombs(toNull ? nullptr : bytes.data(), src, n);
    for (size_t i = 0; i < bytes.size(); ++i)
        shown[i] = static_cast<unsigned char>(bytes[i]);
    return result;
}

const size_t kFailed = static_cast<size_t>(-1);

const std::vector<ConvertCase> kConvertCases = {
    {"MbsTerminated", [](std::u16string &b) { return mbstowcs(b.data(), "abc", 8); }, 3,
     std::u16string(u"abc\0####", 8)},
    {"MbsExactNoTerminator", [](std::u16string &b) { return mbstowcs(b.data(), "abc", 3); }, 3,
     u"abc#####"},
    {"MbsCut", [](std::u16string &b) { return mbstowcs(b.data(), "abcdef", 2); }, 2, u"ab######"},
    {"MbsLatin1", [](std::u16string &b) { return mbstowcs(b.data(), "\xE9\xFF", 8); }, 2,
     std::u16string(u"\xE9\xFF\0#####", 8)},
    {"MbsNullCounts",
     [](std::u16string &) { return mbstowcs(static_cast<WCHAR *>(nullptr), "abcdef", 0); }, 6,
     u"########"},
    {"WcsTerminated", [](std::u16string &b) { return ToBytes(b, u"a\xE9", 8); }, 2,
     std::u16string(u"a\xE9\0#####", 8)},
    {"WcsCut", [](std::u16string &b) { return ToBytes(b, u"abcdef", 4); }, 4, u"abcd####"},
    {"WcsNullCounts", [](std::u16string &b) { return ToBytes(b, u"hello", 0, true); }, 5,
     u"########"},
    {"WcsBeyondLatin1", [](std::u16string &b) { return ToBytes(b, u"a\x0100", 8); }, kFailed,
     u"########"},
    {"WcsNullBeyondLatin1", [](std::u16string &b) { return ToBytes(b, u"\x20AC", 0, true); },
     kFailed, u"########"},
};

class CodePage : public testing::TestWithParam<ConvertCase> {};

TEST_P(CodePage, ConvertsByteForUnit)
{
    std::u16string buffer(kBufferSize, u'#');
    EXPECT_EQ(GetParam().call(buffer), GetParam().expected);
    EXPECT_EQ(buffer, GetParam().expectedBuffer);
}

INSTANTIATE_TEST_SUITE_P(Cases, CodePage, testing::ValuesIn(kConvertCases),
                         [](const auto &info) { return std::string(info.param.name); });

struct Utf8Case {
    const char *name;
    std::u16string utf16;
    std::string utf8;
};

// Each pair converts both ways.
const std::vector<Utf8Case> kRoundTrips = {
    {"Ascii", u"NK.BIN\r\n", "NK.BIN\r\n"},
    {"TwoAndThreeBytes", u"\xE9\x20AC\x2801", "\xC3\xA9\xE2\x82\xAC\xE2\xA0\x81"},
    {"SurrogatePair", u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
};

TEST(Utf8, RoundTrips)
{
    for (const auto &c : kRoundTrips) {
        EXPECT_EQ(ce_host::ToUtf8(c.utf16), c.utf8) << c.name;
        EXPECT_EQ(ce_host::FromUtf8(c.utf8), c.utf16) << c.name;
    }
}

TEST(Utf8, MalformedInputBecomesReplacement)
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
