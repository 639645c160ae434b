// A device's journal as text, in the three forms the tests compare: the shell's own lines, a
// transcript of every event, and every field of every event with its time.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace qs_test {

using Lines = std::vector<std::string>;
using Events = std::vector<nlohmann::ordered_json>;

// The debug-log entries and stdout lines, in order, as the shell wrote them.
Lines LogTexts(const Events &events);

// One entry per event: a log or stdout text as it is (a "\r" or "\n" inside it spelt out), any
// other event "> KIND FIELD=VALUE ..."; a control code reads "> DSK1: NAME in=.. out=..", a merged
// sector transfer "> DSK1: NAME FIRST+COUNT", a refused one ends in " failed".
Lines Transcript(const Events &events);
// The same for the attached device's journal since it was last cleared.
Lines Transcript();

// One line per event, for ExpectGoldenLog: the virtual time, the kind, then each field as
// key=value, texts with their \r, \n and \t spelt out, the open access and flags in hex.
Lines JournalLines(const Events &events);

}  // namespace qs_test
