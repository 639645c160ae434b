#include "sim/unicode.h"

namespace sim {

std::optional<size_t> Utf16Units(std::string_view utf8)
{
    // The smallest code point of each sequence length: a longer sequence for less is refused.
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    size_t units = 0;
    for (size_t at = 0; at < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[at]);
        const size_t length = lead < 0x80                    ? 1
                              : lead >= 0xC2 && lead <= 0xDF ? 2
                              : lead >= 0xE0 && lead <= 0xEF ? 3
                              : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                             : 0;
        if (length == 0 || at + length > utf8.size())
            return std::nullopt;
        char32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t i = 1; i < length; ++i) {
            const auto next = static_cast<unsigned char>(utf8[at + i]);
            if ((next & 0xC0) != 0x80)
                return std::nullopt;
            code = code << 6 | (next & 0x3F);
        }
        if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return std::nullopt;
        units += code >= 0x10000 ? 2 : 1;
        at += length;
    }
    return units;
}

void AppendUtf8(std::string &text, char32_t code)
{
    if (code < 0x80) {
        text += char(code);
        return;
    }
    const int continuations = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
    static constexpr unsigned char kLeadMarks[] = {0, 0xC0, 0xE0, 0xF0};
    text += char(kLeadMarks[continuations] | code >> (6 * continuations));
    for (int i = continuations - 1; i >= 0; --i)
        text += char(0x80 | (code >> (6 * i) & 0x3F));
}

}  // namespace sim
