// The NK image's signature trailer and the boot-loader image's CRC side file.
#include "osupdate/image_check.h"

#include "common/qs_common.h"

#define TRAILER_COMPANY_OFFSET 0
#define TRAILER_COMPANY_SIZE 4
#define TRAILER_PRODUCT_OFFSET 5
#define TRAILER_PRODUCT_SIZE 10
#define TRAILER_VERSION_OFFSET 16
#define TRAILER_VERSION_SIZE 6
#define TRAILER_LANGUAGE_OFFSET 23
#define TRAILER_LANGUAGE_SIZE 4

// The table depends on the polynomial alone, so it is built once and needs no reset between boots.
static DWORD s_CRCTable[256];
static DWORD s_CRCTableReady = 0;

DWORD CheckImageSignature(LPCWSTR pszPath)
{
    // One spare zero byte ends the last field for the conversion.
    BYTE   abTrailer[IMAGE_TRAILER_SIZE + 1];
    WCHAR  szCompany[TRAILER_COMPANY_SIZE + 1];
    WCHAR  szProduct[TRAILER_PRODUCT_SIZE + 1];
    WCHAR  szVersion[TRAILER_VERSION_SIZE + 1];
    WCHAR  szLanguage[TRAILER_LANGUAGE_SIZE + 1];
    HANDLE hFile    = INVALID_HANDLE_VALUE;
    DWORD  dwResult = 0;
    DWORD  dwSize   = 0;
    DWORD  dwRead   = 0;

    NKDbgPrintfW(TEXT("OSUPDATE: CheckImageSignature ++ %s \r\n"), pszPath);
    hFile = CreateFileW(pszPath, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE) {
        NKDbgPrintfW(TEXT("OSUPDATE: CheckImageSignature Open file handle fail \r\n"));
        goto done;
    }
    dwSize = GetFileSize(hFile, NULL);
    if (dwSize == INVALID_FILE_SIZE)
        goto done;
    // A file shorter than the trailer has none: it is refused rather than read before its start.
    if (dwSize < IMAGE_TRAILER_SIZE) {
        NKDbgPrintfW(TEXT("OSUPDATE: CheckImageSignature Image file is too small. size:%d \r\n"),
                     dwSize);
        goto done;
    }

    memset(abTrailer, 0, sizeof(abTrailer));
    if (SetFilePointer(hFile, (LONG)(dwSize - IMAGE_TRAILER_SIZE), NULL, FILE_BEGIN) ==
            INVALID_SET_FILE_POINTER ||
        !ReadFile(hFile, abTrailer, IMAGE_TRAILER_SIZE, &dwRead, NULL) ||
        dwRead != IMAGE_TRAILER_SIZE) {
        NKDbgPrintfW(
            TEXT("OSUPDATE: CheckImageSignature Getting Signature Data from image is fail \r\n"));
        goto done;
    }

    memset(szCompany, 0, sizeof(szCompany));
    memset(szProduct, 0, sizeof(szProduct));
    memset(szVersion, 0, sizeof(szVersion));
    memset(szLanguage, 0, sizeof(szLanguage));
    mbstowcs(szCompany, (const char *)abTrailer + TRAILER_COMPANY_OFFSET, TRAILER_COMPANY_SIZE);
    mbstowcs(szProduct, (const char *)abTrailer + TRAILER_PRODUCT_OFFSET, TRAILER_PRODUCT_SIZE);
    mbstowcs(szVersion, (const char *)abTrailer + TRAILER_VERSION_OFFSET, TRAILER_VERSION_SIZE);
    mbstowcs(szLanguage, (const char *)abTrailer + TRAILER_LANGUAGE_OFFSET, TRAILER_LANGUAGE_SIZE);
    NKDbgPrintfW(
        TEXT("OSUPDATE: CheckImageSignature Company:%s Product:%s Version:%s Language:%s \r\n"),
        szCompany, szProduct, szVersion, szLanguage);

    if (wcscmp(szCompany, IMAGE_COMPANY) != 0) {
        NKDbgPrintfW(TEXT("OSUPDATE: CheckImageSignature Company Signature is not match. exp:%s "
                          "real:%s \r\n"),
                     IMAGE_COMPANY, szCompany);
        goto done;
    }
    if (wcscmp(szProduct, IMAGE_PRODUCT) != 0) {
        NKDbgPrintfW(TEXT("OSUPDATE: CheckImageSignature Product Signature is not match. exp:%s "
                          "real:%s \r\n"),
                     IMAGE_PRODUCT, szProduct);
        goto done;
    }
    NKDbgPrintfW(TEXT("OSUPDATE: CheckImageSignature Company and Product signature is matched. "
                      "Company: %s Product: %s \r\n"),
                 szCompany, szProduct);
    dwResult = 1;

done:
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    NKDbgPrintfW(TEXT("OSUPDATE: CheckImageSignature -- %s \r\n"), pszPath);
    return dwResult;
}

void MakeCRCTable(DWORD *pTable, DWORD dwPolynomial)
{
    DWORD dwEntry = 0;
    DWORD dwBit   = 0;
    DWORD dwValue = 0;

    for (dwEntry = 0; dwEntry < 256; dwEntry++) {
        dwValue = dwEntry;
        for (dwBit = 0; dwBit < 8; dwBit++)
            dwValue = (dwValue & 1) ? (dwValue >> 1) ^ dwPolynomial : dwValue >> 1;
        pTable[dwEntry] = dwValue;
    }
}

DWORD CalcCRC(const BYTE *pData, DWORD dwLen, DWORD dwValue)
{
    DWORD dwRegister = ~dwValue;
    DWORD i          = 0;

    if (!s_CRCTableReady) {
        MakeCRCTable(s_CRCTable, CRC_POLYNOMIAL);
        s_CRCTableReady = 1;
    }
    for (i = 0; i < dwLen; i++)
        dwRegister = s_CRCTable[(dwRegister ^ pData[i]) & 0xFF] ^ (dwRegister >> 8);
    return dwRegister;
}

DWORD CheckCRCFile(LPCWSTR pszPath)
{
    WCHAR  szCrcPath[MAX_PATH];
    HANDLE hImage      = INVALID_HANDLE_VALUE;
    HANDLE hCrc        = INVALID_HANDLE_VALUE;
    BYTE  *pChunk      = NULL;
    DWORD  dwResult    = 0;
    DWORD  dwSize      = 0;
    DWORD  dwRemaining = 0;
    DWORD  dwWant      = 0;
    DWORD  dwRead      = 0;
    DWORD  dwValue     = 0;
    DWORD  dwExpected  = 0;

    hImage = CreateFileW(pszPath, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (hImage == INVALID_HANDLE_VALUE) {
        NKDbgPrintfW(TEXT("CheckCRCFile: CreateFile %s fail r\n"), pszPath);
        goto done;
    }
    dwSize = GetFileSize(hImage, NULL);
    if (dwSize == INVALID_FILE_SIZE) {
        NKDbgPrintfW(TEXT("CheckCRCFile: ReadFile %s fail \r\n"), pszPath);
        goto done;
    }
    // Four bytes or fewer cannot be a boot loader: refused, so that the writer never fills flash
    // blocks with bytes that did not come from the file.
    if (dwSize <= 4) {
        NKDbgPrintfW(TEXT("CheckCRCFile: %s is too small. size:%d \r\n"), pszPath, dwSize);
        goto done;
    }

    PathClear(szCrcPath);
    if (!PathCopy(szCrcPath, pszPath) || !PathAppend(szCrcPath, CRC_FILE_SUFFIX)) {
        NKDbgPrintfW(TEXT("CheckCRCFile: CreateFile %s%s fail \r\n"), pszPath, CRC_FILE_SUFFIX);
        goto done;
    }
    hCrc = CreateFileW(szCrcPath, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (hCrc == INVALID_HANDLE_VALUE) {
        NKDbgPrintfW(TEXT("CheckCRCFile: CreateFile %s fail \r\n"), szCrcPath);
        goto done;
    }

    // One chunk at a time: the image is never held whole.
    pChunk = (BYTE *)LocalAlloc(LMEM_FIXED, CRC_CHUNK_SIZE);
    if (!pChunk) {
        NKDbgPrintfW(TEXT("CheckCRCFile: LocalAlloc fail \r\n"));
        goto done;
    }
    dwRemaining = dwSize;
    while (dwRemaining != 0) {
        dwWant = dwRemaining < CRC_CHUNK_SIZE ? dwRemaining : CRC_CHUNK_SIZE;
        dwRemaining -= dwWant;
        memset(pChunk, 0, CRC_CHUNK_SIZE);
        if (!ReadFile(hImage, pChunk, dwWant, &dwRead, NULL)) {
            NKDbgPrintfW(TEXT("CheckCRCFile: ReadFile %s fail \r\n"), pszPath);
            goto done;
        }
        if (dwRead == 0) {
            NKDbgPrintfW(TEXT("CheckCRCFile: ReadFile %s fail. dwRead is 0 \r\n"), pszPath);
            goto done;
        }
        dwValue = CalcCRC(pChunk, dwRead, dwValue);
    }

    if (!ReadFile(hCrc, &dwExpected, sizeof(dwExpected), &dwRead, NULL)) {
        NKDbgPrintfW(TEXT("CheckCRCFile: ReadFile %s fail \r\n"), szCrcPath);
        goto done;
    }
    if (dwExpected != dwValue) {
        NKDbgPrintfW(TEXT("CheckCRCFile: CRC is not match. CAL: 0x%X READ: 0x%X \r\n"), dwValue,
                     dwExpected);
        goto done;
    }
    NKDbgPrintfW(TEXT("CheckCRCFile: Check CRC of %s success \r\n"), pszPath);
    dwResult = 1;

done:
    if (pChunk)
        LocalFree(pChunk);
    if (hCrc != INVALID_HANDLE_VALUE)
        CloseHandle(hCrc);
    if (hImage != INVALID_HANDLE_VALUE)
        CloseHandle(hImage);
    return dwResult;
}
