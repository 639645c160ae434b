// The operating-system image's writer: the NK image onto the flash from block 6 on, then the TOC.
#pragma once

#include "nand/fmd.h"

// The first NK block keeps its sector 0: the image starts in its sector 1.
#define NK_FIRST_BLOCK_BYTES (NAND_BLOCK_SIZE - NAND_SECTOR_SIZE)
#define NK_IMAGE_DESCRIPTOR 3
// The largest image, one that fills the RAM image buffer, spans this many blocks. The shell does
// not know the flash's size: a search that has passed more bad blocks than that has run past any
// flash the image could be written to, and gives up.
#define NK_MAX_BAD_BLOCKS (RAM_IMAGE_BUFFER_SIZE / NAND_BLOCK_SIZE + 1)

// Writes image bytes 0 to dwImageLen - 1 of pImage (the RAM image buffer) to the usable blocks
// from block 6 on, skipping bad ones, then records the image in g_TOC's ID[3] and writes the TOC.
// pSectorInfo is scratch for one block's 64 records. 1 when every block was written, else 0.
DWORD WriteNK(HANDLE hDisk, BYTE *pImage, SectorInfo *pSectorInfo, DWORD dwImageStart,
              DWORD dwImageLen, DWORD dwLaunchAddr);
// The blocks an image of dwImageLen bytes takes after its first one.
DWORD CountFurtherBlocks(DWORD dwImageLen);
// Records the written image in the TOC's NK descriptor; String and the rest stay as they are.
void RecordNkImage(DWORD dwImageStart, DWORD dwImageLen, DWORD dwLaunchAddr);
