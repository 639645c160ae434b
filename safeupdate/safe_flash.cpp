// The driver's operations as the safe-update variant uses them: each tried again at once.
#include "safeupdate/safe_update.h"

// The record of a block given up: the bad-block byte 0x00 and the reserved bit (bOemFlags bit
// 0) clear. The driver reads either as a block not to use, so a mark that takes only in part
// (a program that fails torn programs only some of its bytes) still retires the block.
static const SectorInfo s_GivenUpSectorInfo = {0xFFFFFFFF, 0xFE, 0x00, 0xFFFF};

static DWORD SetFlagOnce(HANDLE hDisk, DWORD dwFlag, DWORD dwOn)
{
    if (dwFlag == SAFE_FLAG_EBOOT)
        return NandSetEbootFlag(hDisk, dwOn);
    if (dwFlag == SAFE_FLAG_TOC)
        return NandSetTocFlag(hDisk, dwOn);
    return NandSetNkFlag(hDisk, dwOn);
}

DWORD SafeSetFlag(HANDLE hDisk, DWORD dwFlag, DWORD dwOn)
{
    DWORD dwTry = 0;

    for (dwTry = 0; dwTry < SAFE_TRIES; dwTry++)
        if (SetFlagOnce(hDisk, dwFlag, dwOn))
            return 1;
    return 0;
}

DWORD SafeBlockStatus(HANDLE hDisk, DWORD dwBlock, DWORD *pdwStatus)
{
    DWORD dwTry = 0;

    for (dwTry = 0; dwTry < SAFE_TRIES; dwTry++) {
        *pdwStatus = 0;
        if (NandGetBlockStatus(hDisk, dwBlock, pdwStatus))
            return 1;
    }
    return 0;
}

DWORD SafeReadPage(HANDLE hDisk, DWORD dwSector, BYTE *pData, SectorInfo *pInfo)
{
    DWORD dwTry = 0;

    for (dwTry = 0; dwTry < SAFE_TRIES; dwTry++)
        if (NandReadPage(hDisk, dwSector, pData, pInfo))
            return 1;
    return 0;
}

DWORD SafeReadBlock(HANDLE hDisk, DWORD dwBlock, BYTE *pData, SectorInfo *pInfo)
{
    DWORD dwTry = 0;

    for (dwTry = 0; dwTry < SAFE_TRIES; dwTry++)
        if (NandReadBlock(hDisk, dwBlock, pData, pInfo))
            return 1;
    return 0;
}

DWORD SafeWriteBlock(HANDLE hDisk, DWORD dwBlock, BYTE *pData, const SectorInfo *pInfo)
{
    DWORD dwTry = 0;

    for (dwTry = 1; dwTry <= SAFE_TRIES; dwTry++) {
        if (NandEraseBlock(hDisk, dwBlock) && NandWriteBlock(hDisk, dwBlock, pData, pInfo))
            return 1;
        NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: block %d not written, try %d of %d \r\n"),
                     dwBlock, dwTry, SAFE_TRIES);
    }
    return 0;
}

static DWORD IsErasedSector(const BYTE *pData, const SectorInfo *pInfo)
{
    const BYTE *pInfoBytes = (const BYTE *)pInfo;
    DWORD       i          = 0;

    for (i = 0; i < NAND_SECTOR_SIZE; i++)
        if (pData[i] != 0xFF)
            return 0;
    for (i = 0; i < sizeof(SectorInfo); i++)
        if (pInfoBytes[i] != 0xFF)
            return 0;
    return 1;
}

// The erase before the mark may fail; the mark then goes only into a first sector that reads
// erased, since programming a written page again is not the flash's to take. A first sector
// that cannot be read is marked all the same: the program fails as the read did, or takes.
DWORD MarkBlockBad(HANDLE hDisk, DWORD dwBlock, BYTE *pSector)
{
    SectorInfo info;
    DWORD      dwSector = dwBlock * NAND_SECTORS_PER_BLOCK;

    if (!NandEraseBlock(hDisk, dwBlock) && NandReadPage(hDisk, dwSector, pSector, &info) &&
        !IsErasedSector(pSector, &info)) {
        NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: block %d cannot be marked bad: it does not "
                          "erase \r\n"),
                     dwBlock);
        return 0;
    }
    memset(pSector, 0xFF, NAND_SECTOR_SIZE);
    return NandWritePage(hDisk, dwSector, pSector, &s_GivenUpSectorInfo);
}
