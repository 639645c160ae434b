// The NK image as the safe-update variant writes it. The image is written in place over the old
// one, under the old TOC, so a block left half written starts nothing; every block is therefore
// read before the first erase, written until it takes or given up, and the flash is read back as
// the boot loader reads it before the update reports success.
#include "safeupdate/safe_update.h"

#include "osupdate/OSUPDATE.h"
#include "osupdate/nk_writer.h"
#include "toc/toc.h"

typedef struct _NK_CANDIDATE {
    DWORD      dwBlock;
    DWORD      dwGivenUp;
    DWORD      dwHolds;  // holds its image block: found so before the first erase, or written
    SectorInfo info[NAND_SECTORS_PER_BLOCK];  // as read before the first erase, written back so
} NK_CANDIDATE;

typedef struct _NK_WRITE {
    const BYTE   *pImage;
    DWORD         dwImageLen;
    DWORD         dwBlocks;     // image blocks
    BYTE         *pBlock;       // one block: an image block to write, or a block as read
    NK_CANDIDATE *pCandidates;  // the usable blocks from block 6 on, in the flash's order
    DWORD         dwCandidates;
    DWORD         dwNextBlock;  // the first block not looked at yet
    DWORD         dwBadBlocks;  // unusable blocks passed on the way
    DWORD         dwGivenUp;
    DWORD         dwWritten;
    SectorInfo    flashInfo[NAND_SECTORS_PER_BLOCK];
    BYTE          sector0[NAND_SECTOR_SIZE];  // the first block's sector 0, kept as read
    BYTE          toc[NAND_SECTOR_SIZE];      // the TOC that describes the new image
} NK_WRITE;

// Where sector dwSector of image block dwIndex starts in the image; image block 0 begins with
// the kept sector 0.
static DWORD ImageOffset(DWORD dwIndex, DWORD dwSector)
{
    if (dwIndex == 0)
        return (dwSector - 1) * NAND_SECTOR_SIZE;
    return NK_FIRST_BLOCK_BYTES + (dwIndex - 1) * NAND_BLOCK_SIZE + dwSector * NAND_SECTOR_SIZE;
}

// The image's bytes of the sector and how many there are; 0xFF follows them.
static DWORD ImageBytes(const NK_WRITE *pWrite, DWORD dwIndex, DWORD dwSector, const BYTE **ppData)
{
    DWORD dwOffset = 0;

    if (dwIndex == 0 && dwSector == 0) {
        *ppData = pWrite->sector0;
        return NAND_SECTOR_SIZE;
    }
    dwOffset = ImageOffset(dwIndex, dwSector);
    *ppData  = pWrite->pImage + dwOffset;
    if (dwOffset >= pWrite->dwImageLen)
        return 0;
    return pWrite->dwImageLen - dwOffset < NAND_SECTOR_SIZE ? pWrite->dwImageLen - dwOffset
                                                            : NAND_SECTOR_SIZE;
}

static void FillImageBlock(NK_WRITE *pWrite, DWORD dwIndex)
{
    const BYTE *pData   = NULL;
    BYTE       *pSector = NULL;
    DWORD       dwBytes = 0;
    DWORD       s       = 0;

    for (s = 0; s < NAND_SECTORS_PER_BLOCK; s++) {
        pSector = pWrite->pBlock + s * NAND_SECTOR_SIZE;
        dwBytes = ImageBytes(pWrite, dwIndex, s, &pData);
        memcpy(pSector, pData, dwBytes);
        memset(pSector + dwBytes, 0xFF, NAND_SECTOR_SIZE - dwBytes);
    }
}

// The block in pBlock, with the records in flashInfo, holds image block dwIndex as the
// candidate would be written with it.
static DWORD BlockHolds(const NK_WRITE *pWrite, DWORD dwIndex, const NK_CANDIDATE *pCandidate)
{
    const BYTE *pData   = NULL;
    const BYTE *pSector = NULL;
    DWORD       dwBytes = 0;
    DWORD       s       = 0;
    DWORD       i       = 0;

    if (memcmp(pWrite->flashInfo, pCandidate->info, sizeof(pWrite->flashInfo)) != 0)
        return 0;
    for (s = 0; s < NAND_SECTORS_PER_BLOCK; s++) {
        pSector = pWrite->pBlock + s * NAND_SECTOR_SIZE;
        dwBytes = ImageBytes(pWrite, dwIndex, s, &pData);
        if (memcmp(pSector, pData, dwBytes) != 0)
            return 0;
        for (i = dwBytes; i < NAND_SECTOR_SIZE; i++)
            if (pSector[i] != 0xFF)
                return 0;
    }
    return 1;
}

// Takes the next usable block as a candidate, with its records and, for a block of the image's
// own run, whether it already holds its image block.
static DWORD AddCandidate(HANDLE hDisk, NK_WRITE *pWrite, DWORD dwInRun)
{
    NK_CANDIDATE *pCandidate = &pWrite->pCandidates[pWrite->dwCandidates];
    DWORD         dwStatus   = 0;

    for (;;) {
        if (!SafeBlockStatus(hDisk, pWrite->dwNextBlock, &dwStatus))
            goto unreadable;
        if (!(dwStatus & BLOCK_STATUS_UNUSABLE))
            break;
        NKDbgPrintfW(TEXT("[QuorShell] WriteNK: %d block is bad block. So skip it \r\n"),
                     pWrite->dwNextBlock);
        if (++pWrite->dwBadBlocks > NK_MAX_BAD_BLOCKS) {
            NKDbgPrintfW(TEXT("[QuorShell] WriteNK: more than %d bad blocks. So give up \r\n"),
                         NK_MAX_BAD_BLOCKS);
            return 0;
        }
        pWrite->dwNextBlock++;
    }
    if (!SafeReadBlock(hDisk, pWrite->dwNextBlock, pWrite->pBlock, pWrite->flashInfo))
        goto unreadable;
    pCandidate->dwBlock   = pWrite->dwNextBlock++;
    pCandidate->dwGivenUp = 0;
    memcpy(pCandidate->info, pWrite->flashInfo, sizeof(pCandidate->info));
    if (pWrite->dwCandidates == 0)
        memcpy(pWrite->sector0, pWrite->pBlock, NAND_SECTOR_SIZE);
    pCandidate->dwHolds = dwInRun && BlockHolds(pWrite, pWrite->dwCandidates, pCandidate);
    pWrite->dwCandidates++;
    return 1;

unreadable:
    if (dwInRun)
        NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: block %d read fail before the erase, "
                          "update not started \r\n"),
                     pWrite->dwNextBlock);
    else
        NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: block %d read fail, no spare \r\n"),
                     pWrite->dwNextBlock);
    return 0;
}

// The block that image block dwIndex goes to: the dwIndex-th candidate not given up, a spare
// read when the run has given up blocks; NULL when there is none.
static NK_CANDIDATE *CandidateOf(HANDLE hDisk, NK_WRITE *pWrite, DWORD dwIndex)
{
    DWORD k = 0;
    DWORD n = 0;

    for (;;) {
        for (; k < pWrite->dwCandidates; k++) {
            if (pWrite->pCandidates[k].dwGivenUp)
                continue;
            if (n++ == dwIndex)
                return &pWrite->pCandidates[k];
        }
        if (pWrite->dwCandidates == pWrite->dwBlocks + NK_SPARE_BLOCKS ||
            !AddCandidate(hDisk, pWrite, 0))
            return NULL;
    }
}

static NK_CANDIDATE *CandidateAt(NK_WRITE *pWrite, DWORD dwBlock)
{
    DWORD k = 0;

    for (k = 0; k < pWrite->dwCandidates; k++)
        if (pWrite->pCandidates[k].dwBlock == dwBlock)
            return &pWrite->pCandidates[k];
    return NULL;
}

// The image blocks after a given-up block move on by one block: none of them lies where it was
// compared or written.
static DWORD GiveUp(HANDLE hDisk, NK_WRITE *pWrite, NK_CANDIDATE *pCandidate)
{
    NK_CANDIDATE *pLater = NULL;

    pCandidate->dwGivenUp = 1;
    for (pLater = pCandidate; pLater < pWrite->pCandidates + pWrite->dwCandidates; pLater++)
        pLater->dwHolds = 0;
    if (MarkBlockBad(hDisk, pCandidate->dwBlock, pWrite->pBlock))
        NKDbgPrintfW(
            TEXT("[QuorShell] WriteNK: %d block is bad block now: marked and skipped \r\n"),
            pCandidate->dwBlock);
    else
        NKDbgPrintfW(TEXT("[QuorShell] WriteNK: %d block is bad block now: its mark not written, "
                          "skipped \r\n"),
                     pCandidate->dwBlock);
    if (++pWrite->dwGivenUp > NK_SPARE_BLOCKS) {
        NKDbgPrintfW(
            TEXT("[QuorShell] SafeUpdate: more than %d blocks given up, update failed \r\n"),
            NK_SPARE_BLOCKS);
        return 0;
    }
    return 1;
}

static DWORD WriteImageBlocks(HANDLE hDisk, NK_WRITE *pWrite)
{
    NK_CANDIDATE *pCandidate = NULL;
    DWORD         i          = 0;

    while (i < pWrite->dwBlocks) {
        pCandidate = CandidateOf(hDisk, pWrite, i);
        if (pCandidate == NULL) {
            NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: no usable block left for image block %d, "
                              "update failed \r\n"),
                         i);
            return 0;
        }
        if (pCandidate->dwHolds) {
            i++;
            continue;
        }
        FillImageBlock(pWrite, i);
        NKDbgPrintfW(TEXT("NandWriteBlock: %d block \r\n"), pCandidate->dwBlock);
        if (SafeWriteBlock(hDisk, pCandidate->dwBlock, pWrite->pBlock, pCandidate->info)) {
            pCandidate->dwHolds = 1;
            pWrite->dwWritten++;
            i++;
        } else if (!GiveUp(hDisk, pWrite, pCandidate)) {
            return 0;
        }
    }
    return 1;
}

static DWORD WriteTocIfDiffers(HANDLE hDisk, NK_WRITE *pWrite)
{
    if (TocOnFlashIs(hDisk, pWrite->toc, pWrite->pBlock))
        return 1;
    memcpy(&g_TOC, pWrite->toc, sizeof(pWrite->toc));
    if (SafeTocWrite(hDisk))
        return 1;
    NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: block %d fails for good: blocks 0-5 cannot move, "
                      "update failed \r\n"),
                 TOC_BLOCK);
    return 0;
}

// Reads the flash as the boot loader does: the TOC, then from block 6 on the usable blocks in
// order, each compared with its image block. The first that differs, or cannot be read, is
// named by *pdwBlock (and *pdwIndex for an image block).
static DWORD CheckFlash(HANDLE hDisk, NK_WRITE *pWrite, DWORD *pdwIndex, DWORD *pdwBlock)
{
    NK_CANDIDATE *pCandidate = NULL;
    DWORD         dwBlock    = NK_FIRST_BLOCK;
    DWORD         dwBad      = 0;
    DWORD         dwStatus   = 0;
    DWORD         i          = 0;

    *pdwBlock = TOC_BLOCK;
    if (!TocOnFlashIs(hDisk, pWrite->toc, pWrite->pBlock))
        return 0;
    for (i = 0; i < pWrite->dwBlocks; i++, dwBlock++) {
        *pdwIndex = i;
        for (;;) {
            *pdwBlock = dwBlock;
            if (!SafeBlockStatus(hDisk, dwBlock, &dwStatus))
                return 0;
            if (!(dwStatus & BLOCK_STATUS_UNUSABLE))
                break;
            if (++dwBad > NK_MAX_BAD_BLOCKS)
                return 0;
            dwBlock++;
        }
        pCandidate = CandidateOf(hDisk, pWrite, i);
        if (pCandidate == NULL || pCandidate->dwBlock != dwBlock ||
            !SafeReadBlock(hDisk, dwBlock, pWrite->pBlock, pWrite->flashInfo) ||
            !BlockHolds(pWrite, i, pCandidate))
            return 0;
    }
    return 1;
}

// What the read-back found is written again at the next round: a given-up block whose mark did
// not take is marked again, an image block that differs or cannot be read is written again.
static void MarkForMending(HANDLE hDisk, NK_WRITE *pWrite, DWORD dwIndex, DWORD dwBlock)
{
    NK_CANDIDATE *pCandidate = CandidateAt(pWrite, dwBlock);

    if (pCandidate != NULL && pCandidate->dwGivenUp) {
        NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: block %d is given up but reads usable, marked "
                          "again \r\n"),
                     dwBlock);
        MarkBlockBad(hDisk, dwBlock, pWrite->pBlock);
        return;
    }
    NKDbgPrintfW(
        TEXT("[QuorShell] SafeUpdate: block %d does not hold the update, written again \r\n"),
        dwBlock);
    pCandidate = CandidateOf(hDisk, pWrite, dwIndex);
    if (pCandidate != NULL)
        pCandidate->dwHolds = 0;
}

DWORD SafeWriteNK(HANDLE hDisk, const BYTE *pImage, BYTE *pBlockBuffer, DWORD dwImageStart,
                  DWORD dwImageLen, DWORD dwLaunchAddr)
{
    DWORD     dwResult = 0;
    DWORD     dwRound  = 0;
    DWORD     dwIndex  = 0;
    DWORD     dwBlock  = 0;
    DWORD     dwHeld   = 0;
    DWORD     i        = 0;
    NK_WRITE *pWrite   = NULL;

    pWrite = (NK_WRITE *)LocalAlloc(LPTR, sizeof(NK_WRITE));
    if (pWrite != NULL) {
        pWrite->dwBlocks    = 1 + CountFurtherBlocks(dwImageLen);
        pWrite->pCandidates = (NK_CANDIDATE *)LocalAlloc(
            LMEM_FIXED, (pWrite->dwBlocks + NK_SPARE_BLOCKS) * sizeof(NK_CANDIDATE));
    }
    if (pWrite == NULL || pWrite->pCandidates == NULL) {
        NKDbgPrintfW(TEXT("[QuorShell] WriteNK malloc fail \r\n"));
        goto done;
    }
    pWrite->pImage      = pImage;
    pWrite->dwImageLen  = dwImageLen;
    pWrite->pBlock      = pBlockBuffer;
    pWrite->dwNextBlock = NK_FIRST_BLOCK;
    if (!SafeSetFlag(hDisk, SAFE_FLAG_NK, 1)) {
        NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: NK flag set fail, update not started \r\n"));
        goto done;
    }
    for (i = 0; i < pWrite->dwBlocks; i++)
        if (!AddCandidate(hDisk, pWrite, 1))
            goto done;
    for (i = 0; i < pWrite->dwBlocks; i++)
        dwHeld += pWrite->pCandidates[i].dwHolds;
    NKDbgPrintfW(TEXT("[QuorShell] WriteNK NumBlocks %d block from %d block \r\n"),
                 pWrite->dwBlocks, NK_FIRST_BLOCK);

    for (dwRound = 0;; dwRound++) {
        if (!WriteImageBlocks(hDisk, pWrite))
            goto done;
        // g_TOC describes the new image only once every block of it is written.
        if (dwRound == 0) {
            RecordNkImage(dwImageStart, dwImageLen, dwLaunchAddr);
            memcpy(pWrite->toc, &g_TOC, sizeof(pWrite->toc));
        }
        if (!WriteTocIfDiffers(hDisk, pWrite))
            goto done;
        if (CheckFlash(hDisk, pWrite, &dwIndex, &dwBlock))
            break;
        if (dwRound == SAFE_MEND_ROUNDS) {
            NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: flash check failed: block %d does not "
                              "hold the update \r\n"),
                         dwBlock);
            goto done;
        }
        if (dwBlock != TOC_BLOCK)
            MarkForMending(hDisk, pWrite, dwIndex, dwBlock);
        else
            NKDbgPrintfW(
                TEXT("[QuorShell] SafeUpdate: the TOC does not hold the update, written "
                     "again \r\n"));
    }
    SafeTocRead(hDisk);
    TOC_Print();
    NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: flash check passed: the TOC and %d NK blocks hold "
                      "the update; %d written, %d already held it, %d given up \r\n"),
                 pWrite->dwBlocks, pWrite->dwWritten, dwHeld, pWrite->dwGivenUp);
    dwResult = 1;

done:
    if (pWrite != NULL && pWrite->pCandidates != NULL)
        LocalFree(pWrite->pCandidates);
    if (pWrite != NULL)
        LocalFree(pWrite);
    return dwResult;
}
