#include "common/qs_common.h"

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
