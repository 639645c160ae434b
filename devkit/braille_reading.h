// Braille as a reader reads it: a display line turned into the text it reads, and text into the
// cells a transcriber writes, by the US English grade-1 table of the braille translation library
// that braille devices and screen readers use. The shell keeps its own fixed cell bytes; the
// tools and tests read them through this library, not through a decoding of our own.
#pragma once

#include <string>

namespace devkit {

// The grade-1 table: letters, the number sign before digits a to j, punctuation; no contractions.
inline constexpr const char *kBrailleTable = "en-us-g1.ctb";

// The text as Unicode braille patterns (U+2800 block, UTF-8). Throws sim::DeviceError with one
// line when the table cannot be loaded.
std::string BrailleOfText(const std::string &text);

// What cells given as Unicode braille patterns (UTF-8) read as; blank cells at the end read as
// nothing. Throws sim::DeviceError with one line when the table cannot be loaded.
std::string TextOfBraille(const std::string &unicodeBraille);

}  // namespace devkit
