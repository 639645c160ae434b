// What the shell's subsystems share: results, bounded path building, the process-wide state.
#pragma once

#include "platform/ce.h"

// Every operation returns 1 for success and 0 for failure unless its own comment says otherwise.
#define QS_SUCCESS 1
#define QS_FAILURE 0

// Driver flag words.
#define QS_FLAG_ON 0xACEC
#define QS_FLAG_OFF 0

// Paths live in fixed buffers of MAX_PATH characters, cleared before use, built by copy and
// append; a result that would not fit is refused and leaves the buffer as it was.
void  PathClear(WCHAR *pszPath);
DWORD PathCopy(WCHAR *pszPath, LPCWSTR pszFrom);
DWORD PathAppend(WCHAR *pszPath, LPCWSTR pszTail);

// Restores every process-wide variable of the shell to its program-start value, so that a host
// can run many boots in one process.
void ResetShellState(void);
