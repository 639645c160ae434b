// The shell's entry: one pass of the start-up sequence.
#pragma once

#include "platform/ce.h"

// Runs the whole start-up sequence once; returns 0 on every path.
int QuorShellMain(void);
