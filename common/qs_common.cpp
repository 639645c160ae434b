#include "common/qs_common.h"

#include "shell/devices.h"

void PathClear(WCHAR *pszPath)
{
    memset(pszPath, 0, MAX_PATH * sizeof(WCHAR));
}

DWORD PathCopy(WCHAR *pszPath, LPCWSTR pszFrom)
{
    if (wcslen(pszFrom) >= MAX_PATH)
        return QS_FAILURE;
    wcscpy(pszPath, pszFrom);
    return QS_SUCCESS;
}

DWORD PathAppend(WCHAR *pszPath, LPCWSTR pszTail)
{
    if (wcslen(pszPath) + wcslen(pszTail) >= MAX_PATH)
        return QS_FAILURE;
    wcscat(pszPath, pszTail);
    return QS_SUCCESS;
}

void ResetShellState(void)
{
    memset(&g_ProcessInfo, 0, sizeof(g_ProcessInfo));
}
