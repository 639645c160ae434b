// Where an update comes from: presence tests of the update folder and its images.
#pragma once

#include "platform/ce.h"

// 1 when a file search for the path (which may hold wildcards) finds an entry, else 0 with the
// search's last-error code left in place. Nothing is logged.
DWORD IsExistPath(LPCWSTR pszPath);
