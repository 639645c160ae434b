#include "shell/devices.h"

#include "common/qs_common.h"

PROCESS_INFORMATION g_ProcessInfo;

static HANDLE OpenDriver(LPCWSTR pszName, DWORD dwFlags)
{
    return CreateFileW(pszName, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, dwFlags,
                       NULL);
}

static BOOL SendWord(HANDLE hDevice, DWORD dwCode, DWORD dwWord)
{
    DWORD dwReturned = 0;

    return DeviceIoControl(hDevice, dwCode, &dwWord, sizeof(dwWord), NULL, 0, &dwReturned, NULL);
}

BYTE GetBootKeyStatus(void)
{
    BYTE   bState     = 0;
    DWORD  dwReturned = 0;
    HANDLE hPower     = INVALID_HANDLE_VALUE;

    hPower = OpenDriver(TEXT("PWR1:"), 0);
    if (hPower == INVALID_HANDLE_VALUE) {
        NKDbgPrintfW(TEXT("[QUORSHELL] CreateFile PWR fail \r\n"));
        goto done;
    }
    if (!DeviceIoControl(hPower, PWR_IOCTL_GET_BOOT_KEY_STATUS, NULL, 0, &bState, sizeof(bState),
                         &dwReturned, NULL)) {
        NKDbgPrintfW(
            TEXT("[QUORSHELL] DeviceIoControl PWR PWR_IOCTL_GET_BOOT_KEY_STATUS fail \r\n"));
        bState = 0;
    }

done:
    if (hPower != INVALID_HANDLE_VALUE)
        CloseHandle(hPower);
    return bState;
}

void SetOSUpdateMode(DWORD dwOn)
{
    HANDLE hPower = INVALID_HANDLE_VALUE;

    hPower = OpenDriver(TEXT("PWR1:"), 0);
    if (hPower == INVALID_HANDLE_VALUE) {
        NKDbgPrintfW(TEXT("[QUORSHELL] CreateFile PWR fail \r\n"));
        return;
    }
    if (!SendWord(hPower, SET_OS_UPDATE_MODE, dwOn ? OS_UPDATE_MODE_ON : OS_UPDATE_MODE_OFF))
        NKDbgPrintfW(TEXT("[QUORSHELL] DeviceIoControl PWR SET_OS_UPDATE_MODE fail \r\n"));
    CloseHandle(hPower);
}

void SystemReboot(void)
{
    HANDLE hPower = INVALID_HANDLE_VALUE;

    // The caller relies only on the request returning: nothing is logged.
    hPower = OpenDriver(TEXT("PWR1:"), FILE_ATTRIBUTE_NORMAL);
    if (hPower == INVALID_HANDLE_VALUE)
        return;
    SendWord(hPower, PWR_IOCTL_REBOOT, 1);
    CloseHandle(hPower);
}

void SendAppExecuteFlag(DWORD dwFlag)
{
    LONG   lSerial    = 0;
    DWORD  dwReturned = 0;
    HANDLE hPower     = INVALID_HANDLE_VALUE;

    hPower = OpenDriver(TEXT("PWR1:"), 0);
    if (hPower == INVALID_HANDLE_VALUE) {
        NKDbgPrintfW(TEXT("[QUORSHELL] CreateFile PWR fail \r\n"));
        return;
    }
    if (!SendWord(hPower, SET_APP_EXECUTE_FLAG, dwFlag))
        NKDbgPrintfW(TEXT("[QUORSHELL] DeviceIoControl PWR SET_APP_EXECUTE_FLAG fail \r\n"));
    if (!DeviceIoControl(hPower, PWR_IOCTL_GET_SN, NULL, 0, &lSerial, sizeof(lSerial), &dwReturned,
                         NULL))
        NKDbgPrintfW(TEXT("[QUORSHELL] DeviceIoControl PWR PWR_IOCTL_GET_SN fail \r\n"));
    else
        NKDbgPrintfW(TEXT("[QUORSHELL] DeviceIoControl PWR PWR_IOCTL_GET_SN success. SN: %d \r\n"),
                     lSerial);
    CloseHandle(hPower);
}

DWORD QKPDeviceControl(DWORD dwDevice, DWORD dwControl)
{
    DWORD  dwResult = 0;
    HANDLE hSwitch  = INVALID_HANDLE_VALUE;

    printf("device = %xh, control = %xh\r\n", (unsigned)dwDevice, (unsigned)dwControl);
    hSwitch = OpenDriver(TEXT("QKP1:"), FILE_ATTRIBUTE_NORMAL);
    if (hSwitch == INVALID_HANDLE_VALUE)
        goto done;
    if (!SendWord(hSwitch, QKP_IOCTL_POWER_CONTROL, (dwDevice << 8) | dwControl)) {
        printf("deviceio POWER control fail\r\n");
        goto done;
    }
    if (!SendWord(hSwitch, QKP_IOCTL_RESET_CONTROL, dwDevice)) {
        printf("deviceio RESET control fail\r\n");
        goto done;
    }
    dwResult = 1;

done:
    if (hSwitch != INVALID_HANDLE_VALUE)
        CloseHandle(hSwitch);
    return dwResult;
}

DWORD IsExistFile(LPCWSTR pszPath)
{
    HANDLE hFile = INVALID_HANDLE_VALUE;

    hFile = CreateFileW(pszPath, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return 0;
    CloseHandle(hFile);
    return 1;
}

DWORD RunProgram(LPCWSTR pszProgram, LPWSTR pszCommandLine)
{
    STARTUPINFOW startup;

    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    memset(&g_ProcessInfo, 0, sizeof(g_ProcessInfo));
    if (!CreateProcessW(pszProgram, pszCommandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                        &g_ProcessInfo))
        return 0;
    // Nothing waits for the program or uses its handles.
    CloseHandle(g_ProcessInfo.hThread);
    CloseHandle(g_ProcessInfo.hProcess);
    return 1;
}
