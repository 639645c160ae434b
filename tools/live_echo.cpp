#include "tools/live_echo.h"

#include "tools/boot_summary.h"

namespace qs_tools {

namespace {

std::string TerminalLines(std::string text)
{
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at))
        text.erase(at, 1);
    return text;
}

// Braille digits are the letters a to j after the number sign.
std::optional<int> BrailleDigit(uint8_t cell)
{
    static const uint8_t digits[] = {0xC4, 0x08, 0x0C, 0x88, 0xC8, 0x48, 0x8C, 0xCC, 0x4C, 0x84};
    for (int digit = 0; digit < 10; ++digit)
        if (digits[digit] == cell)
            return digit;
    return std::nullopt;
}

constexpr uint8_t kNumberSign = 0xE2, kPercentSignStart = 0x80;

}  // namespace

std::optional<int> BraillePercent(const std::string &cellsHex)
{
    std::vector<uint8_t> cells = FromHex(cellsHex);
    size_t at = 0;
    while (at < cells.size() && cells[at] != kNumberSign)
        ++at;
    int percent = 0, digits = 0;
    for (++at; at < cells.size(); ++at, ++digits) {
        std::optional<int> digit = BrailleDigit(cells[at]);
        if (!digit)
            break;
        percent = percent * 10 + *digit;
    }
    if (digits == 0 || at >= cells.size() || cells[at] != kPercentSignStart)
        return std::nullopt;
    return percent;
}

std::string LiveText(const sim::Journal::Event &event)
{
    const std::string kind = event["event"];
    if (kind == "log" || kind == "stdout")
        return TerminalLines(event["text"]);
    if (kind == "sound")
        return "♪ " + CueName(event["path"]) + (event["ok"] == true ? "" : " (not played)") + "\n";
    if (kind == "process")
        return (event["ok"] == true ? "▶ started " : "▶ failed to start ") +
               event["path"].get<std::string>() + "\n";
    if (kind == "braille") {
        std::optional<int> percent = BraillePercent(event["cells"]);
        return "braille " + event["text"].get<std::string>() +
               (percent ? "  (" + std::to_string(*percent) + "%)" : "") + "\n";
    }
    if (kind == "violation")
        return "! " + event["device"].get<std::string>() + " " + event["what"].get<std::string>() +
               "\n";
    return {};
}

void LiveEcho::Show(const sim::Journal::Event &event)
{
    const std::string kind = event["event"];
    std::string text = LiveText(event);
    if (text.empty())
        return;
    if (kind != "log" && kind != "stdout")
        EndLine();
    Print(text);
}

void LiveEcho::EndLine()
{
    if (!text_.empty() && text_.back() != '\n')
        Print("\n");
}

void LiveEcho::Print(const std::string &text)
{
    if (text.empty())
        return;
    text_ += text;
    if (out_)
        *out_ << text << std::flush;
}

}  // namespace qs_tools
