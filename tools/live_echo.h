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
    // The braille line is redrawn in place on one terminal line as it changes; otherwise only
    // the last line of each run of braille writes is printed.
    bool liveBrailleLine = false;
    // Each redrawn braille line stays this long, so that the eye can follow it.
    std::chrono::milliseconds braillePace{0};
};

// Collects the shown text and copies it to a stream as it comes, starting each line of its own
// on a fresh line even when a log entry left one open. The collected text holds each run of
// braille writes as its last line.
class LiveEcho {
public:
    explicit LiveEcho(std::ostream *out, EchoStyle style = {}) : out_(out), style_(style) {}
    void Show(const sim::Journal::Event &event);
    void Print(const std::string &text);
    // Ends a line that a log entry or the braille line left open.
    void EndLine();
    const std::string &Text() const { return text_; }

private:
    void ShowBraille(const std::string &line);

    std::ostream *out_;
    EchoStyle style_;
    std::string text_;
    std::string brailleLine_;  // the braille line shown last, not yet ended
};

}  // namespace qs_tools
