// The device's wide string calls, its code-page conversions, and UTF-16 <-> UTF-8 for the host.
//
// The device's code page is treated as Latin-1: a byte's value is its code unit.

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/ce.h"
#include "platform/host/internal.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char16_t kLastLatin1 = 0xFF;

bool IsHighSurrogate(char32_t unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char32_t unit)
{
    return unit >= 0xDC00 && unit <= 0xDFFF;
}
bool IsSurrogate(char32_t unit)
{
    return unit >= 0xD800 && unit <= 0xDFFF;
}

void AppendUtf8(std::string &out, char32_t code)
{
    auto byte = [&out](char32_t value) { out.push_back(static_cast<char>(value)); };
    if (code < 0x80) {
        byte(code);
    } else if (code < 0x800) {
        byte(0xC0 | (code >> 6));
        byte(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        byte(0xE0 | (code >> 12));
        byte(0x80 | ((code >> 6) & 0x3F));
        byte(0x80 | (code & 0x3F));
    } else {
        byte(0xF0 | (code >> 18));
        byte(0x80 | ((code >> 12) & 0x3F));
        byte(0x80 | ((code >> 6) & 0x3F));
        byte(0x80 | (code & 0x3F));
    }
}

void AppendUtf16(std::u16string &out, char32_t code)
{
    if (code < 0x10000) {
        out.push_back(static_cast<char16_t>(code));
        return;
    }
    code -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 | (code >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 | (code & 0x3FF)));
}

// The code point that starts at text[at], and how many units it takes. Unpaired surrogates
// read as the replacement character.
char32_t NextUtf16(std::u16string_view text, size_t &at)
{
    char32_t unit = text[at++];
    if (!IsSurrogate(unit))
        return unit;
    if (IsHighSurrogate(unit) && at < text.size() && IsLowSurrogate(text[at])) {
        char32_t low = text[at++];
        return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    return kReplacement;
}

// The sequence length a UTF-8 lead byte announces, 0 for a byte that cannot start one.
size_t Utf8SequenceLength(unsigned char lead)
{
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

char32_t SmallestCodeOfLength(size_t length)
{
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    return kSmallest[length];
}

// The code point that starts at text[at]. A malformed, overlong or surrogate sequence reads as
// the replacement character and consumes one byte, so decoding resumes at the next byte.
char32_t NextUtf8(std::string_view text, size_t &at)
{
    auto lead = static_cast<unsigned char>(text[at]);
    size_t length = Utf8SequenceLength(lead);
    if (length == 1 || length == 0 || at + length > text.size()) {
        ++at;
        return length == 1 ? lead : kReplacement;
    }
    char32_t code = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            ++at;
            return kReplacement;
        }
        code = (code << 6) | (next & 0x3F);
    }
    if (code < SmallestCodeOfLength(length) || code > 0x10FFFF || IsSurrogate(code)) {
        ++at;
        return kReplacement;
    }
    at += length;
    return code;
}

}  // namespace

namespace ce_host {

std::string ToUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();)
        AppendUtf8(out, NextUtf16(text, at));
    return out;
}

std::u16string FromUtf8(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();)
        AppendUtf16(out, NextUtf8(text, at));
    return out;
}

std::u16string_view View(LPCWSTR text)
{
    return text ? std::u16string_view(text) : std::u16string_view();
}

}  // namespace ce_host

size_t wcslen(const WCHAR *s)
{
    return std::char_traits<char16_t>::length(s);
}

WCHAR *wcscpy(WCHAR *dst, const WCHAR *src)
{
    std::char_traits<char16_t>::copy(dst, src, wcslen(src) + 1);
    return dst;
}

WCHAR *wcsncpy(WCHAR *dst, const WCHAR *src, size_t n)
{
    size_t copied = 0;
    for (; copied < n && src[copied] != 0; ++copied)
        dst[copied] = src[copied];
    for (size_t padded = copied; padded < n; ++padded)
        dst[padded] = 0;
    return dst;
}

WCHAR *wcscat(WCHAR *dst, const WCHAR *src)
{
    wcscpy(dst + wcslen(dst), src);
    return dst;
}

int wcscmp(const WCHAR *a, const WCHAR *b)
{
    int order = std::u16string_view(a).compare(std::u16string_view(b));
    return (order > 0) - (order < 0);
}

size_t wcscspn(const WCHAR *s, const WCHAR *reject)
{
    std::u16string_view text(s);
    size_t found = text.find_first_of(std::u16string_view(reject));
    return found == std::u16string_view::npos ? text.size() : found;
}

size_t mbstowcs(WCHAR *dst, const char *src, size_t n)
{
    std::string_view text(src);
    if (dst == nullptr)
        return text.size();
    size_t count = 0;
    for (; count < n && count < text.size(); ++count)
        dst[count] = static_cast<unsigned char>(text[count]);
    if (count < n)
        dst[count] = 0;
    return count;
}

size_t wcstombs(char *dst, const WCHAR *src, size_t n)
{
    std::u16string_view text(src);
    size_t limit = dst == nullptr ? text.size() : std::min(n, text.size());
    for (size_t i = 0; i < limit; ++i)
        if (text[i] > kLastLatin1)
            return static_cast<size_t>(-1);
    if (dst == nullptr)
        return text.size();
    for (size_t i = 0; i < limit; ++i)
        dst[i] = static_cast<char>(text[i]);
    if (limit < n)
        dst[limit] = 0;
    return limit;
}
