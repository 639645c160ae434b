// The operating-system image update procedure and its process-wide state.
#include "osupdate/OSUPDATE.h"

WCHAR g_UpdateDir[MAX_PATH];
WCHAR g_ImagePath[MAX_PATH];
DWORD g_EbootUpdate = 0;
DWORD g_ImageStart  = 0;
DWORD g_ImageLen    = 0;
DWORD g_LaunchAddr  = 0;
