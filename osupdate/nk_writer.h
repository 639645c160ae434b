// The operating-system image's writer: the NK image onto the flash from block 6 on, then the TOC.
#pragma once

#include "nand/fmd.h"

// The first NK block keeps its sector 0: the image starts in its sector 1.
#define NK_FIRST_BLOCK_BYTES (NAND_BLOCK_SIZE - NAND_SECTOR_SIZE)
#define NK_IMAGE_DESCRIPTOR 3

// Writes image bytes 0 to dwImageLen - 1 of pImage (the RAM image buffer) to the usable blocks
// from block 6 on, skipping bad ones, then records the image in g_TOC's ID[3] and writes the TOC.
// pSectorInfo is scratch for one block's 64 records. 1 when every block was written, else 0.
DWORD WriteNK(HANDLE hDisk, BYTE *pImage, SectorInfo *pSectorInfo, DWORD dwImageStart,
              DWORD dwImageLen, DWORD dwLaunchAddr);
