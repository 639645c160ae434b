#include "devkit/braille_reading.h"

#include <liblouis/liblouis.h>

#include <vector>

#include "sim/error.h"
#include "sim/unicode.h"

namespace devkit {

namespace {

std::vector<widechar> WideOfUtf8(const std::string &text)
{
    std::vector<widechar> wide;
    for (size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        uint32_t code = length == 1 ? lead : lead & (0x3Fu >> (length - 1));
        for (int i = 1; i < length && at + i < text.size(); ++i)
            code = (code << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3Fu);
        wide.push_back(static_cast<widechar>(code));
        at += size_t(length);
    }
    return wide;
}

std::string Utf8OfWide(const widechar *wide, int length)
{
    std::string text;
    for (int i = 0; i < length; ++i)
        sim::AppendUtf8(text, char32_t(wide[i]));
    return text;
}

// The library reports table problems on stderr by itself; one line of ours says what failed.
void QuietLibraryLog()
{
    static const bool quiet = [] {
        lou_setLogLevel(LOU_LOG_OFF);
        return true;
    }();
    (void)quiet;
}

using Translation = int (*)(const char *, const widechar *, int *, widechar *, int *, formtype *,
                            char *, int);

std::string Translate(Translation translate, const std::string &text, int mode, const char *what)
{
    QuietLibraryLog();
    std::vector<widechar> in = WideOfUtf8(text);
    // Grade 1 writes at most a few cells per character (number and capital signs, symbols).
    std::vector<widechar> out(in.size() * 4 + 16);
    int inLength = int(in.size()), outLength = int(out.size());
    if (!translate(kBrailleTable, in.data(), &inLength, out.data(), &outLength, nullptr, nullptr,
                   mode))
        throw sim::DeviceError(std::string("the braille table ") + kBrailleTable +
                               " cannot be used to " + what + " (is liblouis-data installed?)");
    return Utf8OfWide(out.data(), outLength);
}

}  // namespace

std::string BrailleOfText(const std::string &text)
{
    return Translate(lou_translateString, text, ucBrl | dotsIO, "write braille");
}

std::string TextOfBraille(const std::string &unicodeBraille)
{
    std::string text = Translate(lou_backTranslateString, unicodeBraille, 0, "read braille");
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

}  // namespace devkit
