// The percentage line on the braille display while the application data is installed.
#include "appupdate/progress.h"

#include <limits.h>

#include "appupdate/tree_walk.h"

// Cells 0 to 9: "progress", a blank and the number sign.
#define LEADING_CELLS 10
#define PERCENT_GROUP_CELLS 5

HANDLE    ghBrlDevice         = INVALID_HANDLE_VALUE;
int       gnLastPercent       = -1;
ULONGLONG gullTotalSize       = 0;
ULONGLONG gullCopiedSize      = 0;
ULONGLONG gullLastTransferred = 0;

static const BYTE gLeadingCells[LEADING_CELLS] = {0x8E, 0x4E, 0x4A, 0xCC, 0x4E,
                                                  0x48, 0x86, 0x86, 0x00, 0xE2};
static const BYTE gDigitCells[10] = {0xC4, 0x08, 0x0C, 0x88, 0xC8, 0x48, 0x8C, 0xCC, 0x4C, 0x84};
static const BYTE gPercentCells[PERCENT_GROUP_CELLS] = {0x80, 0x44, 0x8E, 0x00, 0x00};

float GetFolderSize(LPCWSTR pszFolder)
{
    WIN32_FIND_DATAW findData;
    HANDLE           hFind = INVALID_HANDLE_VALUE;
    float            fSum  = 0.0f;
    float            fFileSize;
    WCHAR            szPath[MAX_PATH];

    PathClear(szPath);
    if (!PathCopy(szPath, pszFolder) || !PathAppend(szPath, TEXT("*.*")))
        return 0.0f;
    hFind = FindFirstFileW(szPath, &findData);
    if (hFind == INVALID_HANDLE_VALUE)
        return 0.0f;
    do {
        if (findData.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (IsDotEntry(findData.cFileName))
                continue;
            // A subfolder whose path would not fit a path buffer cannot be searched, so it
            // counts as empty rather than as a cut-short path that names another folder.
            PathClear(szPath);
            if (PathCopy(szPath, pszFolder) && PathAppend(szPath, findData.cFileName) &&
                PathAppend(szPath, TEXT("\\")))
                fSum += GetFolderSize(szPath);
        } else {
            fFileSize =
                (float)findData.nFileSizeHigh * 4294967296.0f + (float)findData.nFileSizeLow;
            fSum += fFileSize;
        }
    } while (FindNextFileW(hFind, &findData));

    FindClose(hFind);
    return fSum;
}

// The layout has digit forms for 0 to 100 only; anything outside shows its nearest end, so the
// line never reads as a different number.
static int ClampPercent(int nPercent)
{
    if (nPercent < 0)
        return 0;
    if (nPercent > 100)
        return 100;
    return nPercent;
}

static void BuildLine(BYTE *pLine, int nPercent)
{
    int nPercentValue = ClampPercent(nPercent);
    int nTens         = nPercentValue / 10;
    int nOnes         = nPercentValue - 10 * nTens;
    int nCell         = LEADING_CELLS;

    memset(pLine, 0, BRAILLE_LINE_CELLS);
    memcpy(pLine, gLeadingCells, LEADING_CELLS);
    if (nPercentValue == 100) {
        pLine[nCell++] = gDigitCells[1];
        pLine[nCell++] = gDigitCells[0];
        pLine[nCell++] = gDigitCells[0];
    } else if (nPercentValue >= 10) {
        pLine[nCell++] = gDigitCells[nTens];
        pLine[nCell++] = gDigitCells[nOnes];
    } else {
        pLine[nCell++] = gDigitCells[nOnes];
    }
    memcpy(pLine + nCell, gPercentCells, PERCENT_GROUP_CELLS);
}

static void WriteLine(int nPercent)
{
    BYTE line[BRAILLE_LINE_CELLS];

    BuildLine(line, nPercent);
    // A display that refuses the line changes nothing about the copy.
    DeviceIoControl(ghBrlDevice, IOCTL_BRAILLE_WRITE_LINE, line, BRAILLE_LINE_CELLS, NULL, 0, NULL,
                    NULL);
}

// Whole percent of copied over total, the quotient in single precision. A second pass over the
// application folder carries the count past the total: the value is not capped here, so each new
// whole percent past 100 still rewrites the line (which shows 100). A quotient too large for an
// int saturates instead of overflowing.
static int CopiedPercent(void)
{
    float  fQuotient;
    double dPercent;

    if (gullCopiedSize == 0 || gullTotalSize == 0)
        return 0;
    fQuotient = (float)gullCopiedSize / (float)gullTotalSize;
    dPercent  = (double)fQuotient * 100.0;
    if (dPercent >= (double)INT_MAX)
        return INT_MAX;
    return (int)dPercent;
}

DWORD CALLBACK CopyProgressRoutine(LARGE_INTEGER TotalFileSize, LARGE_INTEGER TotalBytesTransferred,
                                   LARGE_INTEGER StreamSize, LARGE_INTEGER StreamBytesTransferred,
                                   DWORD dwStreamNumber, DWORD dwCallbackReason, HANDLE hSourceFile,
                                   HANDLE hDestinationFile, LPVOID lpData)
{
    ULONGLONG ullTransferred = (ULONGLONG)TotalBytesTransferred.QuadPart;
    int       nPercent;

    (void)TotalFileSize;
    (void)StreamSize;
    (void)StreamBytesTransferred;
    (void)dwStreamNumber;
    (void)dwCallbackReason;
    (void)hSourceFile;
    (void)hDestinationFile;
    (void)lpData;

    // A new file reports from 0 again: only what exceeds the previous report is new.
    if (ullTransferred > gullLastTransferred)
        gullCopiedSize += ullTransferred - gullLastTransferred;
    gullLastTransferred = (ULONGLONG)(float)ullTransferred;

    nPercent = CopiedPercent();
    if (nPercent == gnLastPercent)
        return PROGRESS_CONTINUE;
    gnLastPercent = nPercent;
    if (ghBrlDevice != INVALID_HANDLE_VALUE)
        WriteLine(nPercent);
    return PROGRESS_CONTINUE;
}

void ShowPercent(int nPercent)
{
    if (ghBrlDevice != INVALID_HANDLE_VALUE)
        WriteLine(nPercent);
}
