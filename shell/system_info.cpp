// The serial number survives a re-initialised TOC in the name of the system-information file.
#include "shell/system_info.h"

#include "common/qs_common.h"
#include "osupdate/update_source.h"
#include "toc/toc.h"
#ifdef QS_SAFE_UPDATE
#include "safeupdate/safe_update.h"
#endif

#define SYS_INFO_PATTERN TEXT("\\NAND\\M7LITE_*.sys")
#define SYS_INFO_NAME_FORMAT "\\NAND\\M7LITE_%s.sys"
#define SERIAL_BYTES 16
#define SERIAL_DIGITS 10
#define SERIAL_DIGITS_AT 6  // the last ten SerialNumber bytes, BootCfg offsets 50 to 59
#define SERIAL_CHAR_BASE 0x30
#define MAC_BYTES 6
#define NARROW_NAME_SIZE 100

static void LogSerialBytes(void)
{
    DWORD i = 0;

    for (i = 0; i < SERIAL_BYTES; i++)
        NKDbgPrintfW(TEXT("%x"), g_pBootCfg->SerialNumber[i]);
    NKDbgPrintfW(TEXT("\r\n"));
}

// Present unless all sixteen bytes are zero.
static BOOL IsSerialPresent(void)
{
    DWORD i      = 0;
    DWORD dwZero = 0;

    for (i = 0; i < SERIAL_BYTES; i++)
        if (g_pBootCfg->SerialNumber[i] == 0)
            dwZero++;
    return dwZero < SERIAL_BYTES;
}

// "0"-"9", "a"-"f" and "A"-"F" give 0 to 15; anything else gives -1 and sets nothing.
static int SerialDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The serial in the TOC and no file: the file is created, named with the serial's ten
// characters and holding the MAC address.
static void CreateSysInfoFile(WCHAR *pszPath)
{
    char   szSerial[SERIAL_DIGITS + 1];
    char   szName[MAX_PATH];
    HANDLE hFile     = INVALID_HANDLE_VALUE;
    DWORD  dwWritten = 0;
    DWORD  i         = 0;

    NKDbgPrintfW(TEXT("Sys info is not exist. But SN is exist in TOC \r\n"));
    PathClear(pszPath);
    memset(szSerial, 0, sizeof(szSerial));
    // Each byte becomes a character by adding "0": only 0 to 9 give digits.
    for (i = 0; i < SERIAL_DIGITS; i++)
        szSerial[i] = (char)(g_pBootCfg->SerialNumber[SERIAL_DIGITS_AT + i] + SERIAL_CHAR_BASE);
    memset(szName, 0, sizeof(szName));
    sprintf(szName, SYS_INFO_NAME_FORMAT, szSerial);
    mbstowcs(pszPath, szName, strlen(szName));
    NKDbgPrintfW(TEXT("Sys Info Path %s \r\n"), pszPath);

    hFile = CreateFileW(pszPath, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, 0, NULL);
    if (hFile == INVALID_HANDLE_VALUE) {
        NKDbgPrintfW(TEXT("CreateFile Sys Info File fail \r\n"));
        goto done;
    }
    if (!WriteFile(hFile, g_pBootCfg->MacAddress, MAC_BYTES, &dwWritten, NULL))
        NKDbgPrintfW(TEXT("WriteFile Sys Info File fail \r\n"));

done:
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
}

// No serial in the TOC but a file: the characters after the first "_" of its name go back into
// the TOC, which is written to the flash and read again.
static void RestoreSerialFromFile(HANDLE hDisk, LPCWSTR pszPattern)
{
    WIN32_FIND_DATAW findData;
    HANDLE           hSearch = INVALID_HANDLE_VALUE;
    char             szNarrow[NARROW_NAME_SIZE];
    size_t           nUnderscore = 0;
    int              nValue      = 0;
    DWORD            i           = 0;

    NKDbgPrintfW(TEXT("SN is not exist in TOC. But sys info is exist \r\n"));
    // Several matching files: the first one the file system returns is used, in whatever order
    // it enumerates them.
    hSearch = FindFirstFileW(pszPattern, &findData);
    if (hSearch == INVALID_HANDLE_VALUE)
        return;  // gone since the probe: the TOC is left as it is rather than written unchanged
    FindClose(hSearch);

    memset(szNarrow, 0, sizeof(szNarrow));
    nUnderscore = wcscspn(findData.cFileName, TEXT("_"));
    if (findData.cFileName[nUnderscore] != 0 &&
        wcstombs(szNarrow, &findData.cFileName[nUnderscore + 1], SERIAL_DIGITS) == (size_t)-1)
        memset(szNarrow, 0, sizeof(szNarrow));  // a name that does not narrow restores nothing
    for (i = 0; i < SERIAL_DIGITS; i++) {
        nValue = SerialDigitValue(szNarrow[i]);
        if (nValue >= 0)
            g_pBootCfg->SerialNumber[SERIAL_DIGITS_AT + i] = (BYTE)nValue;
    }
    NKDbgPrintfW(TEXT("Serial Number from Sys Info File \r\n"));
    LogSerialBytes();
#ifdef QS_SAFE_UPDATE
    // A TOC write that fails leaves block 5 erased or half written, which starts nothing: it is
    // tried again at once.
    SafeTocWrite(hDisk);
#else
    // Each logs its own failure; a serial that did not reach the flash is restored next start.
    TOC_Write(hDisk);
#endif
    TOC_Read(hDisk);
}

void CheckSystemInfo(void)
{
    WCHAR  szPath[MAX_PATH];
    HANDLE hDisk    = INVALID_HANDLE_VALUE;
    BOOL   bSerial  = FALSE;
    BOOL   bSysInfo = FALSE;

    hDisk =
        CreateFileW(TEXT("DSK1:"), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (hDisk == INVALID_HANDLE_VALUE) {
        NKDbgPrintfW(TEXT("[QuorShell]CheckSystemInfo: CreateFile DSK1 fail \r\n"));
        return;
    }
#ifdef QS_SAFE_UPDATE
    // The defaults carry no image: written back with a restored serial they would drop ID[3]
    // of a TOC that was only unreadable for a moment. The read is tried again, and a TOC that
    // still cannot be read stays as it is.
    if (!SafeTocRead(hDisk)) {
        NKDbgPrintfW(TEXT("[QuorShell]CheckSystemInfo: TOC_Read fail. TOC left as it is \r\n"));
        goto done;
    }
#else
    // A refused TOC is replaced in memory only; the flash gets the defaults only together with a
    // serial restored from the file.
    if (!TOC_Read(hDisk)) {
        NKDbgPrintfW(TEXT("[QuorShell]CheckSystemInfo: TOC_Read fail. So Initialize TOC \r\n"));
        TOC_Init();
    }
#endif

    NKDbgPrintfW(TEXT("Device Serial \r\n"));
    LogSerialBytes();
    bSerial = IsSerialPresent();
    if (bSerial)
        NKDbgPrintfW(TEXT("Serial Number is exist in TOC \r\n"));
    else
        NKDbgPrintfW(TEXT("Serial Number is not exist in TOC \r\n"));

    PathClear(szPath);
    PathCopy(szPath, SYS_INFO_PATTERN);
    bSysInfo = IsExistPath(szPath) == 1;

    // Both present: a file naming another serial is not told apart.
    if (bSerial && !bSysInfo)
        CreateSysInfoFile(szPath);
    else if (!bSerial && bSysInfo)
        RestoreSerialFromFile(hDisk, szPath);
    else if (!bSerial && !bSysInfo)
        NKDbgPrintfW(TEXT("SN is not exist in TOC. And sys info is not exist either \r\n"));

#ifdef QS_SAFE_UPDATE
done:
#endif
    CloseHandle(hDisk);
}
