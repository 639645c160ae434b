// The operating-system image update: the process-wide state it fills, and the procedure.
#pragma once

#include "common/qs_common.h"
#include "nand/fmd.h"

// The RAM image buffer: both images pass through it in turn. Offset 0 stands for the address
// RAM_IMAGE_BASE of a .BIN record.
#define RAM_IMAGE_BUFFER_SIZE 0x2AE0000
#define RAM_IMAGE_BASE 0x80020000
// Scratch for the 64 SectorInfo records of one block.
#define SECTOR_INFO_ARRAY_SIZE 0x200

#define UPDATE_FOLDER_NAME TEXT("\\K275D-Update")
#define EBOOT_IMAGE_PATTERN TEXT("\\R5boot_*.nb0")
#define NK_IMAGE_PATTERN TEXT("\\R5nk_*.bin")

extern WCHAR g_UpdateDir[MAX_PATH];  // "\flashdisk\K275D-Update" for selector 1
extern WCHAR g_ImagePath[MAX_PATH];  // an image pattern, then the chosen image file
extern DWORD g_EbootUpdate;          // the driver's answer: nonzero, the boot loader may change
extern DWORD g_ImageStart;           // the .BIN header's start address
extern DWORD g_ImageLen;             // the .BIN header's length
extern DWORD g_LaunchAddr;           // the terminating record's launch address

// Writes the boot loader (when the driver allows it) and the operating-system image from the
// update folder of the selected root; 1 only when the NK image was written and its file deleted.
DWORD UpdateSystemImage(DWORD dwSelector);

// The steps of the update that the safe variant's signed update takes in its own order. The
// boot-loader image chosen, then its CRC side file checked, or the NK image chosen with its
// trailer checked (the firmware cue sounds for a refused trailer), left in g_ImagePath; 1 when
// found, 1 when good.
DWORD ChooseBootLoaderImage(void);
DWORD CheckBootLoaderCRC(void);
DWORD FindNKImage(void);
// Writes the NK image loaded in pImage and deletes its file; 1 when it was written.
DWORD WriteLoadedNK(HANDLE hDisk, BYTE *pImage, SectorInfo *pSectorInfo);
