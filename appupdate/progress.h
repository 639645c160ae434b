// The percentage line on the braille display while the application data is installed.
#pragma once

#include "common/qs_common.h"

#define BRAILLE_DEVICE_NAME TEXT("BRL1:")
#define IOCTL_BRAILLE_WRITE_LINE 4
#define BRAILLE_LINE_CELLS 32

extern HANDLE    ghBrlDevice;          // "BRL1:" while the installation copies, else invalid
extern int       gnLastPercent;        // last percentage the progress routine showed; -1 at start
extern ULONGLONG gullTotalSize;        // bytes of the tree being installed
extern ULONGLONG gullCopiedSize;       // bytes copied so far, over every file and pass
extern ULONGLONG gullLastTransferred;  // the previous progress report's transferred count

// Sum of the sizes of every file below pszFolder (given with a trailing backslash), added in
// single precision; 0.0 when the folder cannot be searched.
float GetFolderSize(LPCWSTR pszFolder);

// The copy progress routine: counts the bytes copied over all files and rewrites the line when
// the whole percentage changes. Never cancels a copy.
DWORD CALLBACK CopyProgressRoutine(LARGE_INTEGER TotalFileSize, LARGE_INTEGER TotalBytesTransferred,
                                   LARGE_INTEGER StreamSize, LARGE_INTEGER StreamBytesTransferred,
                                   DWORD dwStreamNumber, DWORD dwCallbackReason, HANDLE hSourceFile,
                                   HANDLE hDestinationFile, LPVOID lpData);

// Writes the line for nPercent whatever was shown before.
void ShowPercent(int nPercent);
