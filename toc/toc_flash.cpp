// The TOC on the flash: read with validation, write with read-back verification.
#include "toc/toc.h"

const SectorInfo g_TocSectorInfo = {0xFFFFFFFF, 0xFE, 0xFF, 0xFFFF};

DWORD TOC_Read(HANDLE hDisk)
{
    SectorInfo info;

    NKDbgPrintfW(TEXT("TOC_Read: %d \r\n"), TOC_BLOCK);
    if (!NandReadPage(hDisk, TOC_SECTOR, (BYTE *)&g_TOC, &info)) {
        NKDbgPrintfW(TEXT("TOC_Read ERROR: Unable to read TOC\r\n"));
        return 0;
    }
    // The checks run in this order: signature, boot-area mark, boot loader version.
    if (g_TOC.dwSignature != TOC_SIGNATURE) {
        NKDbgPrintfW(TEXT("TOC_Read ERROR: INVALID_TOC Signature: 0x%x\r\n"), g_TOC.dwSignature);
        return 0;
    }
    if (info.bOemFlags & 0x01) {
        NKDbgPrintfW(TEXT("TOC_Read ERROR: SectorInfo verify failed: %x %x %x %x\r\n"),
                     info.dwReserved, info.bOemFlags, info.bBadBlockMark, info.wReserved);
        return 0;
    }
    if (g_TOC.ID[0].dwVersion != EBOOT_VERSION) {
        NKDbgPrintfW(
            TEXT(
                "TOC_Read WARN: Eboot version mismatch: TOC->dwVersion: 0x%x , Expected: 0x%x\r\n"),
            g_TOC.ID[0].dwVersion, EBOOT_VERSION);
        NKDbgPrintfW(TEXT("Invalidating TOC for re-initializing.\r\n"));
        return 0;
    }
    g_pBootCfg  = &g_TOC.BootCfg;
    g_ImageType = g_TOC.ID[g_ImageIndex].dwImageType;
    NKDbgPrintfW(TEXT(" [QuorShell] g_ImageType: 0x%x \r\n"), g_ImageType);
    NKDbgPrintfW(TEXT(" - TOC_Read \r\n"));
    return 1;
}

DWORD TOC_Write(HANDLE hDisk)
{
    DWORD      dwResult = 0;
    BYTE       readBack[NAND_SECTOR_SIZE];
    SectorInfo info;

    NKDbgPrintfW(TEXT("+ TOC_Write\r\n"));
    if (g_TOC.dwSignature != TOC_SIGNATURE) {
        NKDbgPrintfW(TEXT("TOC_Write ERROR: INVALID_TOC Signature: 0x%x\r\n"), g_TOC.dwSignature);
        return 0;
    }
    if (!IsValidImageSignature(&g_TOC.ID[g_ImageIndex])) {
        NKDbgPrintfW(TEXT("TOC_Write ERROR: INVALID_IMAGE[%u] Signature: 0x%x\r\n"), g_ImageIndex,
                     g_TOC.ID[g_ImageIndex].dwSignature);
        return 0;
    }

    NandSetTocFlag(hDisk, 1);
    if (!NandEraseBlock(hDisk, TOC_BLOCK)) {
        NKDbgPrintfW(TEXT("TOC_Write ERROR: EraseBlock[%d] \r\n"), TOC_BLOCK);
        goto done;
    }
    if (!NandWritePage(hDisk, TOC_SECTOR, (const BYTE *)&g_TOC, &g_TocSectorInfo)) {
        NKDbgPrintfW(TEXT("TOC_Write ERROR: Unable to save TOC\r\n"));
        goto done;
    }
    if (!NandReadPage(hDisk, TOC_SECTOR, readBack, &info)) {
        NKDbgPrintfW(TEXT("TOC_Write ERROR: Unable to read/verify TOC\r\n"));
        goto done;
    }
    if (memcmp(readBack, &g_TOC, sizeof(readBack)) != 0) {
        NKDbgPrintfW(TEXT("TOC_Write ERROR: TOC verify failed\r\n"));
        goto done;
    }
    if (memcmp(&info, &g_TocSectorInfo, sizeof(info)) != 0) {
        NKDbgPrintfW(TEXT("TOC_Write ERROR: SectorInfo verify failed: %x %x %x %x\r\n"),
                     g_TocSectorInfo.dwReserved, g_TocSectorInfo.bOemFlags,
                     g_TocSectorInfo.bBadBlockMark, g_TocSectorInfo.wReserved);
        goto done;
    }
    dwResult = 1;

done:
    NandSetTocFlag(hDisk, 0);
    NKDbgPrintfW(dwResult ? TEXT("- TOC_Write\r\n") : TEXT("- TOC_Write fail \r\n"));
    return dwResult;
}
