// The boot loader's writer: the StepLoader into block 0, the boot loader into blocks 1 to 4.
#include "osupdate/eboot_writer.h"

#include "osupdate/OSUPDATE.h"
#ifdef QS_SAFE_UPDATE
#include "safeupdate/safe_update.h"
#endif

#define BOOT_AREA_FLAG 0x01       // bOemFlags bit 0 clear: a boot-area sector
#define BOOT_AREA_OEM_FLAGS 0xFC  // reserved and read-only: a mark of 0x00 is no bad mark then

// The writer's own bad-block rule, on a block's first SectorInfo.
static DWORD IsBadEbootBlock(const SectorInfo *pInfo)
{
    return pInfo->bBadBlockMark == 0x00 && pInfo->bOemFlags != BOOT_AREA_OEM_FLAGS;
}

// Block 5 holds the TOC, so the boot loader has exactly blocks 1 to 4: unless every one of them
// is good, nothing is erased. A block whose first sector cannot be read counts as bad: the
// record in hand would be another block's.
static DWORD AllEbootBlocksGood(HANDLE hDisk)
{
    DWORD      dwBlock = 0;
    DWORD      dwGood  = 0;
    SectorInfo info;

    for (dwBlock = EBOOT_FIRST_BLOCK; dwBlock <= EBOOT_LAST_BLOCK; dwBlock++) {
        if (!NandReadPage(hDisk, dwBlock * NAND_SECTORS_PER_BLOCK, NULL, &info)) {
            NKDbgPrintfW(TEXT("[QuorShell] WriteEBootImage: NandReadPage fail \r\n"));
            continue;
        }
        if (IsBadEbootBlock(&info)) {
            NKDbgPrintfW(TEXT("[QuorShell] WriteEBootImage: %d block is bad block \r\n"), dwBlock);
            continue;
        }
        dwGood++;
    }
    if (dwGood < EBOOT_BLOCKS) {
        NKDbgPrintfW(
            TEXT("[QuorShell] WriteEBootImage: only %d of %d blocks good, EBoot not written \r\n"),
            dwGood, EBOOT_BLOCKS);
        return 0;
    }
    return 1;
}

HANDLE OpenEbootFile(void)
{
    HANDLE hFile =
        CreateFileW(g_ImagePath, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);

    if (hFile == INVALID_HANDLE_VALUE)
        NKDbgPrintfW(TEXT("ERROR(%d)- Cannot open bootimage file\r\n"), GetLastError());
    return hFile;
}

DWORD ReadEbootFile(HANDLE hFile, BYTE *pBuffer, DWORD *pdwSize)
{
    DWORD dwSizeHigh = 0;
    DWORD dwSize     = 0;
    DWORD dwRead     = 0;

    dwSize = GetFileSize(hFile, &dwSizeHigh);
    if (dwSizeHigh != 0)
        dwSize = 0xFFFFFFFF;
    if (dwSize < EBOOT_IMAGE_SIZE || dwSize > RAM_IMAGE_BUFFER_SIZE) {
        NKDbgPrintfW(
            TEXT("[QuorShell] WriteEBootImage: image size 0x%X is out of range 0x%X - 0x%X \r\n"),
            dwSize, EBOOT_IMAGE_SIZE, RAM_IMAGE_BUFFER_SIZE);
        return 0;
    }
    // A short read leaves part of the image without its source: it fails like no read.
    if (!ReadFile(hFile, pBuffer, dwSize, &dwRead, NULL) || dwRead != dwSize) {
        NKDbgPrintfW(TEXT("WriteEBootImage: ReadFile fail Error(%d) \r\n"), GetLastError());
        return 0;
    }
    *pdwSize = dwSize;
    return 1;
}

// Erases and writes one block with the records in pSectorInfo; the source is the block's data.
static DWORD WriteEbootBlock(HANDLE hDisk, DWORD dwBlock, BYTE *pSource, SectorInfo *pSectorInfo)
{
    NKDbgPrintfW(TEXT("[QuorShell] WriteEBootImage: Erase %d block \r\n"), dwBlock);
    if (!NandEraseBlock(hDisk, dwBlock)) {
        NKDbgPrintfW(TEXT("[QuorShell] WriteEBootImage: failed to erase block (0x%x).\r\n"),
                     dwBlock);
        return 0;
    }
    NKDbgPrintfW(TEXT("[QuorShell] WriteEBootImage: Write %d block \r\n"), dwBlock);
    if (!NandWriteBlock(hDisk, dwBlock, pSource, pSectorInfo)) {
        NKDbgPrintfW(TEXT("[QuorShell] WriteEBootImage: failed to write block (0x%x).\r\n"),
                     dwBlock);
        return 0;
    }
    return 1;
}

DWORD WriteEBootImage(HANDLE hDisk, BYTE *pBuffer, SectorInfo *pSectorInfo)
{
    DWORD  dwResult = 0;
    DWORD  dwBlock  = 0;
    BYTE  *pSource  = pBuffer;
    HANDLE hFile    = INVALID_HANDLE_VALUE;
    DWORD  dwSize   = 0;

    NKDbgPrintfW(TEXT("WriteEBootImage ++ \r\n"));
    NKDbgPrintfW(TEXT("Open EBoot image file... %s \r\n"), g_ImagePath);
    if (!pBuffer || !pSectorInfo) {
        NKDbgPrintfW(TEXT("[QuorShell] WriteEBootImage Invalid Parameter \r\n"));
        return 0;
    }

#ifdef QS_SAFE_UPDATE
    // A signed boot loader was read and its signature verified before anything was written:
    // those very bytes are written, and the file is not read again.
    if (g_pSignedEboot != NULL) {
        pBuffer = g_pSignedEboot;
        pSource = pBuffer;
        goto signed_bytes;
    }
#endif
    hFile = OpenEbootFile();
    if (hFile == INVALID_HANDLE_VALUE || !ReadEbootFile(hFile, pBuffer, &dwSize))
        goto done;
#ifdef QS_SAFE_UPDATE
signed_bytes:
#endif

    NKDbgPrintfW(TEXT("[QuorShell] dwBlock %d NumBlocks %d \r\n"), STEPLOADER_BLOCK,
                 EBOOT_BLOCKS + 1);
    // Every access to the boot area, its first-sector reads included, comes with the flag on;
    // the exit clears it.
    NandSetEbootFlag(hDisk, 1);
    if (!AllEbootBlocksGood(hDisk))
        goto done;
#ifdef QS_SAFE_UPDATE
    // A failed erase or program here leaves a boot loader that starts nothing, and no later
    // start comes to mend it: the variant reads the blocks before the first erase, retries,
    // leaves alone a block that already matches and reads the boot loader back.
    dwResult = SafeWriteBootBlocks(hDisk, pBuffer);
    goto done;
#endif

    for (dwBlock = STEPLOADER_BLOCK; dwBlock <= EBOOT_LAST_BLOCK; dwBlock++) {
        // Every block, block 0 included, is written back with its own records: the caller's
        // array holds nothing defined before this read.
        if (!NandReadBlock(hDisk, dwBlock, NULL, pSectorInfo)) {
            NKDbgPrintfW(TEXT("[QuorShell] WriteEBootImage: failed to read block (0x%x).\r\n"),
                         dwBlock);
            goto done;
        }
        if (dwBlock != STEPLOADER_BLOCK)
            pSectorInfo[0].bOemFlags &= (BYTE)~BOOT_AREA_FLAG;
        if (!WriteEbootBlock(hDisk, dwBlock, pSource, pSectorInfo))
            goto done;
        pSource += (dwBlock == STEPLOADER_BLOCK) ? STEPLOADER_SIZE : NAND_BLOCK_SIZE;
    }
    dwResult = 1;

done:
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    NandSetEbootFlag(hDisk, 0);
    NKDbgPrintfW(TEXT("WriteEBootImage -- return %d \r\n"), dwResult);
    return dwResult;
}
