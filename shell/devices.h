// The power controller PWR1:, the peripheral switch QKP1: and program starts.
#pragma once

#include "platform/ce.h"

#define PWR_IOCTL_GET_BOOT_KEY_STATUS 565  // 0x235
#define PWR_IOCTL_REBOOT 567               // 0x237
#define SET_APP_EXECUTE_FLAG 773           // 0x305
#define SET_OS_UPDATE_MODE 1045            // 0x415
#define PWR_IOCTL_GET_SN 1281              // 0x501
#define QKP_IOCTL_POWER_CONTROL 20044      // 0x4E4C
#define QKP_IOCTL_RESET_CONTROL 20052      // 0x4E54

#define OS_UPDATE_MODE_ON 0xACECECAC
#define OS_UPDATE_MODE_OFF 0

// Filled by the last RunProgram; nothing reads it after the start.
extern PROCESS_INFORMATION g_ProcessInfo;

BYTE  GetBootKeyStatus(void);
void  SetOSUpdateMode(DWORD dwOn);
void  SystemReboot(void);
void  SendAppExecuteFlag(DWORD dwFlag);
DWORD QKPDeviceControl(DWORD dwDevice, DWORD dwControl);
DWORD IsExistFile(LPCWSTR pszPath);
DWORD RunProgram(LPCWSTR pszProgram, LPWSTR pszCommandLine);
