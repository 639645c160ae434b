// Where an update comes from: the storage roots, the presence tests of the update folder and its
// images, and the choice of one image among several.
#pragma once

#include "platform/ce.h"

// Attempts of the root probe, and the pause after each failed one.
#define ROOT_PROBE_ATTEMPTS 29
#define ROOT_PROBE_SLEEP_MS 100

// Characters of a file name behind its first "_" that decide which image wins.
#define UPDATE_KEY_LENGTH 6

// 1 when a file search for the path (which may hold wildcards) finds an entry, else 0 with the
// search's last-error code left in place. Nothing is logged.
DWORD IsExistPath(LPCWSTR pszPath);

// The bare root name that a storage selector picks. The probes look for an update on "USB" for
// selector 2; the installers take it from "SMD". 3 is "SD", anything else "flashdisk".
LPCWSTR ProbeRootName(DWORD dwSelector);
LPCWSTR UpdateRootName(DWORD dwSelector);

// Searches for the bare root name up to 29 times, sleeping 100 ms after each miss (the last one
// included, so a missing root costs 2.9 s). Logs "Find %s success \r\n" and returns 1 when the
// root is found; returns 0 without a line, so that the caller logs its own failure.
DWORD FindStorageRoot(LPCWSTR pszRoot);

// pszPath holds the update folder followed by an image pattern; it becomes the folder, "\" and
// the name of the match with the greatest key (the up to six characters behind the first "_",
// compared as text; the first enumerated wins a tie). Logs "Update File Path : %s \r\n".
void GetUpdateFilePath(WCHAR *pszPath, LPCWSTR pszFolder);

// 1 when the update folder on the selected root holds an NK image, else 0; each failure logs its
// own line.
DWORD IsExistImageFile(DWORD dwSelector);
