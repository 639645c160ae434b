// Walks over folder trees for the application data and the update folder.
#pragma once

#include "common/qs_common.h"

// "." and "..", which a search of a folder returns besides its own entries.
BOOL IsDotEntry(LPCWSTR pszName);

// Empties a folder given without a trailing backslash: every file and subfolder below it goes,
// the folder itself stays. 1 when it was emptied or cannot be searched; 0 when a file cannot be
// deleted, a child path would not fit a path buffer, or a nested level failed.
DWORD DeleteAllFile(LPCWSTR pszFolder);

// Compares every file below pszSource with its counterpart below pszDest (both given with a
// trailing backslash): same size, same bytes. Folders missing under the destination are made on
// the way; entries only under the destination are not looked at. 1 when all matched or the
// source cannot be searched; 0 at the first difference, error, overlong child path or file of
// 4 GiB or more.
DWORD CheckExeFile(LPCWSTR pszSource, LPCWSTR pszDest);

// Copies the tree below pszSource into pszDest (both with a trailing backslash), making folders
// and overwriting files; each file's progress goes to CopyProgressRoutine. 1 when every file was
// copied or the source cannot be searched; 0 at the first failure, whose partial work stays.
DWORD CopyExeFile(LPCWSTR pszSource, LPCWSTR pszDest);
