// Loads the NK image, a .BIN record file, into the RAM image buffer.
#pragma once

#include "platform/ce.h"

#define BIN_SIGNATURE "B000FF\n"
#define BIN_SIGNATURE_SIZE 7
// The largest single read: records are read straight into the buffer in pieces of this size.
#define BIN_READ_CHUNK 0x20000

// Reads the file named in g_ImagePath into pBuffer, which holds RAM_IMAGE_BUFFER_SIZE bytes with
// offset 0 standing for the address RAM_IMAGE_BASE. Sets g_ImageStart and g_ImageLen from the
// header and g_LaunchAddr from the terminating record. Returns 1 when the terminating record is
// reached with every record before it inside the buffer and its checksum right, else 0.
DWORD LoadOSImage(BYTE *pBuffer);

// Reads dwLen bytes into pDest and checks that their byte sum is dwChk; dwAddr only names the
// record in the failure line.
DWORD ReadAndVerify(HANDLE hFile, BYTE *pDest, DWORD dwAddr, DWORD dwLen, DWORD dwChk);

// Reads dwCount bytes into pDest, at most BIN_READ_CHUNK at a time. A read that ends early (a file
// cut short) fails like any other.
DWORD ReadData(HANDLE hFile, DWORD dwCount, BYTE *pDest);
