// The boot loader's blocks as the safe-update variant writes them. Blocks 0 to 4 cannot move:
// a block among them that keeps failing stops the update before the NK image and the TOC are
// touched, and the old TOC stays.
#include "safeupdate/safe_update.h"

#include "osupdate/eboot_writer.h"

#define BOOT_BLOCKS (EBOOT_LAST_BLOCK + 1)
#define BOOT_AREA_FLAG 0x01  // bOemFlags bit 0 clear: a boot-area sector

typedef struct _BOOT_WRITE {
    BYTE      *pSource;  // the .nb0 as read, its StepLoader checksum stamped
    BYTE      *pFlash;   // one block as read from the flash
    SectorInfo info[BOOT_BLOCKS][NAND_SECTORS_PER_BLOCK];  // as each block is to be written
    DWORD      dwHolds[BOOT_BLOCKS];
} BOOT_WRITE;

static DWORD SectorsOf(DWORD dwBlock)
{
    return dwBlock == STEPLOADER_BLOCK ? STEPLOADER_SECTORS : NAND_SECTORS_PER_BLOCK;
}

static BYTE *SourceOf(const BOOT_WRITE *pWrite, DWORD dwBlock)
{
    return dwBlock == STEPLOADER_BLOCK ? pWrite->pSource
                                       : pWrite->pSource + STEPLOADER_SIZE +
                                             (dwBlock - EBOOT_FIRST_BLOCK) * NAND_BLOCK_SIZE;
}

// The block read into pFlash with the records in pInfo holds what it is to be written with:
// the StepLoader's eight sectors in block 0, the whole block in blocks 1 to 4.
static DWORD BlockHolds(const BOOT_WRITE *pWrite, DWORD dwBlock, const SectorInfo *pInfo)
{
    DWORD dwSectors = SectorsOf(dwBlock);

    return memcmp(pWrite->pFlash, SourceOf(pWrite, dwBlock), dwSectors * NAND_SECTOR_SIZE) == 0 &&
           memcmp(pInfo, pWrite->info[dwBlock], dwSectors * sizeof(SectorInfo)) == 0;
}

// Everything the writes need, read before the first erase: each block's records, which it is
// written back with, and whether it already holds the new boot loader.
static DWORD ReadBootBlocks(HANDLE hDisk, BOOT_WRITE *pWrite)
{
    SectorInfo flashInfo[NAND_SECTORS_PER_BLOCK];
    DWORD      dwBlock = 0;

    for (dwBlock = STEPLOADER_BLOCK; dwBlock < BOOT_BLOCKS; dwBlock++) {
        if (!SafeReadBlock(hDisk, dwBlock, pWrite->pFlash, flashInfo)) {
            NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: block %d read fail before the erase, "
                              "update not started \r\n"),
                         dwBlock);
            return 0;
        }
        memcpy(pWrite->info[dwBlock], flashInfo, sizeof(flashInfo));
        if (dwBlock != STEPLOADER_BLOCK)
            pWrite->info[dwBlock][0].bOemFlags &= (BYTE)~BOOT_AREA_FLAG;
        pWrite->dwHolds[dwBlock] = BlockHolds(pWrite, dwBlock, flashInfo);
    }
    return 1;
}

static DWORD WriteBootBlocks(HANDLE hDisk, BOOT_WRITE *pWrite)
{
    DWORD dwBlock = 0;

    for (dwBlock = STEPLOADER_BLOCK; dwBlock < BOOT_BLOCKS; dwBlock++) {
        if (pWrite->dwHolds[dwBlock])
            continue;
        NKDbgPrintfW(TEXT("[QuorShell] WriteEBootImage: Write %d block \r\n"), dwBlock);
        if (!SafeWriteBlock(hDisk, dwBlock, SourceOf(pWrite, dwBlock), pWrite->info[dwBlock])) {
            NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: block %d fails for good: blocks 0-5 cannot "
                              "move, update stopped before the NK image and the TOC \r\n"),
                         dwBlock);
            return 0;
        }
        pWrite->dwHolds[dwBlock] = 1;
    }
    return 1;
}

// Reads the blocks back; the first that differs, or cannot be read, is named in *pdwBlock.
static DWORD CheckBootBlocks(HANDLE hDisk, BOOT_WRITE *pWrite, DWORD *pdwBlock)
{
    SectorInfo flashInfo[NAND_SECTORS_PER_BLOCK];
    DWORD      dwBlock = 0;

    for (dwBlock = STEPLOADER_BLOCK; dwBlock < BOOT_BLOCKS; dwBlock++) {
        *pdwBlock = dwBlock;
        if (!SafeReadBlock(hDisk, dwBlock, pWrite->pFlash, flashInfo) ||
            !BlockHolds(pWrite, dwBlock, flashInfo))
            return 0;
    }
    return 1;
}

DWORD SafeWriteBootBlocks(HANDLE hDisk, BYTE *pSource)
{
    DWORD       dwResult = 0;
    DWORD       dwRound  = 0;
    DWORD       dwBlock  = 0;
    DWORD       dwLeft   = 0;
    BOOT_WRITE *pWrite   = NULL;

    pWrite = (BOOT_WRITE *)LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, sizeof(BOOT_WRITE));
    if (pWrite != NULL)
        pWrite->pFlash = (BYTE *)LocalAlloc(LMEM_FIXED, NAND_BLOCK_SIZE);
    if (pWrite == NULL || pWrite->pFlash == NULL) {
        NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: malloc fail, update not started \r\n"));
        goto done;
    }
    if (!SafeSetFlag(hDisk, SAFE_FLAG_EBOOT, 1)) {
        NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: EBoot flag set fail, update not started \r\n"));
        goto done;
    }
    // The writer stores the StepLoader's checksum whatever the file's word says; the compare
    // needs it there before the write.
    pWrite->pSource = pSource;
    StoreStepLoaderChecksum(pSource);
    if (!ReadBootBlocks(hDisk, pWrite))
        goto done;
    for (dwBlock = STEPLOADER_BLOCK; dwBlock < BOOT_BLOCKS; dwBlock++)
        dwLeft += pWrite->dwHolds[dwBlock];

    for (dwRound = 0;; dwRound++) {
        if (!WriteBootBlocks(hDisk, pWrite))
            goto done;
        if (CheckBootBlocks(hDisk, pWrite, &dwBlock))
            break;
        if (dwRound == SAFE_MEND_ROUNDS) {
            NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: flash check failed: boot loader block %d "
                              "differs from the image \r\n"),
                         dwBlock);
            goto done;
        }
        NKDbgPrintfW(
            TEXT("[QuorShell] SafeUpdate: boot loader block %d differs, written again \r\n"),
            dwBlock);
        pWrite->dwHolds[dwBlock] = 0;
    }
    NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: boot loader read back whole, %d of %d blocks "
                      "already held it \r\n"),
                 dwLeft, BOOT_BLOCKS);
    dwResult = 1;

done:
    if (pWrite != NULL && pWrite->pFlash != NULL)
        LocalFree(pWrite->pFlash);
    if (pWrite != NULL)
        LocalFree(pWrite);
    return dwResult;
}
