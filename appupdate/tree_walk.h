// Walks over folder trees for the application data and the update folder.
#pragma once

#include "common/qs_common.h"

// Empties a folder given without a trailing backslash: every file and subfolder below it goes,
// the folder itself stays. 1 when it was emptied or cannot be searched; 0 when a file cannot be
// deleted, a child path would not fit a path buffer, or a nested level failed.
DWORD DeleteAllFile(LPCWSTR pszFolder);
