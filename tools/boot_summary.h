// What one boot did, as the device saw it: read back from the boot's journal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/journal.h"

namespace qs_tools {

struct BootSummary {
    std::optional<uint8_t> bootKey;  // none when the query was not answered
    std::vector<std::string> cues;   // base names in the order played
    bool restartRequested = false;
    std::optional<std::string> programStarted;
    std::vector<std::string> programsFailed;
    std::optional<uint32_t> appExecuteFlag;  // the word the power controller took
    uint64_t heapPeakBytes = 0;              // not journaled: the runner fills it in
    std::vector<std::string> held;           // what the bookkeeping found still held
};

// Reads the power controller's control codes, the cues, the program starts and the leaks.
BootSummary SummarizeJournal(const std::vector<sim::Journal::Event> &events);
std::string FormatSummary(const BootSummary &summary);

// The bytes of a journal buffer ("ecac0000").
std::vector<uint8_t> FromHex(const std::string &hex);
// "\windows\success.wav" -> "success"
std::string CueName(const std::string &devicePath);
// "0xACEC", or "0".
std::string FlagText(uint32_t word);

}  // namespace qs_tools
