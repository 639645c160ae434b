// Whether the update folder carries application data, and which of its folders.
#pragma once

#include "common/qs_common.h"

// Bits of gdwAppFolderFlag, one for each application-data folder found.
#define APP_FOLDER_APPS 0x1
#define APP_FOLDER_LUMHELP 0x2
#define APP_FOLDER_MANUAL 0x4
#define APP_FOLDER_SOUND 0x8

// The folders the last successful IsExistAPPS found; 0 at program start.
extern DWORD gdwAppFolderFlag;

// 1 when "\<root>\K275D-Update\APP_DATA" exists for the selector (2 "USB", 3 "SD", any other
// "flashdisk"); gdwAppFolderFlag is then rebuilt from the entries named apps, lumhelp, manual and
// sound below it, files counting as folders. 0 when the root is missing, the flag untouched.
DWORD IsExistAPPS(DWORD dwSelector);
