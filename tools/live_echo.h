// What a terminal shows while the shell runs: the debug port, the printf lines, the cues, the
// program starts and the braille line.
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "sim/journal.h"

namespace qs_tools {

// The text shown for one event; empty for events that are not shown. Debug-log and printf
// entries keep their text, their \r\n turned into \n; the others are lines of their own.
std::string LiveText(const sim::Journal::Event &event);

// The percentage that a progress line of the braille display reads, when it is one.
std::optional<int> BraillePercent(const std::string &cellsHex);

// Collects the shown text and copies it to a stream as it comes, starting each line of its own
// on a fresh line even when a log entry left one open.
class LiveEcho {
public:
    explicit LiveEcho(std::ostream *out) : out_(out) {}
    void Show(const sim::Journal::Event &event);
    void Print(const std::string &text);
    // Ends a line that a log entry left open.
    void EndLine();
    const std::string &Text() const { return text_; }

private:
    std::ostream *out_;
    std::string text_;
};

}  // namespace qs_tools
