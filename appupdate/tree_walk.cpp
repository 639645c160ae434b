// Walks over folder trees for the application data and the update folder.
#include "appupdate/tree_walk.h"
#include "appupdate/progress.h"

BOOL IsDotEntry(LPCWSTR pszName)
{
    return wcscmp(pszName, TEXT(".")) == 0 || wcscmp(pszName, TEXT("..")) == 0;
}

// A child path that would not fit is never built or cut short: the level that meets it names its
// folder and fails. pszSeparator sits between folder and name, pszTail after the name.
static DWORD BuildChildPath(WCHAR *pszChild, LPCWSTR pszWalk, LPCWSTR pszFolder,
                            LPCWSTR pszSeparator, LPCWSTR pszName, LPCWSTR pszTail)
{
    PathClear(pszChild);
    if (PathCopy(pszChild, pszFolder) && PathAppend(pszChild, pszSeparator) &&
        PathAppend(pszChild, pszName) && PathAppend(pszChild, pszTail))
        return 1;
    PathClear(pszChild);
    NKDbgPrintfW(TEXT("%s: path too long below %s \r\n"), pszWalk, pszFolder);
    return 0;
}

// The source and destination paths of one entry, for the walks over folders that end in a
// backslash; a folder's paths end in one too.
static DWORD BuildChildPair(WCHAR *pszSourceChild, WCHAR *pszDestChild, LPCWSTR pszWalk,
                            LPCWSTR pszSource, LPCWSTR pszDest, const WIN32_FIND_DATAW *pEntry)
{
    LPCWSTR pszTail = (pEntry->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? TEXT("\\") : TEXT("");

    return BuildChildPath(pszSourceChild, pszWalk, pszSource, TEXT(""), pEntry->cFileName,
                          pszTail) &&
           BuildChildPath(pszDestChild, pszWalk, pszDest, TEXT(""), pEntry->cFileName, pszTail);
}

// folder + "\" + name, for the walk that takes folders without a trailing backslash.
static DWORD BuildDeletePath(WCHAR *pszChild, LPCWSTR pszFolder, LPCWSTR pszName)
{
    return BuildChildPath(pszChild, TEXT("DeleteAllFile"), pszFolder, TEXT("\\"), pszName,
                          TEXT(""));
}

DWORD DeleteAllFile(LPCWSTR pszFolder)
{
    WIN32_FIND_DATAW findData;
    HANDLE           hFind    = INVALID_HANDLE_VALUE;
    DWORD            dwResult = 1;
    WCHAR            szPattern[MAX_PATH];
    WCHAR            szChild[MAX_PATH];

    if (!BuildDeletePath(szPattern, pszFolder, TEXT("*.*")))
        return 0;
    hFind = FindFirstFileW(szPattern, &findData);
    if (hFind == INVALID_HANDLE_VALUE)
        return 1;
    do {
        if (IsDotEntry(findData.cFileName))
            continue;
        if (!BuildDeletePath(szChild, pszFolder, findData.cFileName)) {
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

// A folder is made as D + name: its walk path ends in a backslash, left off for the call.
static void CreateDestFolder(WCHAR *pszDestChild)
{
    size_t nEnd = wcslen(pszDestChild) - 1;

    pszDestChild[nEnd] = 0;
    CreateDirectoryW(pszDestChild, NULL);
    pszDestChild[nEnd] = TEXT('\\');
}

// Both files whole in memory, compared byte by byte. The caller has logged nothing for the pair.
static DWORD CompareFilePair(LPCWSTR pszSource, LPCWSTR pszDest)
{
    HANDLE hSource      = INVALID_HANDLE_VALUE;
    HANDLE hDest        = INVALID_HANDLE_VALUE;
    BYTE  *pSource      = NULL;
    BYTE  *pDest        = NULL;
    DWORD  dwResult     = 0;
    DWORD  dwSourceHigh = 0;
    DWORD  dwDestHigh   = 0;
    DWORD  dwSourceSize;
    DWORD  dwDestSize;
    DWORD  dwRead;
    DWORD  i;

    hSource = CreateFileW(pszSource, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    hDest   = CreateFileW(pszDest, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (hSource == INVALID_HANDLE_VALUE || hDest == INVALID_HANDLE_VALUE) {
        NKDbgPrintfW(TEXT("CheckExeFile: CreateFile fail %s \r\n"), pszSource);
        goto done;
    }
    dwSourceSize = GetFileSize(hSource, &dwSourceHigh);
    dwDestSize   = GetFileSize(hDest, &dwDestHigh);
    // A file of 4 GiB or more cannot be held in memory; its low word alone would compare a
    // different length, so such a pair is refused outright.
    if (dwSourceHigh != 0 || dwDestHigh != 0) {
        NKDbgPrintfW(TEXT("CheckExeFile: file too large %s \r\n"), pszSource);
        goto done;
    }
    NKDbgPrintfW(TEXT("CheckExeFile: size %d - %d \r\n"), dwSourceSize, dwDestSize);
    if (dwSourceSize != dwDestSize) {
        NKDbgPrintfW(TEXT("CheckExeFile: file size is not match \r\n"));
        goto done;
    }
    pSource = (BYTE *)LocalAlloc(LMEM_FIXED, dwSourceSize);
    pDest   = (BYTE *)LocalAlloc(LMEM_FIXED, dwDestSize);
    if (pSource == NULL || pDest == NULL) {
        NKDbgPrintfW(TEXT("CheckExeFile: malloc fail \r\n"));
        goto done;
    }
    if (!ReadFile(hSource, pSource, dwSourceSize, &dwRead, NULL)) {
        NKDbgPrintfW(TEXT("CheckExeFile: ReadFile %s fail \r\n"), pszSource);
        goto done;
    }
    if (!ReadFile(hDest, pDest, dwDestSize, &dwRead, NULL)) {
        NKDbgPrintfW(TEXT("CheckExeFile: ReadFile %s fail \r\n"), pszDest);
        goto done;
    }
    CloseHandle(hSource);
    CloseHandle(hDest);
    hSource = INVALID_HANDLE_VALUE;
    hDest   = INVALID_HANDLE_VALUE;
    for (i = 0; i < dwSourceSize; i++) {
        if (pSource[i] != pDest[i]) {
            NKDbgPrintfW(TEXT("CheckExeFile: Two files are not same %s and %s fail \r\n"),
                         pszSource, pszDest);
            goto done;
        }
    }
    dwResult = 1;

done:
    if (hSource != INVALID_HANDLE_VALUE)
        CloseHandle(hSource);
    if (hDest != INVALID_HANDLE_VALUE)
        CloseHandle(hDest);
    if (pSource != NULL)
        LocalFree(pSource);
    if (pDest != NULL)
        LocalFree(pDest);
    return dwResult;
}

DWORD CheckExeFile(LPCWSTR pszSource, LPCWSTR pszDest)
{
    WIN32_FIND_DATAW findData;
    HANDLE           hFind    = INVALID_HANDLE_VALUE;
    DWORD            dwResult = 0;
    WCHAR            szPattern[MAX_PATH];
    WCHAR            szSourceChild[MAX_PATH];
    WCHAR            szDestChild[MAX_PATH];

    NKDbgPrintfW(TEXT("OSUPDATE: +CheckExeFile %s %s \r\n"), pszSource, pszDest);
    if (!BuildChildPath(szPattern, TEXT("CheckExeFile"), pszSource, TEXT(""), TEXT("*.*"),
                        TEXT("")))
        return 0;
    hFind = FindFirstFileW(szPattern, &findData);
    if (hFind == INVALID_HANDLE_VALUE) {
        NKDbgPrintfW(TEXT("OSUPDATE: -CheckExeFile \r\n"));
        return 1;
    }
    do {
        BOOL bFolder = (findData.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;

        if (bFolder && IsDotEntry(findData.cFileName))
            continue;
        if (!BuildChildPair(szSourceChild, szDestChild, TEXT("CheckExeFile"), pszSource, pszDest,
                            &findData))
            goto done;
        if (bFolder) {
            // The folder is made before its compare, so it stays even when the compare fails.
            CreateDestFolder(szDestChild);
            if (!CheckExeFile(szSourceChild, szDestChild)) {
                NKDbgPrintfW(TEXT("CheckExeFile: CheckExeFile fail \r\n"));
                goto done;
            }
        } else if (!CompareFilePair(szSourceChild, szDestChild)) {
            goto done;
        }
    } while (FindNextFileW(hFind, &findData));
    dwResult = 1;

done:
    FindClose(hFind);
    if (dwResult)
        NKDbgPrintfW(TEXT("OSUPDATE: -CheckExeFile \r\n"));
    return dwResult;
}

// One file: a failed copy clears the destination's read-only, hidden and system attributes and
// is tried once more.
static DWORD CopyOneFile(LPCWSTR pszSource, LPCWSTR pszDest)
{
    NKDbgPrintfW(TEXT("Copy: %s \r\n"), pszSource);
    if (CopyFileExW(pszSource, pszDest, CopyProgressRoutine, NULL, NULL, COPY_FILE_RESTARTABLE))
        return 1;
    if (!SetFileAttributesW(pszDest, FILE_ATTRIBUTE_NORMAL)) {
        NKDbgPrintfW(TEXT("QuorShell: CopyExeFile SetFileAttributes %s fail \r\n"), pszDest);
        return 0;
    }
    if (CopyFileExW(pszSource, pszDest, CopyProgressRoutine, NULL, NULL, COPY_FILE_RESTARTABLE))
        return 1;
    NKDbgPrintfW(TEXT("QuorShell: CopyExeFile CopyFileEx %s fail \r\n"), pszSource);
    return 0;
}

DWORD CopyExeFile(LPCWSTR pszSource, LPCWSTR pszDest)
{
    WIN32_FIND_DATAW findData;
    HANDLE           hFind    = INVALID_HANDLE_VALUE;
    DWORD            dwResult = 0;
    WCHAR            szPattern[MAX_PATH];
    WCHAR            szSourceChild[MAX_PATH];
    WCHAR            szDestChild[MAX_PATH];

    NKDbgPrintfW(TEXT("OSUPDATE: +CopyExeFile %s %s \r\n"), pszSource, pszDest);
    if (!BuildChildPath(szPattern, TEXT("CopyExeFile"), pszSource, TEXT(""), TEXT("*.*"), TEXT("")))
        return 0;
    hFind = FindFirstFileW(szPattern, &findData);
    if (hFind == INVALID_HANDLE_VALUE) {
        NKDbgPrintfW(TEXT("OSUPDATE: -CopyExeFile \r\n"));
        return 1;
    }
    do {
        BOOL bFolder = (findData.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;

        if (bFolder && IsDotEntry(findData.cFileName))
            continue;
        if (!BuildChildPair(szSourceChild, szDestChild, TEXT("CopyExeFile"), pszSource, pszDest,
                            &findData))
            goto done;
        if (bFolder) {
            // The folder may exist already.
            CreateDestFolder(szDestChild);
            if (!CopyExeFile(szSourceChild, szDestChild)) {
                NKDbgPrintfW(TEXT("CopyExeFile: CopyExeFile fail \r\n"));
                goto done;
            }
        } else if (!CopyOneFile(szSourceChild, szDestChild)) {
            goto done;
        }
    } while (FindNextFileW(hFind, &findData));
    dwResult = 1;

done:
    FindClose(hFind);
    if (dwResult)
        NKDbgPrintfW(TEXT("OSUPDATE: -CopyExeFile \r\n"));
    return dwResult;
}
