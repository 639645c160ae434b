// One platform call each, made and undone, answering only whether it succeeded: for tables that
// ask "does this call reach the entry?".
#pragma once

#include "platform/ce.h"

namespace qs_test {

inline BOOL Opens(const char16_t *path, DWORD access, DWORD disposition)
{
    HANDLE h = CreateFileW(path, access, 0, NULL, disposition, 0, NULL);
    return h != INVALID_HANDLE_VALUE && CloseHandle(h);
}

inline BOOL Finds(const char16_t *pattern)
{
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(pattern, &data);
    return search != INVALID_HANDLE_VALUE && FindClose(search);
}

inline BOOL Starts(const char16_t *program)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program, NULL, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return FALSE;
    return CloseHandle(process.hThread) && CloseHandle(process.hProcess);
}

}  // namespace qs_test
