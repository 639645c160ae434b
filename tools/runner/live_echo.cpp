#include "tools/runner/live_echo.h"

#include <thread>

#include "devkit/braille_reading.h"
#include "sim/error.h"
#include "tools/runner/boot_summary.h"

namespace qs_tools {

namespace {

std::string TerminalLines(std::string text)
{
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at))
        text.erase(at, 1);
    return text;
}

// Back to the start of the terminal line, and the old text erased.
constexpr const char *kRedrawLine = "\r\033[K";

}  // namespace

std::string BrailleLineText(const std::string &unicodeCells)
{
    static const std::string kBlankCell = "\u2800";
    std::string cells = unicodeCells;
    while (cells.size() >= kBlankCell.size() &&
           cells.compare(cells.size() - kBlankCell.size(), kBlankCell.size(), kBlankCell) == 0)
        cells.resize(cells.size() - kBlankCell.size());
    std::string reading;
    try {
        reading = "\"" + devkit::TextOfBraille(cells) + "\"";
    } catch (const sim::DeviceError &e) {
        reading = "(unread: " + std::string(e.what()) + ")";
    }
    return cells + "  " + reading;
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
    if (kind == "braille")
        return "braille " + BrailleLineText(event["text"]) + "\n";
    if (kind == "violation")
        return "! " + event["device"].get<std::string>() + " " + event["what"].get<std::string>() +
               "\n";
    return {};
}

void LiveEcho::Show(const sim::Journal::Event &event)
{
    const std::string kind = event["event"];
    if (kind == "braille") {
        ShowBraille("braille " + BrailleLineText(event["text"]));
        return;
    }
    if (kind == "close" && event["device"] == "BRL1:") {
        FinishBraille();
        return;
    }
    std::string text = LiveText(event);
    if (text.empty())
        return;
    if (kind != "log" && kind != "stdout")
        EndLine();
    const bool redraw = style_.liveBrailleLine && !brailleLine_.empty();
    if (redraw)
        Terminal(kRedrawLine);
    Print(text);
    if (redraw && text.back() == '\n')
        Terminal(brailleLine_);
}

void LiveEcho::ShowBraille(const std::string &line)
{
    EndLine();
    brailleLine_ = line;
    if (!style_.liveBrailleLine)
        return;
    Terminal(kRedrawLine + line);
    if (style_.braillePace.count() > 0)
        std::this_thread::sleep_for(style_.braillePace);
}

void LiveEcho::FinishBraille()
{
    if (brailleLine_.empty())
        return;
    EndLine();
    text_ += brailleLine_ + "\n";
    // The live line is on the terminal already, unless a log line that is still open hides it.
    Terminal(style_.liveBrailleLine ? kRedrawLine + brailleLine_ + "\n" : brailleLine_ + "\n");
    brailleLine_.clear();
}

void LiveEcho::EndLine()
{
    if (!text_.empty() && text_.back() != '\n')
        Print("\n");
}

void LiveEcho::Finish()
{
    FinishBraille();
    EndLine();
}

void LiveEcho::Terminal(const std::string &text)
{
    if (out_)
        *out_ << text << std::flush;
}

void LiveEcho::Print(const std::string &text)
{
    if (text.empty())
        return;
    text_ += text;
    Terminal(text);
}

}  // namespace qs_tools
