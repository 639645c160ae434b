// The operating-system image's writer: image blocks from block 6 on, then its TOC descriptor.
#include "osupdate/nk_writer.h"

#include "osupdate/OSUPDATE.h"
#include "toc/toc.h"
#ifdef QS_SAFE_UPDATE
#include "safeupdate/safe_update.h"
#endif

#define NK_IMAGE_VERSION 1
#define NK_IMAGE_TYPE 8

// Moves *pdwBlock to the first usable block from *pdwBlock on; 0 when the search gives up.
static DWORD FindUsableBlock(HANDLE hDisk, DWORD *pdwBlock, DWORD *pdwBadBlocks)
{
    DWORD dwStatus = 0;

    // A failed query leaves the status 0, so the block counts as usable; past the end of the
    // flash its read fails next and ends the writer.
    NandGetBlockStatus(hDisk, *pdwBlock, &dwStatus);
    while (dwStatus & BLOCK_STATUS_UNUSABLE) {
        NKDbgPrintfW(TEXT("[QuorShell] WriteNK: %d block is bad block. So skip it \r\n"),
                     *pdwBlock);
        if (++*pdwBadBlocks > NK_MAX_BAD_BLOCKS) {
            NKDbgPrintfW(TEXT("[QuorShell] WriteNK: more than %d bad blocks. So give up \r\n"),
                         NK_MAX_BAD_BLOCKS);
            return 0;
        }
        (*pdwBlock)++;
        dwStatus = 0;
        NandGetBlockStatus(hDisk, *pdwBlock, &dwStatus);
    }
    return 1;
}

static DWORD ReadNkBlock(HANDLE hDisk, DWORD dwBlock, BYTE *pData, SectorInfo *pSectorInfo)
{
    if (!NandReadBlock(hDisk, dwBlock, pData, pSectorInfo)) {
        NKDbgPrintfW(TEXT("[QuorShell] WriteNK: NandReadBlock fail \r\n"));
        return 0;
    }
    return 1;
}

// Erases the block and writes the block buffer to it with the records read before the erase.
static DWORD WriteNkBlock(HANDLE hDisk, DWORD dwBlock, BYTE *pBlockBuffer, SectorInfo *pSectorInfo)
{
    if (!NandEraseBlock(hDisk, dwBlock)) {
        NKDbgPrintfW(TEXT("[QuorShell] WriteNK: NandEraseBlock fail \r\n"));
        return 0;
    }
    NKDbgPrintfW(TEXT("NandWriteBlock: %d block \r\n"), dwBlock);
    if (!NandWriteBlock(hDisk, dwBlock, pBlockBuffer, pSectorInfo)) {
        NKDbgPrintfW(TEXT("[QuorShell] WriteNK: NandWriteBlock fail \r\n"));
        return 0;
    }
    return 1;
}

// The blocks after the first one. An image that fits into the first block has none; one that
// just fills it still gets one, all 0xFF, as the boot loader has always found it.
DWORD CountFurtherBlocks(DWORD dwImageLen)
{
    DWORD dwRemaining = 0;
    DWORD dwBlocks    = 0;

    if (dwImageLen < NK_FIRST_BLOCK_BYTES)
        return 0;
    dwRemaining = dwImageLen - NK_FIRST_BLOCK_BYTES;
    dwBlocks    = (dwRemaining >> 17) + ((dwRemaining & (NAND_BLOCK_SIZE - 1)) ? 1 : 0);
    return dwBlocks ? dwBlocks : 1;
}

void RecordNkImage(DWORD dwImageStart, DWORD dwImageLen, DWORD dwLaunchAddr)
{
    IMAGE_DESCRIPTOR *pImage = &g_TOC.ID[NK_IMAGE_DESCRIPTOR];

    pImage->dwVersion     = NK_IMAGE_VERSION;
    pImage->dwSignature   = IMAGE_SIGNATURE_NK;
    pImage->dwImageType   = NK_IMAGE_TYPE;
    pImage->dwLoadAddress = dwImageStart;
    pImage->dwJumpAddress = dwLaunchAddr;
    pImage->dwStoreOffset = 0;
    pImage->dwTtlSectors  = (dwImageLen >> 11) + ((dwImageLen & (NAND_SECTOR_SIZE - 1)) ? 1 : 0);
}

DWORD WriteNK(HANDLE hDisk, BYTE *pImage, SectorInfo *pSectorInfo, DWORD dwImageStart,
              DWORD dwImageLen, DWORD dwLaunchAddr)
{
    DWORD dwResult     = 0;
    DWORD dwBlock      = NK_FIRST_BLOCK;
    DWORD dwBadBlocks  = 0;
    DWORD dwNumBlocks  = 0;
    DWORD dwRemaining  = dwImageLen;
    DWORD dwBytes      = 0;
    BYTE *pSource      = pImage;
    BYTE *pBlockBuffer = NULL;

    NKDbgPrintfW(TEXT("[QuorShell] WriteNK ++ ImageStart:0x%X ImageLen:0x%X \r\n"), dwImageStart,
                 dwImageLen);
    if (!pImage || !pSectorInfo) {
        NKDbgPrintfW(TEXT("[QuorShell] WriteNK Invalid Parameter \r\n"));
        goto done;
    }
    // Every image byte comes from inside the RAM image buffer, and an empty image is no image.
    if (dwImageLen == 0 || dwImageLen > RAM_IMAGE_BUFFER_SIZE) {
        NKDbgPrintfW(TEXT("[QuorShell] WriteNK: ImageLen 0x%X is out of range 0x1 - 0x%X \r\n"),
                     dwImageLen, RAM_IMAGE_BUFFER_SIZE);
        goto done;
    }
    pBlockBuffer = (BYTE *)LocalAlloc(LMEM_FIXED, NAND_BLOCK_SIZE);
    if (!pBlockBuffer) {
        NKDbgPrintfW(TEXT("[QuorShell] WriteNK malloc fail \r\n"));
        goto done;
    }
#ifdef QS_SAFE_UPDATE
    // A failed erase or program here leaves the image half written under the old TOC, which
    // starts nothing, and no later start comes to mend it: the variant reads the run before the
    // first erase, retries, gives up a block that keeps failing, leaves alone what already
    // matches and reads the flash back before it reports success.
    dwResult = SafeWriteNK(hDisk, pImage, pBlockBuffer, dwImageStart, dwImageLen, dwLaunchAddr);
    goto done;
#endif
    NandSetNkFlag(hDisk, 1);

    // The first block keeps its sector 0 as read; bytes after a short image's end are 0xFF.
    if (!FindUsableBlock(hDisk, &dwBlock, &dwBadBlocks) ||
        !ReadNkBlock(hDisk, dwBlock, pBlockBuffer, pSectorInfo))
        goto done;
    dwBytes = (dwRemaining < NK_FIRST_BLOCK_BYTES) ? dwRemaining : NK_FIRST_BLOCK_BYTES;
    memset(pBlockBuffer + NAND_SECTOR_SIZE, 0xFF, NK_FIRST_BLOCK_BYTES);
    memcpy(pBlockBuffer + NAND_SECTOR_SIZE, pSource, dwBytes);
    if (!WriteNkBlock(hDisk, dwBlock, pBlockBuffer, pSectorInfo))
        goto done;
    pSource += dwBytes;
    dwRemaining -= dwBytes;

    dwNumBlocks = CountFurtherBlocks(dwImageLen);
    dwBlock++;
    NKDbgPrintfW(TEXT("[QuorShell] WriteNK NumBlocks %d block from %d block \r\n"), dwNumBlocks,
                 dwBlock);
    for (; dwNumBlocks > 0; dwNumBlocks--, dwBlock++) {
        if (!FindUsableBlock(hDisk, &dwBlock, &dwBadBlocks) ||
            !ReadNkBlock(hDisk, dwBlock, NULL, pSectorInfo))
            goto done;
        dwBytes = (dwRemaining < NAND_BLOCK_SIZE) ? dwRemaining : NAND_BLOCK_SIZE;
        memset(pBlockBuffer, 0xFF, NAND_BLOCK_SIZE);
        memcpy(pBlockBuffer, pSource, dwBytes);
        if (!WriteNkBlock(hDisk, dwBlock, pBlockBuffer, pSectorInfo))
            goto done;
        pSource += dwBytes;
        dwRemaining -= dwBytes;
    }

    RecordNkImage(dwImageStart, dwImageLen, dwLaunchAddr);
    // The flash already holds the image: a TOC that fails to store is logged by TOC_Write and
    // does not undo that.
    TOC_Write(hDisk);
    TOC_Read(hDisk);
    TOC_Print();
    dwResult = 1;

done:
    if (pBlockBuffer)
        LocalFree(pBlockBuffer);
    NandSetNkFlag(hDisk, 0);
    NKDbgPrintfW(TEXT("[QuorShell] WriteNK -- \r\n"));
    return dwResult;
}
