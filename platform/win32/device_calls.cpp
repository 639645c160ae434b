// The device-only calls that the desktop's libraries lack, for the conformance build. The build
// is linked, never run: the storage manager calls refuse as a device without a store would.
#include "platform/ce.h"

#include <stdarg.h>

// The records the device's drivers and programs exchange keep their 32-bit ABI sizes.
static_assert(sizeof(DWORD) == 4, "DWORD is 32 bits on the device");
static_assert(sizeof(WCHAR) == 2, "WCHAR is a UTF-16 code unit on the device");
static_assert(sizeof(STARTUPINFOW) == 68, "STARTUPINFOW is 68 bytes on a 32-bit ABI");
static_assert(sizeof(PARTINFO) == 296, "PARTINFO is 296 bytes on the device");

// One kernel debug line holds at most 383 characters and its terminator.
#define NKDBG_CHARS 384

extern "C" void NKDbgPrintfW(LPCWSTR lpszFmt, ...)
{
    WCHAR szLine[NKDBG_CHARS];
    va_list args;

    va_start(args, lpszFmt);
    // _vsnwprintf does not terminate a line that fills the buffer.
    _vsnwprintf(szLine, NKDBG_CHARS - 1, lpszFmt, args);
    va_end(args);
    szLine[NKDBG_CHARS - 1] = 0;
    OutputDebugStringW(szLine);
}

extern "C" HANDLE WINAPI OpenStore(LPCWSTR szDeviceName)
{
    (void)szDeviceName;
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
}

extern "C" HANDLE WINAPI FindFirstPartition(HANDLE hStore, PPARTINFO pPartInfo)
{
    (void)hStore;
    (void)pPartInfo;
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
}

extern "C" BOOL WINAPI FindClosePartition(HANDLE hSearch)
{
    (void)hSearch;
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}
