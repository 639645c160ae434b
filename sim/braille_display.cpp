#include "sim/braille_display.h"

#include <algorithm>

#include "sim/journal.h"
#include "sim/unicode.h"

namespace sim {

namespace {

// Cell bit -> Unicode dot bit. The left column is bits 3, 2, 1 and the right column bits 7, 6, 5,
// top to bottom; bits 0 and 4 sit below them as dots 7 and 8, so that a stray bit shows in the
// text instead of vanishing.
constexpr uint8_t kDotOfBit[8] = {
    0x40,  // bit 0: dot 7
    0x04,  // bit 1: dot 3
    0x02,  // bit 2: dot 2
    0x01,  // bit 3: dot 1
    0x80,  // bit 4: dot 8
    0x20,  // bit 5: dot 6
    0x10,  // bit 6: dot 5
    0x08,  // bit 7: dot 4
};

}  // namespace

std::string BrailleText(std::span<const uint8_t> cells)
{
    std::string text;
    text.reserve(cells.size() * 3);
    for (uint8_t cell : cells) {
        uint32_t dots = 0;
        for (int bit = 0; bit < 8; ++bit)
            if (cell & (1u << bit))
                dots |= kDotOfBit[bit];
        AppendUtf8(text, char32_t(0x2800 + dots));
    }
    return text;
}

BrailleDisplay::BrailleDisplay(const BrailleConfig &config)
    : Driver("BRL1:", {{kWriteLine, "BRL_IOCTL_WRITE_LINE"}}, config.faults, "braille")
{
}

bool BrailleDisplay::Control(IoRequest &request)
{
    if (request.code != kWriteLine)
        return Refuse(request, kErrorNotSupported);
    if (request.in.size() != kBrailleCells || !request.out.empty())
        return Refuse(request, kErrorInvalidParameter);
    BrailleLine line{};
    std::copy(request.in.begin(), request.in.end(), line.begin());
    lines_.push_back(line);
    if (journal())
        journal()->Braille(line, BrailleText(line));
    return true;
}

}  // namespace sim
