// The device serial number, kept both in the TOC and in the name of the system-information file.
#pragma once

#include "platform/ce.h"

// Reads the TOC (its defaults when the flash copy is refused) and the presence of
// "\NAND\M7LITE_*.sys": a serial without the file creates the file, named with the serial and
// holding the MAC address; the file without a serial writes the serial from its name back into
// the TOC on the flash. Every step logs its own line; nothing is returned.
void CheckSystemInfo(void);
