// Where an update comes from: roots, presence tests and the choice among several images.
#include "osupdate/update_source.h"

#include "common/qs_common.h"
#include "osupdate/OSUPDATE.h"

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

LPCWSTR ProbeRootName(DWORD dwSelector)
{
    if (dwSelector == 2)
        return TEXT("USB");
    if (dwSelector == 3)
        return TEXT("SD");
    return TEXT("flashdisk");
}

LPCWSTR UpdateRootName(DWORD dwSelector)
{
    if (dwSelector == 2)
        return TEXT("SMD");
    if (dwSelector == 3)
        return TEXT("SD");
    return TEXT("flashdisk");
}

DWORD FindStorageRoot(LPCWSTR pszRoot)
{
    WCHAR            szRoot[MAX_PATH];
    WIN32_FIND_DATAW findData;
    HANDLE           hSearch  = INVALID_HANDLE_VALUE;
    DWORD            dwResult = 0;
    DWORD            dwTry    = 0;

    PathClear(szRoot);
    if (!PathCopy(szRoot, pszRoot))
        return 0;
    for (dwTry = 0; dwTry < ROOT_PROBE_ATTEMPTS; dwTry++) {
        hSearch = FindFirstFileW(szRoot, &findData);
        if (hSearch != INVALID_HANDLE_VALUE) {
            NKDbgPrintfW(TEXT("Find %s success \r\n"), szRoot);
            FindClose(hSearch);
            dwResult = 1;
            break;
        }
        // A volume may mount a little after the shell starts.
        Sleep(ROOT_PROBE_SLEEP_MS);
    }
    return dwResult;
}

// The up to six characters behind the first "_" of a name; empty when it has none.
static void GetUpdateKey(LPCWSTR pszName, WCHAR *pszKey)
{
    size_t nUnderscore = wcscspn(pszName, TEXT("_"));

    memset(pszKey, 0, (UPDATE_KEY_LENGTH + 1) * sizeof(WCHAR));
    if (pszName[nUnderscore] == 0)
        return;
    wcsncpy(pszKey, pszName + nUnderscore + 1, UPDATE_KEY_LENGTH);
}

void GetUpdateFilePath(WCHAR *pszPath, LPCWSTR pszFolder)
{
    WIN32_FIND_DATAW findData;
    WIN32_FIND_DATAW bestData;
    WCHAR            szBestKey[UPDATE_KEY_LENGTH + 1];
    WCHAR            szKey[UPDATE_KEY_LENGTH + 1];
    WCHAR            szChosen[MAX_PATH];
    HANDLE           hSearch = INVALID_HANDLE_VALUE;

    memset(szBestKey, 0, sizeof(szBestKey));
    memset(szKey, 0, sizeof(szKey));
    hSearch = FindFirstFileW(pszPath, &findData);
    // The image vanished since it was seen: the pattern stays in the path, so that opening it
    // fails, rather than a path built from a name that no search returned.
    if (hSearch == INVALID_HANDLE_VALUE)
        goto done;
    bestData = findData;
    GetUpdateKey(findData.cFileName, szBestKey);
    do {
        GetUpdateKey(findData.cFileName, szKey);
        if (wcscmp(szBestKey, szKey) < 0) {
            memcpy(szBestKey, szKey, sizeof(szBestKey));
            bestData = findData;
        }
    } while (FindNextFileW(hSearch, &findData));

    // A name too long for the folder keeps the pattern in the path, as a vanished one does.
    PathClear(szChosen);
    if (PathCopy(szChosen, pszFolder) && PathAppend(szChosen, TEXT("\\")) &&
        PathAppend(szChosen, bestData.cFileName)) {
        PathClear(pszPath);
        PathCopy(pszPath, szChosen);
    }
    FindClose(hSearch);

done:
    NKDbgPrintfW(TEXT("Update File Path : %s \r\n"), pszPath);
}

DWORD IsExistImageFile(DWORD dwSelector)
{
    WCHAR szDir[MAX_PATH];
    WCHAR szImage[MAX_PATH];

    NKDbgPrintfW(TEXT("[QuorShell]IsExistImageFile ++ \r\n"));
    if (!FindStorageRoot(ProbeRootName(dwSelector))) {
        NKDbgPrintfW(TEXT("OSUPDATE: No Update Folder \r\n"));
        return 0;
    }

    PathClear(szDir);
    PathAppend(szDir, TEXT("\\"));
    PathAppend(szDir, ProbeRootName(dwSelector));
    PathAppend(szDir, UPDATE_FOLDER_NAME);
    NKDbgPrintfW(TEXT("DirPath== %s \r\n"), szDir);
    if (!IsExistPath(szDir)) {
        NKDbgPrintfW(TEXT("ERROR(%d)- Cannot find Image Path \r\n"), GetLastError());
        return 0;
    }
    NKDbgPrintfW(TEXT("Found Image Path! \r\n"));

    PathClear(szImage);
    PathCopy(szImage, szDir);
    PathAppend(szImage, NK_IMAGE_PATTERN);
    NKDbgPrintfW(TEXT("Find NK Image Path==%s \r\n"), szImage);
    if (!IsExistPath(szImage)) {
        NKDbgPrintfW(TEXT("ERROR(%d)- Cannot find NK image file \r\n"), GetLastError());
        return 0;
    }
    NKDbgPrintfW(TEXT("[QuorShell]IsExistImageFile Found OS NK Image! \r\n"));
    return 1;
}
