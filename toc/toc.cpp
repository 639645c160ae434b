// The TOC's defaults, signatures and dump.
#include "toc/toc.h"

TOC       g_TOC;
BOOT_CFG *g_pBootCfg   = NULL;
DWORD     g_ImageIndex = 3;
DWORD     g_ImageType  = 0;

DWORD IsValidImageSignature(const IMAGE_DESCRIPTOR *pDescriptor)
{
    if (!pDescriptor)
        return 0;
    return pDescriptor->dwSignature == IMAGE_SIGNATURE_EBOOT ||
           pDescriptor->dwSignature == IMAGE_SIGNATURE_NK ||
           pDescriptor->dwSignature == IMAGE_SIGNATURE_XIP;
}

void BootConfigInit(void)
{
    NKDbgPrintfW(TEXT("+BootConfigInit\r\n"));
    g_pBootCfg = &g_TOC.BootCfg;
    memset(g_pBootCfg, 0, sizeof(BOOT_CFG));
    g_pBootCfg->dwBootCfgId      = 0x07020317;
    g_pBootCfg->ConfigFlags      = 0x2020;
    g_pBootCfg->dwBootDelay      = 5;
    g_pBootCfg->dwLoaderWords[0] = 1;
    g_pBootCfg->dwLoaderWords[2] = 1;
    g_pBootCfg->dwLoaderWords[3] = 1;
    NKDbgPrintfW(TEXT("-BootConfigInit\r\n"));
}

static void InitDescriptor(IMAGE_DESCRIPTOR *pDescriptor, DWORD dwVersion, DWORD dwSignature,
                           const char *pszString, DWORD dwImageType, DWORD dwTtlSectors,
                           DWORD dwAddress, DWORD dwStoreOffset)
{
    pDescriptor->dwVersion   = dwVersion;
    pDescriptor->dwSignature = dwSignature;
    memcpy(pDescriptor->String, pszString, strlen(pszString) + 1);
    pDescriptor->dwImageType   = dwImageType;
    pDescriptor->dwTtlSectors  = dwTtlSectors;
    pDescriptor->dwLoadAddress = dwAddress;
    pDescriptor->dwJumpAddress = dwAddress;
    pDescriptor->dwStoreOffset = dwStoreOffset;
}

DWORD TOC_Init(void)
{
    memset(&g_TOC, 0, sizeof(g_TOC));
    g_pBootCfg = &g_TOC.BootCfg;
    memset(g_pBootCfg, 0, sizeof(BOOT_CFG));
    BootConfigInit();
    g_TOC.dwSignature = TOC_SIGNATURE;
    InitDescriptor(&g_TOC.ID[0], EBOOT_VERSION, IMAGE_SIGNATURE_EBOOT, "eboot.bin", 1, 0x100,
                   0x87700000, 1);
    InitDescriptor(&g_TOC.ID[3], 1, IMAGE_SIGNATURE_NK, "nk.bin", 8, 0x6000, 0x80020000, 0);
    TOC_Print();
    return 1;
}

static void PrintDescriptor(DWORD dwIndex)
{
    const IMAGE_DESCRIPTOR *pDescriptor = &g_TOC.ID[dwIndex];
    char                    szString[IMAGE_STRING_SIZE + 1];

    // A string read from the flash may lack its terminator; the dump stops at the field's end.
    memcpy(szString, pDescriptor->String, IMAGE_STRING_SIZE);
    szString[IMAGE_STRING_SIZE] = 0;
    NKDbgPrintfW(TEXT("ID[%u]\r\n"), dwIndex);
    NKDbgPrintfW(TEXT("{\r\n"));
    NKDbgPrintfW(TEXT("  dwVersion: 0x%X\r\n"), pDescriptor->dwVersion);
    NKDbgPrintfW(TEXT("  dwSignature: 0x%X\r\n"), pDescriptor->dwSignature);
    NKDbgPrintfW(TEXT("  String: %S\r\n"), szString);
    NKDbgPrintfW(TEXT("  dwImageType: 0x%X\r\n"), pDescriptor->dwImageType);
    NKDbgPrintfW(TEXT("  dwTtlSectors: 0x%X\r\n"), pDescriptor->dwTtlSectors);
    NKDbgPrintfW(TEXT("  dwLoadAddress: 0x%X\r\n"), pDescriptor->dwLoadAddress);
    NKDbgPrintfW(TEXT("  dwJumpAddress: 0x%X\r\n"), pDescriptor->dwJumpAddress);
    NKDbgPrintfW(TEXT("  dwStoreOffset: 0x%X\r\n"), pDescriptor->dwStoreOffset);
    NKDbgPrintfW(TEXT("}\r\n"));
}

void TOC_Print(void)
{
    const BOOT_CFG *pBootCfg = g_pBootCfg ? g_pBootCfg : &g_TOC.BootCfg;
    const BYTE     *pMac     = pBootCfg->MacAddress;
    DWORD           dwIndex  = 0;

    NKDbgPrintfW(TEXT("TOC {\r\n"));
    NKDbgPrintfW(TEXT("dwSignature: 0x%x\r\n"), g_TOC.dwSignature);
    NKDbgPrintfW(TEXT("BootCfg\r\n"));
    NKDbgPrintfW(TEXT("{\r\n"));
    NKDbgPrintfW(TEXT("  ConfigFlags: 0x%x\r\n"), pBootCfg->ConfigFlags);
    NKDbgPrintfW(TEXT("  dwBootDelay: 0x%x\r\n"), pBootCfg->dwBootDelay);
    // The device's formatter has no %B: each one prints a B and takes no argument.
    NKDbgPrintfW(TEXT("  MAC Address: %B:%B:%B:%B:%B:%B\r\n"), pMac[0], pMac[1], pMac[2], pMac[3],
                 pMac[4], pMac[5]);
    NKDbgPrintfW(TEXT("}\r\n"));
    for (dwIndex = 0; dwIndex < MAX_TOC_DESCRIPTORS; dwIndex++)
        PrintDescriptor(dwIndex);
}
