// The device's UTF-16 count of host text, and code points written as UTF-8.
#include <gtest/gtest.h>

#include "sim/unicode.h"

namespace unicode_test {
namespace {

struct UnitsRow {
    const char *name;
    std::string utf8;
    std::optional<size_t> units;
};

class Utf16UnitsTable : public testing::TestWithParam<UnitsRow> {};

TEST_P(Utf16UnitsTable, CountsOrRefuses)
{
    EXPECT_EQ(sim::Utf16Units(GetParam().utf8), GetParam().units);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf16UnitsTable,
    testing::Values(UnitsRow{"Empty", "", 0}, UnitsRow{"Ascii", "Part00", 6},
                    UnitsRow{"TwoBytes", "\xC3\xA9", 1}, UnitsRow{"ThreeBytes", "\xE2\xA0\x8F", 1},
                    UnitsRow{"BeyondThe16BitPlane", "a\xF0\x9F\x98\x80", 3},
                    UnitsRow{"Overlong", "\xC0\x80", std::nullopt},
                    UnitsRow{"EncodedSurrogate", "\xED\xA0\x80", std::nullopt},
                    UnitsRow{"CutShort", "a\xE2\xA0", std::nullopt},
                    UnitsRow{"StrayContinuation", "\x80", std::nullopt},
                    UnitsRow{"BeyondUnicode", "\xF4\x90\x80\x80", std::nullopt}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(AppendUtf8, EachSequenceLength)
{
    std::string text;
    for (char32_t code : {U'A', U'\u00E9', U'\u280F', U'\U0001F600', U'\U0010FFFF'})
        sim::AppendUtf8(text, code);
    EXPECT_EQ(text, "A\xC3\xA9\xE2\xA0\x8F\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF");
    EXPECT_EQ(sim::Utf16Units(text), 1u + 1 + 1 + 2 + 2);
}

}  // namespace
}  // namespace unicode_test
