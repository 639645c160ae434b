// The stages of a boot as its journal shows them: each begins with a line the shell logs or a
// call the device answers, and they come in the boot sequence's order.
#pragma once

#include <string>
#include <vector>

#include "sim/journal.h"

namespace qs_tools {

// The stage the boot was in after each prefix of the journal: element k is the stage after its
// first k events ("start" before any).
std::vector<std::string> StagesAlong(const std::vector<sim::Journal::Event> &events);

}  // namespace qs_tools
