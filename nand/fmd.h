// The raw NAND flash as the shell sees it through the flash disk driver DSK1:.
#pragma once

#include "common/qs_common.h"

// Geometry, fixed here: the shell never asks the driver for it.
#define NAND_SECTOR_SIZE 0x800
#define NAND_SECTORS_PER_BLOCK 64
#define NAND_BLOCK_SIZE 0x20000
#define NAND_SECTOR_RECORD_SIZE 0x808  // sector data, then its SectorInfo

// The flash map.
#define STEPLOADER_BLOCK 0
#define STEPLOADER_SECTORS 8  // only the 16 KiB StepLoader goes to block 0
#define EBOOT_FIRST_BLOCK 1
#define EBOOT_LAST_BLOCK 4
#define TOC_BLOCK 5
#define TOC_SECTOR (TOC_BLOCK * NAND_SECTORS_PER_BLOCK)
#define NK_FIRST_BLOCK 6
#define BLOCK_STATUS_UNUSABLE 0x0A  // bad (0x02) or reserved (0x08)

#pragma pack(push, 1)
typedef struct _SectorInfo {
    DWORD dwReserved;
    BYTE  bOemFlags;  // bit 0 clear: a boot-area sector
    BYTE  bBadBlockMark;
    WORD  wReserved;
} SectorInfo;
#pragma pack(pop)
static_assert(sizeof(SectorInfo) == 8, "SectorInfo is the 8-byte spare-area record");

#define FMD_CODE(function) CTL_CODE(FILE_DEVICE_DISK, (function), METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_FMD_SET_SECTOR_ADDR FMD_CODE(0x7F5)
#define IOCTL_FMD_READ_SECTOR FMD_CODE(0x7F7)
#define IOCTL_FMD_WRITE_SECTOR FMD_CODE(0x7F8)
#define IOCTL_FMD_ERASE_BLOCK FMD_CODE(0x7F9)
#define IOCTL_FMD_GET_BLOCK_STATUS FMD_CODE(0x7FA)
#define IOCTL_FMD_GET_EBOOT_UPDATE FMD_CODE(0x7FC)
#define IOCTL_FMD_SET_EBOOT_FLAG FMD_CODE(0x7FF)
#define IOCTL_FMD_SET_NK_FLAG FMD_CODE(0x800)
#define IOCTL_FMD_SET_TOC_FLAG FMD_CODE(0x801)
static_assert(IOCTL_FMD_SET_SECTOR_ADDR == 0x71FD4, "FMD codes are the driver's");
static_assert(IOCTL_FMD_SET_TOC_FLAG == 0x72004, "FMD codes are the driver's");

// Each takes the caller's open DSK1: handle, logs its own failure and returns 1 or 0.
DWORD NandSetEbootFlag(HANDLE hDisk, DWORD dwOn);
DWORD NandSetTocFlag(HANDLE hDisk, DWORD dwOn);
DWORD NandSetNkFlag(HANDLE hDisk, DWORD dwOn);
DWORD NandGetBlockStatus(HANDLE hDisk, DWORD dwBlock, DWORD *pdwStatus);
DWORD NandEraseBlock(HANDLE hDisk, DWORD dwBlock);
// The driver's answer whether the boot loader may be updated (nonzero: yes).
DWORD NandGetEbootUpdate(HANDLE hDisk, DWORD *pdwUpdate);
// Data and SectorInfo buffers may each be NULL: the sector is read all the same.
DWORD NandReadPage(HANDLE hDisk, DWORD dwSector, BYTE *pData, SectorInfo *pInfo);
DWORD NandWritePage(HANDLE hDisk, DWORD dwSector, const BYTE *pData, const SectorInfo *pInfo);
DWORD NandReadBlock(HANDLE hDisk, DWORD dwBlock, BYTE *pData, SectorInfo *pInfo);
// Stores the byte sum of StepLoader offsets 16 to 16383 at its offset 8, where block 0 holds it,
// and returns it.
DWORD StoreStepLoaderChecksum(BYTE *pData);
// Block 0 takes the StepLoader only, with its checksum stored at data offset 8 first.
DWORD NandWriteBlock(HANDLE hDisk, DWORD dwBlock, BYTE *pData, const SectorInfo *pInfo);
