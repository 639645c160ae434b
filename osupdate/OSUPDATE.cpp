// The operating-system image update procedure and its process-wide state.
#include "osupdate/OSUPDATE.h"

#include "nand/fmd.h"
#include "osupdate/eboot_writer.h"
#include "osupdate/image_check.h"
#include "osupdate/image_loader.h"
#include "osupdate/nk_writer.h"
#include "osupdate/update_source.h"
#include "toc/toc.h"
#ifdef QS_SAFE_UPDATE
#include "safeupdate/safe_update.h"
#endif

#define FIRMWARE_CUE TEXT("\\windows\\firmware.wav")

WCHAR g_UpdateDir[MAX_PATH];
WCHAR g_ImagePath[MAX_PATH];
DWORD g_EbootUpdate = 0;
DWORD g_ImageStart  = 0;
DWORD g_ImageLen    = 0;
DWORD g_LaunchAddr  = 0;

// Leaves in g_ImagePath the update folder's file that matches the pattern, the one with the
// greatest key; 1 when there is one. The three lines are the image's own.
static DWORD ChooseImage(LPCWSTR pszPattern, LPCWSTR pszFindLine, LPCWSTR pszMissingLine,
                         LPCWSTR pszFoundLine)
{
    PathClear(g_ImagePath);
    PathCopy(g_ImagePath, g_UpdateDir);
    PathAppend(g_ImagePath, pszPattern);
    NKDbgPrintfW(pszFindLine, g_ImagePath);
    if (!IsExistPath(g_ImagePath)) {
        NKDbgPrintfW(pszMissingLine, GetLastError());
        return 0;
    }
    NKDbgPrintfW(pszFoundLine);
    GetUpdateFilePath(g_ImagePath, g_UpdateDir);
    return 1;
}

DWORD ChooseBootLoaderImage(void)
{
    return ChooseImage(EBOOT_IMAGE_PATTERN, TEXT("Find EBoot Image Path==%s \r\n"),
                       TEXT("ERROR(%d)- Cannot find EBoot image file \r\n"),
                       TEXT("Found EBoot Image! \r\n"));
}

DWORD CheckBootLoaderCRC(void)
{
    if (!CheckCRCFile(g_ImagePath)) {
        NKDbgPrintfW(TEXT("Check CRC for Eboot Image File fail \r\n"));
        return 0;
    }
    return 1;
}

DWORD FindNKImage(void)
{
    if (!ChooseImage(NK_IMAGE_PATTERN, TEXT("Find NK Image Path==%s \r\n"),
                     TEXT("ERROR(%d)- Cannot find NK image file \r\n"),
                     TEXT("Found OS NK Image! \r\n")))
        return 0;
    if (!CheckImageSignature(g_ImagePath)) {
        PlaySoundW(FIRMWARE_CUE, NULL, 0);
        return 0;
    }
    return 1;
}

DWORD WriteLoadedNK(HANDLE hDisk, BYTE *pImage, SectorInfo *pSectorInfo)
{
    if (!WriteNK(hDisk, pImage, pSectorInfo, g_ImageStart, g_ImageLen, g_LaunchAddr)) {
        NKDbgPrintfW(TEXT("Write NK Image fail !!!! \r\n"));
        return 0;
    }
    DeleteFileW(g_ImagePath);
    return 1;
}

// The boot loader, when its image is there and matches its CRC side file; 0 only when its
// write failed. In the standard shell that never changes the update's result: the NK image goes
// on either way.
static DWORD UpdateBootLoader(HANDLE hDisk, BYTE *pImage, SectorInfo *pSectorInfo)
{
    if (!ChooseBootLoaderImage() || !CheckBootLoaderCRC())
        return 1;
    if (!WriteEBootImage(hDisk, pImage, pSectorInfo)) {
        NKDbgPrintfW(TEXT("Write EBoot Image fail \r\n"));
        return 0;
    }
    return 1;
}

// Finds, checks and writes the boot loader (when the driver allows it) and the operating-system
// image; 1 only when the NK image was written and its file deleted.
DWORD UpdateSystemImage(DWORD dwSelector)
{
    DWORD       dwResult    = 0;
    BYTE       *pImage      = NULL;
    SectorInfo *pSectorInfo = NULL;
    HANDLE      hDisk       = INVALID_HANDLE_VALUE;
    WCHAR       szRoot[MAX_PATH];

    NKDbgPrintfW(TEXT("*************** [QuorShell]UpdateSystemImage ++ \r\n"));
    PathClear(szRoot);
    PathCopy(szRoot, UpdateRootName(dwSelector));
    if (!FindStorageRoot(szRoot)) {
        NKDbgPrintfW(TEXT("OSUPDATE: No Image Files \r\n"));
        goto done;
    }
    PathClear(g_UpdateDir);
    PathCopy(g_UpdateDir, TEXT("\\"));
    PathAppend(g_UpdateDir, szRoot);
    PathAppend(g_UpdateDir, UPDATE_FOLDER_NAME);
    NKDbgPrintfW(TEXT("DirPath== %s \r\n"), g_UpdateDir);
    if (!IsExistPath(g_UpdateDir)) {
        NKDbgPrintfW(TEXT("ERROR(%d)- Cannot find Image Path \r\n"), GetLastError());
        goto done;
    }
    NKDbgPrintfW(TEXT("Found Image Path! \r\n"));

    pImage      = (BYTE *)LocalAlloc(LMEM_FIXED, RAM_IMAGE_BUFFER_SIZE);
    pSectorInfo = (SectorInfo *)LocalAlloc(LMEM_FIXED, SECTOR_INFO_ARRAY_SIZE);
    if (pImage == NULL || pSectorInfo == NULL) {
        NKDbgPrintfW(TEXT("[QuorShell]UpdateSystemImage: malloc fail \r\n"));
        goto release;
    }
    hDisk =
        CreateFileW(TEXT("DSK1:"), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (hDisk == INVALID_HANDLE_VALUE) {
        NKDbgPrintfW(TEXT("[QuorShell]UpdateSystemImage: CreateFile DSK1 fail \r\n"));
        goto release;
    }

    g_EbootUpdate = 0;
    if (NandGetEbootUpdate(hDisk, &g_EbootUpdate))
        NKDbgPrintfW(TEXT("Is eboot update enabled? %d \r\n"), g_EbootUpdate);
    else
        g_EbootUpdate = 0;
#ifdef QS_SAFE_UPDATE
    // A TOC read that fails for a moment would start the update from the defaults, and the TOC
    // written after the image would drop the boot configuration: the read is tried again, and a
    // TOC sector that cannot be read at all stops the update before anything is erased.
    if (!SafeLoadToc(hDisk))
        goto release;
#else
    if (!TOC_Read(hDisk)) {
        NKDbgPrintfW(TEXT("[QuorShell]UpdateSystemImage: TOC_Read fail. So Initialize TOC \r\n"));
        TOC_Init();
    }
#endif
#ifdef QS_SAFE_UPDATE
    // With an update key in the running image, nothing is written before the signature of
    // every offered image holds; a key that is there but cannot be read stops the update.
    if (!LoadUpdateKey())
        goto release;
    if (g_UpdateKeyLoaded) {
        dwResult = UpdateSignedImages(hDisk, pImage, pSectorInfo);
        goto release;
    }
    // A boot loader that its writer could not write whole, even with its retries, stops the
    // update here: the NK image and the TOC stay as they are.
    if (g_EbootUpdate && !UpdateBootLoader(hDisk, pImage, pSectorInfo))
        goto release;
#else
    if (g_EbootUpdate)
        UpdateBootLoader(hDisk, pImage, pSectorInfo);
#endif

    // The NK image: found, checked, loaded and written; the TOC changes only with it.
    if (!FindNKImage())
        goto release;
    if (!LoadOSImage(pImage)) {
        NKDbgPrintfW(TEXT("OS NK Image upload fail!!!! \r\n"));
        goto release;
    }
    dwResult = WriteLoadedNK(hDisk, pImage, pSectorInfo);

release:
    if (pImage != NULL)
        LocalFree(pImage);
    if (pSectorInfo != NULL)
        LocalFree(pSectorInfo);
    if (hDisk != INVALID_HANDLE_VALUE)
        CloseHandle(hDisk);
done:
    NKDbgPrintfW(TEXT("*********************[QuorShell]UpdateSystemImage -- %d \r\n"), dwResult);
    return dwResult;
}
