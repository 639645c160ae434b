// The size check of the BINFS partition on the flash disk's store.
#pragma once

#include "platform/ce.h"

// Dumps the first partition of the store "DSK1:"; when it is "Part00", a size of 21952 sectors or
// more deletes "\flashdisk\BINFS_CHECK.log" and a smaller one writes the local time over the
// start of that log. Nothing is returned; a failure ends the check quietly or with one line.
void CheckBINFS(void);
