// The boot loader's writer: the .nb0 image onto blocks 0 to 4 of the flash.
#pragma once

#include "nand/fmd.h"

// The .nb0 image: the 16 KiB StepLoader for block 0, then four blocks of the boot loader.
#define STEPLOADER_SIZE (STEPLOADER_SECTORS * NAND_SECTOR_SIZE)
#define EBOOT_BLOCKS (EBOOT_LAST_BLOCK - EBOOT_FIRST_BLOCK + 1)
#define EBOOT_IMAGE_SIZE (STEPLOADER_SIZE + EBOOT_BLOCKS * NAND_BLOCK_SIZE)

// Reads the whole file into the buffer and gives its size; a file that cannot fill the five
// blocks, or would not fit into the buffer, is refused before a byte is read.
DWORD ReadEbootFile(HANDLE hFile, BYTE *pBuffer, DWORD *pdwSize);
// Opens the file named in g_ImagePath for reading; logs the failure.
HANDLE OpenEbootFile(void);

// Reads the file named in g_ImagePath into pBuffer (the RAM image buffer) and writes it to
// blocks 0 to 4; pSectorInfo is scratch for one block's 64 records. 1 when all five blocks were
// written, else 0.
DWORD WriteEBootImage(HANDLE hDisk, BYTE *pBuffer, SectorInfo *pSectorInfo);
