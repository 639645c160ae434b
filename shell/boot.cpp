// The start-up sequence: updates, checks, and the launch of the main application.
#include "appupdate/app_source.h"
#include "appupdate/install.h"
#include "appupdate/tree_walk.h"
#include "common/qs_common.h"
#include "osupdate/OSUPDATE.h"
#include "osupdate/update_source.h"
#include "shell/binfs_check.h"
#include "shell/devices.h"
#include "shell/shell.h"
#include "shell/system_info.h"
#ifdef QS_SAFE_UPDATE
#include "safeupdate/safe_update.h"
#endif

#define UPDATE_FOLDER TEXT("\\flashdisk\\K275D-Update")
#define PRODUCT_SHELL_PATH TEXT("\\windows\\K290DFunctionTest.exe")
#define MAIN_APPLICATION_PATH TEXT("\\NAND\\APPS\\LumTask.exe")
#define PRODUCT_SHELL_BOOT_KEY 16
#define LAUNCH_ATTEMPTS 20
#define LAUNCH_RETRY_MS 100
#define PRODUCT_SHELL_DEVICE 9
#define PRODUCT_SHELL_CONTROL 1
#define STORAGE_FLASHDISK 1
#define RESTART_PAUSE_MS 1000
#define UPDATE_START_CUE TEXT("\\windows\\update_start.wav")
#define SUCCESS_CUE TEXT("\\windows\\success.wav")
#define FAILURE_CUE TEXT("\\windows\\updatefail.wav")
#define RESTART_CUE TEXT("\\windows\\reboot.wav")

// State of one pass; nothing of it outlives the run.
typedef struct _BOOT_RUN {
    BOOL  bImageUpdate;   // an operating-system image was offered and its update ran
    DWORD dwImageResult;  // what that update returned
    BOOL  bAppFailed;     // the application data failed to install
    BYTE  bBootKey;
    DWORD dwAppExecuteFlag;
    WCHAR szPath[MAX_PATH];
} BOOT_RUN;

static void LogTimeLine(LPCWSTR pszFormat)
{
    SYSTEMTIME now;

    GetSystemTime(&now);
    NKDbgPrintfW(pszFormat, now.wHour, now.wMinute, now.wSecond);
}

// Cues play to their end before the sequence goes on; a cue that cannot play changes nothing.
static void PlayCue(LPCWSTR pszCue)
{
    PlaySoundW(pszCue, NULL, 0);
}

static void UpdateOperatingSystem(BOOT_RUN *pRun)
{
    if (IsExistImageFile(STORAGE_FLASHDISK) != 1)
        return;
    SetOSUpdateMode(OS_UPDATE_MODE_ON);
    PlayCue(UPDATE_START_CUE);
    pRun->bImageUpdate  = TRUE;
    pRun->dwImageResult = UpdateSystemImage(STORAGE_FLASHDISK);
}

// Application data: its own start cue when no image update ran; its failure is heard at once,
// its success here only without an image update, whose close announces the whole update.
static void InstallApplicationData(BOOT_RUN *pRun)
{
    if (!IsExistAPPS(STORAGE_FLASHDISK))
        return;
#ifdef QS_SAFE_UPDATE
    // A package whose image was refused is refused whole.
    if (g_UpdateRefused) {
        NKDbgPrintfW(TEXT("[QuorShell] OS update refused: application data not installed \r\n"));
        return;
    }
#endif
    if (!pRun->bImageUpdate) {
        SetOSUpdateMode(OS_UPDATE_MODE_ON);
        PlayCue(UPDATE_START_CUE);
    }
    if (!CopyAPPFiles(STORAGE_FLASHDISK)) {
        PlayCue(FAILURE_CUE);
        pRun->bAppFailed = TRUE;
    } else if (!pRun->bImageUpdate) {
        PlayCue(SUCCESS_CUE);
    }
}

// Announces the image update's outcome; a new image asks for the restart that starts it.
static void CloseImageUpdate(BOOT_RUN *pRun)
{
    if (!pRun->bImageUpdate)
        return;
    if (pRun->dwImageResult) {
        if (!pRun->bAppFailed)
            PlayCue(SUCCESS_CUE);
        PlayCue(RESTART_CUE);
        Sleep(RESTART_PAUSE_MS);
        SystemReboot();
    } else if (!pRun->bAppFailed) {
        PlayCue(FAILURE_CUE);
    }
}

// The update folder is consumed on every start, whatever became of what it offered.
static void RemoveUpdateFolder(BOOT_RUN *pRun)
{
    PathClear(pRun->szPath);
    PathCopy(pRun->szPath, UPDATE_FOLDER);
    DeleteAllFile(pRun->szPath);
    if (!RemoveDirectoryW(pRun->szPath))
        NKDbgPrintfW(TEXT("******** RemoveDirectory %s fail \r\n"), pRun->szPath);
}

#ifdef QS_SAFE_UPDATE
// A failed image update may have left the flash half written; the next start tries again with
// the same folder, UPDATE_TRIES starts in all. The count of tries lives in the folder, so a new
// package starts afresh.
#define UPDATE_TRIES 3
#define UPDATE_TRIES_PATH TEXT("\\flashdisk\\K275D-Update\\UPDATE.TRY")

// The tries made so far; UPDATE_TRIES when the count exists but cannot be read, so that a count
// that cannot be kept ends the tries rather than repeating them.
static DWORD ReadUpdateTries(void)
{
    HANDLE hFile   = INVALID_HANDLE_VALUE;
    DWORD  dwTries = UPDATE_TRIES;
    DWORD  dwRead  = 0;
    BYTE   bTries  = 0;

    hFile = CreateFileW(UPDATE_TRIES_PATH, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (hFile == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND)
            dwTries = 0;
        goto done;
    }
    if (ReadFile(hFile, &bTries, 1, &dwRead, NULL) && dwRead == 1)
        dwTries = bTries;
done:
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    return dwTries;
}

static DWORD WriteUpdateTries(DWORD dwTries)
{
    HANDLE hFile     = INVALID_HANDLE_VALUE;
    DWORD  dwResult  = 0;
    DWORD  dwWritten = 0;
    BYTE   bTries    = (BYTE)dwTries;

    hFile = CreateFileW(UPDATE_TRIES_PATH, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        goto done;
    dwResult = WriteFile(hFile, &bTries, 1, &dwWritten, NULL) && dwWritten == 1;
done:
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    return dwResult;
}

// 1 when the update folder stays for another try of a failed image update.
static DWORD KeepUpdateForRetry(BOOT_RUN *pRun)
{
    DWORD dwTries = 0;

    if (!pRun->bImageUpdate || pRun->dwImageResult)
        return 0;
    // A refused signature is no fault that a later start could mend: the package goes now.
    if (g_UpdateRefused) {
        NKDbgPrintfW(TEXT("[QuorShell] OS update refused: update folder removed \r\n"));
        return 0;
    }
    dwTries = ReadUpdateTries() + 1;
    if (dwTries >= UPDATE_TRIES) {
        NKDbgPrintfW(TEXT("[QuorShell] OS update failed, last try: update folder removed \r\n"));
        return 0;
    }
    if (!WriteUpdateTries(dwTries)) {
        NKDbgPrintfW(TEXT("[QuorShell] OS update tries not kept: update folder removed \r\n"));
        return 0;
    }
    NKDbgPrintfW(TEXT("[QuorShell] OS update failed, try %d of %d: update folder kept \r\n"),
                 dwTries, UPDATE_TRIES);
    return 1;
}
#endif

// 1 when the function-test program started and the run ends with it.
static DWORD RunProductShell(BOOT_RUN *pRun)
{
    DWORD dwAttempt = 0;
    DWORD dwFound   = 0;

    NKDbgPrintfW(TEXT("[QuorShell] Check and Run ProductShell \r\n"));
    PathClear(pRun->szPath);
    PathCopy(pRun->szPath, PRODUCT_SHELL_PATH);
    for (dwAttempt = 0; dwAttempt < LAUNCH_ATTEMPTS && !dwFound; dwAttempt++)
        dwFound = IsExistPath(pRun->szPath);
    if (!dwFound)
        return 0;
    QKPDeviceControl(PRODUCT_SHELL_DEVICE, PRODUCT_SHELL_CONTROL);
    LogTimeLine(TEXT("Run ProductShell %.2d:%.2d:%.2d \r\n"));
    if (RunProgram(PRODUCT_SHELL_PATH, NULL))
        return 1;
    NKDbgPrintfW(TEXT("Run ProductShell fail \r\n"));
    return 0;
}

static void RunMainApplication(BOOT_RUN *pRun)
{
    DWORD dwAttempt = 0;

    for (dwAttempt = 0; dwAttempt < LAUNCH_ATTEMPTS; dwAttempt++) {
        if (IsExistFile(MAIN_APPLICATION_PATH)) {
            LogTimeLine(TEXT("Run Application %.2d:%.2d:%.2d \r\n"));
            pRun->dwAppExecuteFlag = RunProgram(MAIN_APPLICATION_PATH, NULL) ? QS_FLAG_ON : 0;
            return;
        }
        Sleep(LAUNCH_RETRY_MS);
    }
}

int QuorShellMain(void)
{
    BOOT_RUN run;

    memset(&run, 0, sizeof(run));
    LogTimeLine(TEXT("QuorShell Start %.2d:%.2d:%.2d \r\n"));

    UpdateOperatingSystem(&run);
    InstallApplicationData(&run);
#ifdef QS_SAFE_UPDATE
    if (!KeepUpdateForRetry(&run))
        RemoveUpdateFolder(&run);
#else
    RemoveUpdateFolder(&run);
#endif
    // The serial number is reconciled before the restart cue, so that a TOC that the image update
    // re-initialised gets it back on this same start.
    CheckSystemInfo();
    CloseImageUpdate(&run);
    SetOSUpdateMode(OS_UPDATE_MODE_OFF);
    CheckBINFS();

    run.bBootKey = GetBootKeyStatus();
    NKDbgPrintfW(TEXT("[QuorShell] BootKeyStat %d \r\n"), run.bBootKey);
    if (run.bBootKey == PRODUCT_SHELL_BOOT_KEY && RunProductShell(&run))
        return 0;
    RunMainApplication(&run);
    SendAppExecuteFlag(run.dwAppExecuteFlag);
    NKDbgPrintfW(TEXT("QuorShell End \r\n"));
    return 0;
}
