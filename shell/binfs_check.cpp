// The BINFS partition is checked for its size at every start; a short one leaves the time of the
// finding in a log on the flash disk.
#include "shell/binfs_check.h"

#include "common/qs_common.h"

#define BINFS_STORE TEXT("DSK1:")
#define BINFS_PARTITION TEXT("Part00")
#define BINFS_MIN_SECTORS 21952ULL  // 343 blocks of 64 sectors
#define BINFS_LOG_PATH TEXT("\\flashdisk\\BINFS_CHECK.log")
#define BINFS_LINE_SIZE 260

// The line goes over the start of the log without truncating it, so the file always begins with
// the latest finding.
static void RecordWrongSize(void)
{
    WCHAR      szLine[BINFS_LINE_SIZE];
    SYSTEMTIME now;
    HANDLE     hLog      = INVALID_HANDLE_VALUE;
    DWORD      dwWritten = 0;

    hLog = CreateFileW(BINFS_LOG_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, 0, NULL);
    if (hLog == INVALID_HANDLE_VALUE)
        return;
    GetLocalTime(&now);
    memset(szLine, 0, sizeof(szLine));
    wsprintfW(szLine, TEXT("Check BINFS: %4d/%2d/%2d %2d:%2d \r\n"), now.wYear, now.wMonth,
              now.wDay, now.wHour, now.wMinute);
    // A failed write is not reported: the finding is in the debug log already.
    WriteFile(hLog, szLine, (DWORD)(wcslen(szLine) * sizeof(WCHAR)), &dwWritten, NULL);
    CloseHandle(hLog);
}

void CheckBINFS(void)
{
    PARTINFO info;
    HANDLE   hStore  = INVALID_HANDLE_VALUE;
    HANDLE   hSearch = INVALID_HANDLE_VALUE;

    hStore = OpenStore(BINFS_STORE);
    // The storage manager is outside the shell: a null store counts as a failed open too.
    if (hStore == INVALID_HANDLE_VALUE || hStore == NULL)
        return;

    memset(&info, 0, sizeof(info));
    info.cbSize = sizeof(PARTINFO);
    hSearch     = FindFirstPartition(hStore, &info);
    if (hSearch == INVALID_HANDLE_VALUE) {
        NKDbgPrintfW(TEXT("[QuorShell]CheckBINFS: FindFirstPartition fail \r\n"));
        goto done;
    }
    // Names that fill their field are cut at its end rather than read past it.
    info.szPartitionName[PARTITIONNAMESIZE - 1] = 0;
    info.szFileSys[FILESYSNAMESIZE - 1]         = 0;

    NKDbgPrintfW(TEXT("===============Partition Info====================\r\n"));
    NKDbgPrintfW(TEXT("PartitionName\t==%s \r\n"), info.szPartitionName);
    NKDbgPrintfW(TEXT("FileSys\t\t\t==%s \r\n"), info.szFileSys);
    NKDbgPrintfW(TEXT("NumSectors\t\t==0x%X \r\n"), (DWORD)(info.snNumSectors & 0xFFFFFFFF));
    NKDbgPrintfW(TEXT("==================================================\r\n"));

    // Only the first partition counts, by its exact name; its file system is printed only.
    if (wcscmp(info.szPartitionName, BINFS_PARTITION) != 0)
        goto done;
    NKDbgPrintfW(TEXT("[QuorShell]CheckBINFS: BINFS is exist \r\n"));
    if (info.snNumSectors >= BINFS_MIN_SECTORS) {
        DeleteFileW(BINFS_LOG_PATH);  // a missing log is no error
    } else {
        NKDbgPrintfW(TEXT("[QuorShell]CheckBINFS: BINFS size is wrong size \r\n"));
        RecordWrongSize();
    }

done:
    // The store closes first, then the search, as the storage manager is called on the device.
    CloseHandle(hStore);
    if (hSearch != INVALID_HANDLE_VALUE)
        FindClosePartition(hSearch);
}
