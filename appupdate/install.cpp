// The installation of the application data: backup, copy with the braille line, verification of
// the application folder with retries, and the restore after repeated failure.
#include "appupdate/install.h"

#include "appupdate/app_source.h"
#include "appupdate/progress.h"
#include "appupdate/tree_walk.h"
#include "osupdate/update_source.h"

#define NAND_VOLUME TEXT("\\NAND")
#define NAND_ROOT TEXT("\\NAND\\")
#define APPS_FOLDER TEXT("\\NAND\\apps")
#define APPS_BACKUP TEXT("\\NAND\\apps_bk")
#define APPS_FOLDER_SLASH TEXT("\\NAND\\apps\\")
#define APPS_SUBFOLDER TEXT("apps\\")
#define MAX_FAILED_COMPARES 5

static LPCWSTR InstallSourceRoot(DWORD dwSelector)
{
    if (dwSelector == 2)
        return TEXT("\\SMD\\K275D-Update\\APP_DATA\\");
    if (dwSelector == 3)
        return TEXT("\\SD\\K275D-Update\\APP_DATA\\");
    return TEXT("\\flashdisk\\K275D-Update\\APP_DATA\\");
}

// The installed folders that the update replaces: the application folder set aside, the others
// emptied. Failures here are ignored; the copy and the compare decide.
static void PrepareInstalledFolders(void)
{
    if (gdwAppFolderFlag & APP_FOLDER_APPS) {
        NKDbgPrintfW(TEXT("QuorShell: delete apps folder \r\n"));
        MoveFileW(APPS_FOLDER, APPS_BACKUP);
        NKDbgPrintfW(TEXT("CopyAPPFiles: MoveFile %s -> %s \r\n"), APPS_FOLDER, APPS_BACKUP);
    }
    if (gdwAppFolderFlag & APP_FOLDER_LUMHELP) {
        NKDbgPrintfW(TEXT("QuorShell: delete lumhelp folder \r\n"));
        DeleteAllFile(TEXT("\\NAND\\lumhelp"));
    }
    if (gdwAppFolderFlag & APP_FOLDER_MANUAL) {
        NKDbgPrintfW(TEXT("QuorShell: delete manual folder \r\n"));
        DeleteAllFile(TEXT("\\NAND\\manual"));
    }
    if (gdwAppFolderFlag & APP_FOLDER_SOUND) {
        NKDbgPrintfW(TEXT("QuorShell: delete sound folder \r\n"));
        DeleteAllFile(TEXT("\\NAND\\sound"));
    }
}

// Compares the new application folder with its source, copying it again after each failed
// compare; after five failures the previous installation goes back. 1 when verified.
static DWORD VerifyApplicationFolder(LPCWSTR pszSourceRoot)
{
    WCHAR szSourceApps[MAX_PATH];
    DWORD dwFailed = 0;

    PathClear(szSourceApps);
    PathCopy(szSourceApps, pszSourceRoot);
    PathAppend(szSourceApps, APPS_SUBFOLDER);
    for (;;) {
        if (CheckExeFile(szSourceApps, APPS_FOLDER_SLASH)) {
            NKDbgPrintfW(TEXT("CopyAPPFiles: DeleteAllFile %s \r\n"), APPS_BACKUP);
            DeleteAllFile(APPS_BACKUP);
            RemoveDirectoryW(APPS_BACKUP);
            return 1;
        }
        NKDbgPrintfW(TEXT("CopyAPPFiles: CheckExeFile fail \r\n"));
        DeleteAllFile(APPS_FOLDER);
        dwFailed++;
        if (dwFailed >= MAX_FAILED_COMPARES) {
            RemoveDirectoryW(APPS_FOLDER);
            MoveFileW(APPS_BACKUP, APPS_FOLDER);
            NKDbgPrintfW(TEXT("CopyAPPFiles: MoveFile %s -> %s \r\n"), APPS_BACKUP, APPS_FOLDER);
            return 0;
        }
        if (!CopyExeFile(szSourceApps, APPS_FOLDER_SLASH)) {
            NKDbgPrintfW(TEXT("CopyAPPFiles: CopyExeFile fail \r\n"));
            return 0;
        }
    }
}

DWORD CopyAPPFiles(DWORD dwSelector)
{
    DWORD   dwResult      = 1;
    LPCWSTR pszSourceRoot = InstallSourceRoot(dwSelector);

    NKDbgPrintfW(TEXT("QuorShell: CopyAPPFiles ++ \r\n"));
    if (!IsExistPath(NAND_VOLUME)) {
        NKDbgPrintfW(TEXT("QuorShell: CopyAppFiles NAND is not exist \r\n"));
        return 0;
    }
    PrepareInstalledFolders();

    gullCopiedSize      = 0;
    gullLastTransferred = 0;
    gullTotalSize       = (ULONGLONG)GetFolderSize(pszSourceRoot);
    ghBrlDevice         = CreateFileW(BRAILLE_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);

    if (!CopyExeFile(pszSourceRoot, NAND_ROOT))
        NKDbgPrintfW(TEXT("CopyAPPFiles: CopyExeFile fail \r\n"));
    NKDbgPrintfW(TEXT("CopyAPPFiles: gdwAppFolderFlag 0x%X \r\n"), gdwAppFolderFlag);
    if (gdwAppFolderFlag & APP_FOLDER_APPS)
        dwResult = VerifyApplicationFolder(pszSourceRoot);

    ShowPercent(100);
    if (ghBrlDevice != INVALID_HANDLE_VALUE)
        CloseHandle(ghBrlDevice);
    ghBrlDevice = INVALID_HANDLE_VALUE;  // no later line goes to a closed handle
    NKDbgPrintfW(TEXT("OSUPDATE: CopyAPPFiles -- \r\n"));
    return dwResult;
}
