// What a terminal shows while the shell runs: the debug port, the printf lines, the cues, the
// program starts and the braille line.
#pragma once

#include <chrono>
#include <ostream>
#include <string>

#include "sim/journal.h"

namespace qs_tools {

// The text shown for one event; empty for events that are not shown. Debug-log and printf
// entries keep their text, their \r\n turned into \n; the others are lines of their own.
std::string LiveText(const sim::Journal::Event &event);

// A braille line as shown: its cells up to the last raised one, and what they read in quotes.
std::string BrailleLineText(const std::string &unicodeCells);

struct EchoStyle {
    // The braille line stays on the terminal's last line while the display is open, redrawn in
    // place as it changes, with the other output scrolling above it. Otherwise the line is
    // printed once, as it stands when the display is closed.
    bool liveBrailleLine = false;
    // Each redrawn braille line stays this long, so that the eye can follow it.
    std::chrono::milliseconds braillePace{0};
};

// Collects the shown text and copies it to a stream as it comes, starting each line of its own
// on a fresh line even when a log entry left one open. The collected text holds the braille line
// once per opening of the display, as it stood when the display was closed.
class LiveEcho {
public:
    explicit LiveEcho(std::ostream *out, EchoStyle style = {}) : out_(out), style_(style) {}
    void Show(const sim::Journal::Event &event);
    void Print(const std::string &text);
    // Ends a line that a log entry left open.
    void EndLine();
    // Ends the braille line and any open line: the boot is over.
    void Finish();
    const std::string &Text() const { return text_; }

private:
    void ShowBraille(const std::string &line);
    void FinishBraille();
    void Terminal(const std::string &text);

    std::ostream *out_;
    EchoStyle style_;
    std::string text_;
    std::string brailleLine_;  // the line the open display shows; empty when none
};

}  // namespace qs_tools
