#include "platform/probe/ce_probe.h"

#include "platform/ce.h"

// Sizes that hold on the device and on the host alike.
static_assert(sizeof(PARTINFO) == 296, "PARTINFO is 296 bytes on the device");
static_assert(sizeof(SYSTEMTIME) == 16, "SYSTEMTIME is eight 16-bit words");
static_assert(sizeof(WCHAR) == 2, "WCHAR is a UTF-16 code unit");
static_assert(sizeof(DWORD) == 4, "DWORD is 32 bits");

#define PROBE_DIR TEXT("\\probe")
#define PROBE_DISK TEXT("DSK1:")
#define PROBE_SET_SECTOR_ADDR CTL_CODE(FILE_DEVICE_DISK, 0x7F5, METHOD_BUFFERED, FILE_ANY_ACCESS)

// 100 ms of silence: 8 kHz, mono, 8 bits.
#define WAVE_HEADER_BYTES 44
#define WAVE_DATA_BYTES 800
#define WAVE_RATE 8000

typedef struct _PROBECOPY {
    DWORD dwCalls;
    LONGLONG llTotal;
} PROBECOPY;

static void ProbeFail(LPCWSTR pszCall)
{
    NKDbgPrintfW(TEXT("[Probe] %s fail, error %u \r\n"), pszCall, GetLastError());
}

static DWORD CALLBACK ProbeCopyProgress(LARGE_INTEGER TotalFileSize,
                                        LARGE_INTEGER TotalBytesTransferred,
                                        LARGE_INTEGER StreamSize,
                                        LARGE_INTEGER StreamBytesTransferred, DWORD dwStreamNumber,
                                        DWORD dwCallbackReason, HANDLE hSourceFile,
                                        HANDLE hDestinationFile, LPVOID lpData)
{
    PROBECOPY *pCopy = (PROBECOPY *)lpData;

    (void)TotalBytesTransferred;
    (void)StreamSize;
    (void)StreamBytesTransferred;
    (void)dwStreamNumber;
    (void)dwCallbackReason;
    (void)hSourceFile;
    (void)hDestinationFile;
    pCopy->dwCalls++;
    pCopy->llTotal = TotalFileSize.QuadPart;
    return PROGRESS_CONTINUE;
}

static void ProbePutWord(BYTE *pb, DWORD dwValue, DWORD cb)
{
    DWORD i;

    for (i = 0; i < cb; i++)
        pb[i] = (BYTE)(dwValue >> (8 * i));
}

// A PCM WAV file that the device's sound player accepts.
static void ProbeBuildWave(BYTE *pb)
{
    DWORD i;

    memcpy(pb, "RIFF", 4);
    ProbePutWord(pb + 4, WAVE_HEADER_BYTES - 8 + WAVE_DATA_BYTES, 4);
    memcpy(pb + 8, "WAVEfmt ", 8);
    ProbePutWord(pb + 16, 16, 4);         // fmt chunk size
    ProbePutWord(pb + 20, 1, 2);          // PCM
    ProbePutWord(pb + 22, 1, 2);          // channels
    ProbePutWord(pb + 24, WAVE_RATE, 4);  // samples per second
    ProbePutWord(pb + 28, WAVE_RATE, 4);  // bytes per second
    ProbePutWord(pb + 32, 1, 2);          // block align
    ProbePutWord(pb + 34, 8, 2);          // bits per sample
    memcpy(pb + 36, "data", 4);
    ProbePutWord(pb + 40, WAVE_DATA_BYTES, 4);
    for (i = 0; i < WAVE_DATA_BYTES; i++)
        pb[WAVE_HEADER_BYTES + i] = 0x80;
}

static int ProbeWriteFile(LPCWSTR pszPath, LPCVOID pv, DWORD cb)
{
    int iResult = 0;
    DWORD dwWritten = 0;
    HANDLE hFile = INVALID_HANDLE_VALUE;

    hFile =
        CreateFileW(pszPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE) {
        ProbeFail(TEXT("CreateFileW"));
        goto done;
    }
    if (!WriteFile(hFile, pv, cb, &dwWritten, NULL) || dwWritten != cb) {
        ProbeFail(TEXT("WriteFile"));
        goto done;
    }
    iResult = 1;

done:
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    return iResult;
}

// Writes the text, reads it back through the same handle and checks it narrows to pszNarrow.
static int ProbeRoundTrip(LPCWSTR pszPath, LPCWSTR pszText, const char *pszNarrow)
{
    int iResult = 0;
    DWORD cbText = (DWORD)(wcslen(pszText) * sizeof(WCHAR));
    DWORD dwDone = 0;
    DWORD dwHigh = 0;
    HANDLE hFile = INVALID_HANDLE_VALUE;
    WCHAR *pszBack = NULL;
    char szBack[64];

    hFile = CreateFileW(pszPath, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE) {
        ProbeFail(TEXT("CreateFileW"));
        goto done;
    }
    if (!WriteFile(hFile, pszText, cbText, &dwDone, NULL) || dwDone != cbText) {
        ProbeFail(TEXT("WriteFile"));
        goto done;
    }
    if (GetFileSize(hFile, &dwHigh) != cbText || dwHigh != 0) {
        ProbeFail(TEXT("GetFileSize"));
        goto done;
    }
    if (SetFilePointer(hFile, 0, NULL, FILE_BEGIN) != 0) {
        ProbeFail(TEXT("SetFilePointer"));
        goto done;
    }
    // One character more than the file holds: a read at the end comes back short.
    pszBack = (WCHAR *)LocalAlloc(LMEM_FIXED, cbText + sizeof(WCHAR));
    if (pszBack == NULL) {
        ProbeFail(TEXT("LocalAlloc"));
        goto done;
    }
    if (!ReadFile(hFile, pszBack, cbText + sizeof(WCHAR), &dwDone, NULL) || dwDone != cbText) {
        ProbeFail(TEXT("ReadFile"));
        goto done;
    }
    pszBack[cbText / sizeof(WCHAR)] = 0;
    if (wcscmp(pszBack, pszText) != 0) {
        ProbeFail(TEXT("wcscmp"));
        goto done;
    }
    if (wcstombs(szBack, pszBack, sizeof(szBack)) != strlen(pszNarrow) ||
        strcmp(szBack, pszNarrow) != 0) {
        ProbeFail(TEXT("wcstombs"));
        goto done;
    }
    iResult = 1;

done:
    if (pszBack != NULL)
        LocalFree(pszBack);
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    return iResult;
}

// Copies, moves, and checks that a read-only file refuses deletion until it is made normal.
static int ProbeCopyMove(LPCWSTR pszData, LPCWSTR pszCopy, LPCWSTR pszMoved, DWORD cbData)
{
    PROBECOPY copy;

    memset(&copy, 0, sizeof(copy));
    if (!CopyFileExW(pszData, pszCopy, ProbeCopyProgress, &copy, NULL, COPY_FILE_FAIL_IF_EXISTS)) {
        ProbeFail(TEXT("CopyFileExW"));
        return 0;
    }
    if (copy.dwCalls == 0 || copy.llTotal != (LONGLONG)cbData) {
        NKDbgPrintfW(TEXT("[Probe] CopyFileExW progress: %u calls \r\n"), copy.dwCalls);
        return 0;
    }
    if (!MoveFileW(pszCopy, pszMoved)) {
        ProbeFail(TEXT("MoveFileW"));
        return 0;
    }
    if (!SetFileAttributesW(pszMoved, FILE_ATTRIBUTE_READONLY)) {
        ProbeFail(TEXT("SetFileAttributesW"));
        return 0;
    }
    SetLastError(NO_ERROR);
    if (DeleteFileW(pszMoved) || GetLastError() != ERROR_ACCESS_DENIED) {
        ProbeFail(TEXT("DeleteFileW of a read-only file"));
        return 0;
    }
    if (!SetFileAttributesW(pszMoved, FILE_ATTRIBUTE_NORMAL)) {
        ProbeFail(TEXT("SetFileAttributesW"));
        return 0;
    }
    return 1;
}

// The folder's text files, by their names before the dot: data and moved, nothing else.
static int ProbeFind(void)
{
    int iResult = 0;
    DWORD dwFound = 0;
    size_t cchBase = 0;
    HANDLE hFind = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW fd;
    WCHAR szPattern[MAX_PATH];
    WCHAR szBase[MAX_PATH];

    wcscpy(szPattern, PROBE_DIR);
    wcscat(szPattern, TEXT("\\*.txt"));
    hFind = FindFirstFileW(szPattern, &fd);
    if (hFind == INVALID_HANDLE_VALUE) {
        ProbeFail(TEXT("FindFirstFileW"));
        goto done;
    }
    do {
        cchBase = wcscspn(fd.cFileName, TEXT("."));
        wcsncpy(szBase, fd.cFileName, cchBase);
        szBase[cchBase] = 0;
        if (wcscmp(szBase, TEXT("data")) != 0 && wcscmp(szBase, TEXT("moved")) != 0) {
            NKDbgPrintfW(TEXT("[Probe] FindNextFileW: stray %s \r\n"), fd.cFileName);
            goto done;
        }
        dwFound++;
    } while (FindNextFileW(hFind, &fd));
    if (GetLastError() != ERROR_NO_MORE_FILES || dwFound != 2) {
        ProbeFail(TEXT("FindNextFileW"));
        goto done;
    }
    iResult = 1;

done:
    if (hFind != INVALID_HANDLE_VALUE)
        FindClose(hFind);
    return iResult;
}

static int ProbeDisk(void)
{
    int iResult = 0;
    DWORD dwSector = 0;
    DWORD dwReturned = 0;
    HANDLE hDisk = INVALID_HANDLE_VALUE;

    hDisk = CreateFileW(PROBE_DISK, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (hDisk == INVALID_HANDLE_VALUE) {
        ProbeFail(TEXT("CreateFileW DSK1:"));
        goto done;
    }
    if (!DeviceIoControl(hDisk, PROBE_SET_SECTOR_ADDR, &dwSector, sizeof(dwSector), NULL, 0,
                         &dwReturned, NULL)) {
        ProbeFail(TEXT("DeviceIoControl"));
        goto done;
    }
    iResult = 1;

done:
    if (hDisk != INVALID_HANDLE_VALUE)
        CloseHandle(hDisk);
    return iResult;
}

static int ProbeStore(void)
{
    int iResult = 0;
    HANDLE hStore = INVALID_HANDLE_VALUE;
    HANDLE hSearch = INVALID_HANDLE_VALUE;
    PARTINFO part;

    hStore = OpenStore(PROBE_DISK);
    if (hStore == INVALID_HANDLE_VALUE) {
        ProbeFail(TEXT("OpenStore"));
        goto done;
    }
    memset(&part, 0, sizeof(part));
    part.cbSize = sizeof(part);
    hSearch = FindFirstPartition(hStore, &part);
    if (hSearch == INVALID_HANDLE_VALUE) {
        ProbeFail(TEXT("FindFirstPartition"));
        goto done;
    }
    NKDbgPrintfW(TEXT("[Probe] partition %s, %s \r\n"), part.szPartitionName, part.szFileSys);
    iResult = 1;

done:
    if (hSearch != INVALID_HANDLE_VALUE && !FindClosePartition(hSearch)) {
        ProbeFail(TEXT("FindClosePartition"));
        iResult = 0;
    }
    if (hStore != INVALID_HANDLE_VALUE)
        CloseHandle(hStore);
    return iResult;
}

// Plays a cue and starts a program, both laid into the probe folder first.
static int ProbeSoundProgram(LPCWSTR pszWave, LPCWSTR pszProgram)
{
    int iResult = 0;
    STARTUPINFOW si;
    PROCESS_INFORMATION pi;
    BYTE abWave[WAVE_HEADER_BYTES + WAVE_DATA_BYTES];

    memset(&si, 0, sizeof(si));
    memset(&pi, 0, sizeof(pi));
    ProbeBuildWave(abWave);
    if (!ProbeWriteFile(pszWave, abWave, sizeof(abWave)))
        goto done;
    if (!PlaySoundW(pszWave, NULL, SND_SYNC)) {
        ProbeFail(TEXT("PlaySoundW"));
        goto done;
    }
    // The host starts any program file that exists; it executes nothing.
    if (!ProbeWriteFile(pszProgram, "MZ", 2))
        goto done;
    si.cb = sizeof(si);
    if (!CreateProcessW(pszProgram, NULL, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        ProbeFail(TEXT("CreateProcessW"));
        goto done;
    }
    iResult = 1;

done:
    if (pi.hThread != NULL)
        CloseHandle(pi.hThread);
    if (pi.hProcess != NULL)
        CloseHandle(pi.hProcess);
    return iResult;
}

int CeProbe(void)
{
    int iResult = 0;
    BOOL fDirMade = FALSE;
    SYSTEMTIME stUtc;
    SYSTEMTIME stLocal;
    char szStamp[80];
    WCHAR szText[80];
    WCHAR szData[MAX_PATH];
    WCHAR szCopy[MAX_PATH];
    WCHAR szMoved[MAX_PATH];
    WCHAR szWave[MAX_PATH];
    WCHAR szProgram[MAX_PATH];

    wsprintfW(szData, TEXT("%s\\%s"), PROBE_DIR, TEXT("data.txt"));
    wsprintfW(szCopy, TEXT("%s\\%s"), PROBE_DIR, TEXT("copy.txt"));
    wsprintfW(szMoved, TEXT("%s\\%s"), PROBE_DIR, TEXT("moved.txt"));
    wsprintfW(szWave, TEXT("%s\\%s"), PROBE_DIR, TEXT("cue.wav"));
    wsprintfW(szProgram, TEXT("%s\\%s"), PROBE_DIR, TEXT("probe.exe"));

    GetSystemTime(&stUtc);
    GetLocalTime(&stLocal);
    if (stUtc.wMonth < 1 || stUtc.wMonth > 12 || stLocal.wMonth < 1 || stLocal.wMonth > 12) {
        NKDbgPrintfW(TEXT("[Probe] GetSystemTime/GetLocalTime: month %u/%u \r\n"),
                     (DWORD)stUtc.wMonth, (DWORD)stLocal.wMonth);
        goto done;
    }
    sprintf(szStamp, "probe %04u-%02u-%02u %02u:%02u:%02u", (unsigned)stUtc.wYear,
            (unsigned)stUtc.wMonth, (unsigned)stUtc.wDay, (unsigned)stUtc.wHour,
            (unsigned)stUtc.wMinute, (unsigned)stUtc.wSecond);
    if (mbstowcs(szText, szStamp, sizeof(szText) / sizeof(szText[0])) != strlen(szStamp)) {
        ProbeFail(TEXT("mbstowcs"));
        goto done;
    }

    if (!CreateDirectoryW(PROBE_DIR, NULL)) {
        ProbeFail(TEXT("CreateDirectoryW"));
        goto done;
    }
    fDirMade = TRUE;
    if (!ProbeRoundTrip(szData, szText, szStamp))
        goto done;
    if (!ProbeCopyMove(szData, szCopy, szMoved, (DWORD)(wcslen(szText) * sizeof(WCHAR))))
        goto done;
    if (!ProbeFind() || !ProbeDisk() || !ProbeStore())
        goto done;
    if (!ProbeSoundProgram(szWave, szProgram))
        goto done;
    Sleep(1);

    if (!DeleteFileW(szData) || !DeleteFileW(szMoved) || !DeleteFileW(szWave) ||
        !DeleteFileW(szProgram)) {
        ProbeFail(TEXT("DeleteFileW"));
        goto done;
    }
    if (!RemoveDirectoryW(PROBE_DIR)) {
        ProbeFail(TEXT("RemoveDirectoryW"));
        goto done;
    }
    fDirMade = FALSE;
    printf("%s\n", szStamp);
    NKDbgPrintfW(TEXT("[Probe] done \r\n"));
    iResult = 1;

done:
    // A failed probe leaves nothing of its own behind; a folder it did not make stays.
    if (fDirMade) {
        SetFileAttributesW(szMoved, FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(szData);
        DeleteFileW(szCopy);
        DeleteFileW(szMoved);
        DeleteFileW(szWave);
        DeleteFileW(szProgram);
        RemoveDirectoryW(PROBE_DIR);
    }
    return iResult;
}
