// The .BIN loader: header, records with their byte sums, the terminating record.
#include "osupdate/image_loader.h"

#include "common/qs_common.h"
#include "osupdate/OSUPDATE.h"
#ifdef QS_SAFE_UPDATE
#include "safeupdate/safe_update.h"
#endif

// Bytes no record covers read as erased flash.
#define BUFFER_FILL_BYTE 0xFF

DWORD ReadData(HANDLE hFile, DWORD dwCount, BYTE *pDest)
{
    DWORD dwRemaining = dwCount;
    DWORD dwWant      = 0;
    DWORD dwReadByte  = 0;

    while (dwRemaining != 0) {
        dwWant     = dwRemaining < BIN_READ_CHUNK ? dwRemaining : BIN_READ_CHUNK;
        dwReadByte = 0;
        if (!ReadFile(hFile, pDest, dwWant, &dwReadByte, NULL) || dwReadByte != dwWant) {
            NKDbgPrintfW(TEXT("ERROR(%d)- File Read Error cbData=0x%X dwReadByte=0x%X!\r\n"),
                         GetLastError(), dwCount, dwReadByte);
            return 0;
        }
#ifdef QS_SAFE_UPDATE
        if (g_pImageDigest != NULL)
            Sha256Update(g_pImageDigest, pDest, dwWant);
#endif
        pDest += dwWant;
        dwRemaining -= dwWant;
    }
    return 1;
}

DWORD ReadAndVerify(HANDLE hFile, BYTE *pDest, DWORD dwAddr, DWORD dwLen, DWORD dwChk)
{
    DWORD dwSum = 0;
    DWORD i     = 0;

    if (!ReadData(hFile, dwLen, pDest)) {
        NKDbgPrintfW(TEXT("ReadAndVerify ReadData fail 3\r\n"));
        return 0;
    }
    for (i = 0; i < dwLen; i++)
        dwSum += pDest[i];
    if (dwSum != dwChk) {
        NKDbgPrintfW(TEXT("Checksum fail 02 Addr:0x%X Len:0x%X Chksum:0x%X real:0x%X \r\n"), dwAddr,
                     dwLen, dwChk, dwSum);
        return 0;
    }
    return 1;
}

// A record must lie wholly inside the buffer's address window; one that does not is refused
// before any of its bytes is read, so nothing outside the buffer is ever written.
static DWORD IsRecordInBuffer(DWORD dwAddr, DWORD dwLen)
{
    DWORD dwOffset = dwAddr - RAM_IMAGE_BASE;

    if (dwAddr < RAM_IMAGE_BASE || dwOffset > RAM_IMAGE_BUFFER_SIZE)
        return 0;
    return dwLen <= RAM_IMAGE_BUFFER_SIZE - dwOffset;
}

DWORD LoadOSImage(BYTE *pBuffer)
{
    BYTE   abSignature[BIN_SIGNATURE_SIZE];
    HANDLE hFile     = INVALID_HANDLE_VALUE;
    DWORD  dwResult  = 0;
    DWORD  dwRecNum  = 0;
    DWORD  dwRecAddr = 0;
    DWORD  dwRecLen  = 0;
    DWORD  dwRecChk  = 0;
    DWORD  dwFill    = 0;

    NKDbgPrintfW(TEXT("Open OS update image file... %s \r\n"), g_ImagePath);
    hFile =
        CreateFileW(g_ImagePath, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE) {
        NKDbgPrintfW(TEXT("ERROR(%d)- Cannot open OS update image file\r\n"), GetLastError());
        goto done;
    }

    memset(abSignature, 0, sizeof(abSignature));
    if (!ReadData(hFile, BIN_SIGNATURE_SIZE, abSignature) ||
        memcmp(abSignature, BIN_SIGNATURE, BIN_SIGNATURE_SIZE) != 0) {
        NKDbgPrintfW(TEXT("ERROR - This is not a .BIN file %x %x %x %x %x %x %x\r\n"),
                     GetLastError(), abSignature[0], abSignature[1], abSignature[2], abSignature[3],
                     abSignature[4], abSignature[5]);
        goto done;
    }
    if (!ReadData(hFile, sizeof(g_ImageStart), (BYTE *)&g_ImageStart) ||
        !ReadData(hFile, sizeof(g_ImageLen), (BYTE *)&g_ImageLen)) {
        NKDbgPrintfW(TEXT("ERROR - Unable to read image start/length\r\n"));
        goto done;
    }
    NKDbgPrintfW(TEXT("ImageStart: 0x%X ImageLen: 0x%X \r\n"), g_ImageStart, g_ImageLen);

    // The writer stores the first ImageLen bytes of the buffer; the gaps between records are
    // made erased flash rather than whatever the buffer held before (the boot-loader image).
    dwFill = g_ImageLen < RAM_IMAGE_BUFFER_SIZE ? g_ImageLen : RAM_IMAGE_BUFFER_SIZE;
    memset(pBuffer, BUFFER_FILL_BYTE, dwFill);

    if (!ReadData(hFile, sizeof(dwRecAddr), (BYTE *)&dwRecAddr)) {
        NKDbgPrintfW(TEXT("\r\n"));
        goto done;
    }
    for (;;) {
        if (!ReadData(hFile, sizeof(dwRecLen), (BYTE *)&dwRecLen) ||
            !ReadData(hFile, sizeof(dwRecChk), (BYTE *)&dwRecChk)) {
            NKDbgPrintfW(TEXT("\r\n"));
            goto done;
        }
        dwRecNum++;
        NKDbgPrintfW(TEXT("RecNum:%d RecAddr:0x%X RecLen:0x%X RecChk:0x%X \r\n"), dwRecNum,
                     dwRecAddr, dwRecLen, dwRecChk);
        if (dwRecAddr == 0 && dwRecChk == 0) {
            g_LaunchAddr = dwRecLen;
            NKDbgPrintfW(TEXT("\r\nOS Image End!\r\n"));
#ifdef QS_SAFE_UPDATE
            // A signature covers the whole file: the bytes behind the last record count too.
            if (g_pImageDigest != NULL && !DigestRestOfFile(hFile))
                goto done;
#endif
            dwResult = 1;
            goto done;
        }
        if (!IsRecordInBuffer(dwRecAddr, dwRecLen)) {
            NKDbgPrintfW(TEXT("ERROR - Record outside the image buffer Addr:0x%X Len:0x%X \r\n"),
                         dwRecAddr, dwRecLen);
            goto done;
        }
        if (!ReadAndVerify(hFile, pBuffer + (dwRecAddr - RAM_IMAGE_BASE), dwRecAddr, dwRecLen,
                           dwRecChk)) {
            NKDbgPrintfW(TEXT("**** ReadAndVerify fail \r\n"));
            goto done;
        }
        if (!ReadData(hFile, sizeof(dwRecAddr), (BYTE *)&dwRecAddr)) {
            NKDbgPrintfW(TEXT("\r\n"));
            goto done;
        }
    }

done:
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    return dwResult;
}
