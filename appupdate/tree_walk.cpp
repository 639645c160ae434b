// Walks over folder trees for the application data and the update folder.
#include "appupdate/tree_walk.h"

static BOOL IsDotEntry(LPCWSTR pszName)
{
    return wcscmp(pszName, TEXT(".")) == 0 || wcscmp(pszName, TEXT("..")) == 0;
}

// folder + "\" + name in a cleared buffer. A child path that would not fit is never built or cut
// short: the level that meets it names its folder and fails.
static DWORD BuildChildPath(WCHAR *pszChild, LPCWSTR pszFolder, LPCWSTR pszName)
{
    PathClear(pszChild);
    if (PathCopy(pszChild, pszFolder) && PathAppend(pszChild, TEXT("\\")) &&
        PathAppend(pszChild, pszName))
        return 1;
    NKDbgPrintfW(TEXT("DeleteAllFile: path too long below %s \r\n"), pszFolder);
    return 0;
}

DWORD DeleteAllFile(LPCWSTR pszFolder)
{
    WIN32_FIND_DATAW findData;
    HANDLE           hFind    = INVALID_HANDLE_VALUE;
    DWORD            dwResult = 1;
    WCHAR            szPattern[MAX_PATH];
    WCHAR            szChild[MAX_PATH];

    if (!BuildChildPath(szPattern, pszFolder, TEXT("*.*")))
        return 0;
    hFind = FindFirstFileW(szPattern, &findData);
    if (hFind == INVALID_HANDLE_VALUE)
        return 1;
    do {
        if (IsDotEntry(findData.cFileName))
            continue;
        if (!BuildChildPath(szChild, pszFolder, findData.cFileName)) {
            dwResult = 0;
            goto done;
        }
        if (findData.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!DeleteAllFile(szChild)) {
                NKDbgPrintfW(TEXT("DeleteAllFile: DeleteAllFile fail \r\n"));
                dwResult = 0;
                goto done;
            }
            if (!RemoveDirectoryW(szChild))
                NKDbgPrintfW(TEXT("DeleteAllFile: RemoveDirectory %s fail \r\n"), szChild);
        } else {
            SetFileAttributesW(szChild, FILE_ATTRIBUTE_NORMAL);
            if (!DeleteFileW(szChild)) {
                NKDbgPrintfW(TEXT("DeleteAllFile: DeleteFile %s fail \r\n"), szChild);
                dwResult = 0;
                goto done;
            }
        }
    } while (FindNextFileW(hFind, &findData));

done:
    FindClose(hFind);
    return dwResult;
}
