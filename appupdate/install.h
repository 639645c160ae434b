// The installation of an update's application data into \NAND\.
#pragma once

#include "common/qs_common.h"

// Sets the installed application folder aside, empties the installed folders the update
// replaces, copies the application-data tree with the braille line and verifies the application
// folder, copying it again after each failed compare and restoring the backup after the fifth;
// 1 on success, 0 on failure. Uses the folder bits IsExistAPPS left.
DWORD CopyAPPFiles(DWORD dwSelector);
