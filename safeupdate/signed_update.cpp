// Signed updates: the update key of the running image, the signature side files beside the
// images, and the update that writes nothing until every offered image's signature holds. A
// signature is Ed25519 over the SHA-256 digest of the whole image file, taken in the pass that
// already reads the file.
#include "safeupdate/safe_update.h"

#include "osupdate/OSUPDATE.h"
#include "osupdate/eboot_writer.h"
#include "osupdate/image_loader.h"
#include "safeupdate/ed25519.h"

DWORD         g_UpdateKeyLoaded = 0;
DWORD         g_UpdateRefused   = 0;
SHA256_STATE *g_pImageDigest    = NULL;
BYTE         *g_pSignedEboot    = NULL;
BYTE          g_abUpdateKey[ED25519_KEY_SIZE];

// Scratch for the bytes behind the NK image's last record: the 30-byte trailer, as a rule.
#define REST_CHUNK_SIZE 512

DWORD LoadUpdateKey(void)
{
    HANDLE hFile    = INVALID_HANDLE_VALUE;
    DWORD  dwResult = 0;
    DWORD  dwSize   = 0;
    DWORD  dwRead   = 0;
    DWORD  dwError  = 0;

    g_UpdateKeyLoaded = 0;
    hFile             = CreateFileW(UPDATE_KEY_PATH, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (hFile == INVALID_HANDLE_VALUE) {
        // Only a key that is not there lets unsigned images through: any other failure to open
        // it stops the update, so that a failing call never passes for a device without a key.
        dwError = GetLastError();
        if (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND)
            dwResult = 1;
        else
            NKDbgPrintfW(
                TEXT("[QuorShell] SafeUpdate: update key %s cannot be opened (%d), update not "
                     "started \r\n"),
                UPDATE_KEY_PATH, dwError);
        goto done;
    }
    dwSize = GetFileSize(hFile, NULL);
    if (dwSize != ED25519_KEY_SIZE) {
        NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: update key %s is not a key of 32 bytes (size "
                          "%d), update not started \r\n"),
                     UPDATE_KEY_PATH, dwSize);
        goto done;
    }
    if (!ReadFile(hFile, g_abUpdateKey, ED25519_KEY_SIZE, &dwRead, NULL) ||
        dwRead != ED25519_KEY_SIZE) {
        NKDbgPrintfW(
            TEXT("[QuorShell] SafeUpdate: update key %s cannot be read, update not started \r\n"),
            UPDATE_KEY_PATH);
        goto done;
    }
    NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: update key %s: only signed images are written \r\n"),
                 UPDATE_KEY_PATH);
    g_UpdateKeyLoaded = 1;
    dwResult          = 1;

done:
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    return dwResult;
}

// A refusal for good: the package is removed at the end of the start and never tried again.
static void RefuseImage(LPCWSTR pszImage, LPCWSTR pszWhy)
{
    NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: %s refused: %s \r\n"), pszImage, pszWhy);
    g_UpdateRefused = 1;
}

// 1 when the image's side file holds the key's signature of the digest. A side file that is not
// there, is not 64 bytes or does not verify refuses the image; one that is there but cannot be
// read fails the update as any failed read does, and the package stays for another start.
static DWORD CheckSignatureFile(LPCWSTR pszImage, const BYTE *pDigest)
{
    WCHAR  szSignature[MAX_PATH];
    BYTE   abSignature[ED25519_SIGNATURE_SIZE];
    HANDLE hFile    = INVALID_HANDLE_VALUE;
    DWORD  dwResult = 0;
    DWORD  dwSize   = 0;
    DWORD  dwRead   = 0;

    PathClear(szSignature);
    // A side-file name too long for a path cannot name a file that is there.
    if (!PathCopy(szSignature, pszImage) || !PathAppend(szSignature, SIGNATURE_FILE_SUFFIX)) {
        RefuseImage(pszImage, TEXT("signature missing"));
        goto done;
    }
    hFile = CreateFileW(szSignature, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (hFile == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND)
            RefuseImage(pszImage, TEXT("signature missing"));
        else
            NKDbgPrintfW(
                TEXT("[QuorShell] SafeUpdate: %s cannot be opened (%d), update not started \r\n"),
                szSignature, GetLastError());
        goto done;
    }
    dwSize = GetFileSize(hFile, NULL);
    if (dwSize == INVALID_FILE_SIZE) {
        NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: %s cannot be read, update not started \r\n"),
                     szSignature);
        goto done;
    }
    if (dwSize != ED25519_SIGNATURE_SIZE) {
        NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: %s refused: signature malformed (%d bytes, not "
                          "64) \r\n"),
                     pszImage, dwSize);
        g_UpdateRefused = 1;
        goto done;
    }
    if (!ReadFile(hFile, abSignature, ED25519_SIGNATURE_SIZE, &dwRead, NULL) ||
        dwRead != ED25519_SIGNATURE_SIZE) {
        NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: %s cannot be read, update not started \r\n"),
                     szSignature);
        goto done;
    }
    if (!Ed25519Verify(abSignature, pDigest, SHA256_DIGEST_SIZE, g_abUpdateKey)) {
        RefuseImage(pszImage, TEXT("signature does not verify"));
        goto done;
    }
    NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: %s signature verified \r\n"), pszImage);
    dwResult = 1;

done:
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    return dwResult;
}

// Reads the boot-loader file whole into pImage, as the writer reads it, digests it, checks its
// signature and keeps the five blocks' bytes in pEboot for the writer.
static DWORD ReadSignedBootLoader(BYTE *pImage, BYTE *pEboot)
{
    SHA256_STATE hash;
    BYTE         abDigest[SHA256_DIGEST_SIZE];
    HANDLE       hFile    = INVALID_HANDLE_VALUE;
    DWORD        dwResult = 0;
    DWORD        dwSize   = 0;

    hFile = OpenEbootFile();
    if (hFile == INVALID_HANDLE_VALUE || !ReadEbootFile(hFile, pImage, &dwSize))
        goto done;
    Sha256Init(&hash);
    Sha256Update(&hash, pImage, dwSize);
    Sha256Final(&hash, abDigest);
    if (!CheckSignatureFile(g_ImagePath, abDigest))
        goto done;
    memcpy(pEboot, pImage, EBOOT_IMAGE_SIZE);
    dwResult = 1;

done:
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    return dwResult;
}

DWORD DigestRestOfFile(HANDLE hFile)
{
    BYTE  abChunk[REST_CHUNK_SIZE];
    DWORD dwRead = 0;

    for (;;) {
        if (!ReadFile(hFile, abChunk, REST_CHUNK_SIZE, &dwRead, NULL)) {
            NKDbgPrintfW(TEXT("[QuorShell] SafeUpdate: %s cannot be read to its end \r\n"),
                         g_ImagePath);
            return 0;
        }
        if (dwRead == 0)
            return 1;
        Sha256Update(g_pImageDigest, abChunk, dwRead);
    }
}

// Loads the NK image into pImage with its digest and checks its signature.
static DWORD LoadSignedNK(BYTE *pImage)
{
    SHA256_STATE hash;
    BYTE         abDigest[SHA256_DIGEST_SIZE];
    DWORD        dwLoaded = 0;

    Sha256Init(&hash);
    g_pImageDigest = &hash;
    dwLoaded       = LoadOSImage(pImage);
    g_pImageDigest = NULL;
    if (!dwLoaded) {
        NKDbgPrintfW(TEXT("OS NK Image upload fail!!!! \r\n"));
        return 0;
    }
    Sha256Final(&hash, abDigest);
    return CheckSignatureFile(g_ImagePath, abDigest);
}

DWORD UpdateSignedImages(HANDLE hDisk, BYTE *pImage, SectorInfo *pSectorInfo)
{
    WCHAR szEboot[MAX_PATH];
    WCHAR szNK[MAX_PATH];
    BYTE *pEboot   = NULL;
    DWORD dwResult = 0;
    DWORD dwEboot  = 0;

    // The boot loader first, as without a key, but only read: its bytes wait in pEboot, since
    // the NK image is loaded over the RAM image buffer before anything is written.
    PathClear(szEboot);
    if (g_EbootUpdate && ChooseBootLoaderImage()) {
        // Without a key a boot loader that fails its CRC is left out and the NK image goes on;
        // with one, the package is written whole or not at all. A CRC that fails may be a read
        // that failed, so the package stays for another start.
        if (!CheckBootLoaderCRC()) {
            NKDbgPrintfW(
                TEXT("[QuorShell] SafeUpdate: the boot loader fails its CRC check, "
                     "nothing written \r\n"));
            goto done;
        }
        pEboot = (BYTE *)LocalAlloc(LMEM_FIXED, EBOOT_IMAGE_SIZE);
        if (pEboot == NULL) {
            NKDbgPrintfW(TEXT("[QuorShell]UpdateSystemImage: malloc fail \r\n"));
            goto done;
        }
        if (!ReadSignedBootLoader(pImage, pEboot))
            goto done;
        PathCopy(szEboot, g_ImagePath);
    }
    if (!FindNKImage() || !LoadSignedNK(pImage))
        goto done;

    // Every offered image's signature holds: now the writes, in the order of an update without
    // a key.
    if (szEboot[0] != 0) {
        PathClear(szNK);
        PathCopy(szNK, g_ImagePath);
        PathCopy(g_ImagePath, szEboot);
        g_pSignedEboot = pEboot;
        dwEboot        = WriteEBootImage(hDisk, pImage, pSectorInfo);
        g_pSignedEboot = NULL;
        PathCopy(g_ImagePath, szNK);
        if (!dwEboot) {
            NKDbgPrintfW(TEXT("Write EBoot Image fail \r\n"));
            goto done;
        }
    }
    dwResult = WriteLoadedNK(hDisk, pImage, pSectorInfo);

done:
    if (pEboot != NULL)
        LocalFree(pEboot);
    return dwResult;
}
