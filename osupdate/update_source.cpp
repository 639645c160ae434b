#include "osupdate/update_source.h"

DWORD IsExistPath(LPCWSTR pszPath)
{
    WIN32_FIND_DATAW findData;
    HANDLE           hSearch = INVALID_HANDLE_VALUE;

    hSearch = FindFirstFileW(pszPath, &findData);
    if (hSearch == INVALID_HANDLE_VALUE)
        return 0;
    FindClose(hSearch);
    return 1;
}
