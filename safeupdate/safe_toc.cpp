// The TOC as the safe-update variant reads and writes it: each tried again at once.
#include "safeupdate/safe_update.h"

#include "toc/toc.h"

DWORD SafeTocRead(HANDLE hDisk)
{
    DWORD dwTry = 0;

    for (dwTry = 0; dwTry < SAFE_TRIES; dwTry++)
        if (TOC_Read(hDisk))
            return 1;
    return 0;
}

// TOC_Write erases block 5 first, so every try writes the whole sector again.
DWORD SafeTocWrite(HANDLE hDisk)
{
    DWORD dwTry = 0;

    for (dwTry = 0; dwTry < SAFE_TRIES; dwTry++)
        if (TOC_Write(hDisk))
            return 1;
    return 0;
}

DWORD SafeLoadToc(HANDLE hDisk)
{
    if (SafeTocRead(hDisk))
        return 1;
    // A TOC that reads but is refused is replaced as the standard shell replaces it; one that
    // cannot be read at all may be sound, and the defaults written over it would drop ID[3].
    if (!SafeReadPage(hDisk, TOC_SECTOR, NULL, NULL)) {
        NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: TOC read fail, update not started \r\n"));
        return 0;
    }
    NKDbgPrintfW(TEXT("[QuorShell]UpdateSystemImage: TOC_Read fail. So Initialize TOC \r\n"));
    TOC_Init();
    return 1;
}

DWORD TocOnFlashIs(HANDLE hDisk, const BYTE *pToc, BYTE *pSector)
{
    SectorInfo info;

    if (!SafeReadPage(hDisk, TOC_SECTOR, pSector, &info))
        return 0;
    return memcmp(pSector, pToc, NAND_SECTOR_SIZE) == 0 &&
           memcmp(&info, &g_TocSectorInfo, sizeof(info)) == 0;
}
