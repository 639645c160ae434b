// The boot table of contents shared with the boot loader: one record in sector 320.
#pragma once

#include "nand/fmd.h"

#define TOC_SIGNATURE 0x434F544E          // "NTOC"
#define IMAGE_SIGNATURE_EBOOT 0x544F4245  // "EBOT"
#define IMAGE_SIGNATURE_NK 0x48534643     // "CFSH"
#define IMAGE_SIGNATURE_XIP 0x5049584D    // "MXIP"
#define EBOOT_VERSION 0x20005
#define IMAGE_STRING_SIZE 260
#define MAX_TOC_DESCRIPTORS 4

#pragma pack(push, 1)
typedef struct _BOOT_CFG {
    DWORD dwBootCfgId;
    DWORD ConfigFlags;
    DWORD dwReserved1[4];
    DWORD dwBootDelay;
    DWORD dwReserved2;
    BYTE  MacAddress[6];
    BYTE  bReserved3[6];
    BYTE  SerialNumber[16];  // the last ten bytes hold the serial's characters as digit values
    BYTE  bReserved4[16];
    DWORD dwLoaderWords[5];  // the boot loader's own settings: 1, 0, 1, 1, 0
    DWORD dwReserved5[15];
    BYTE  bReserved6[84];
} BOOT_CFG;

typedef struct _IMAGE_DESCRIPTOR {
    DWORD dwVersion;
    DWORD dwSignature;
    BYTE  String[IMAGE_STRING_SIZE];
    DWORD dwImageType;
    DWORD dwTtlSectors;
    DWORD dwLoadAddress;
    DWORD dwJumpAddress;
    BYTE  bReserved[112];
    DWORD dwStoreOffset;
} IMAGE_DESCRIPTOR;

typedef struct _TOC {
    DWORD            dwSignature;
    BOOT_CFG         BootCfg;
    IMAGE_DESCRIPTOR ID[MAX_TOC_DESCRIPTORS];
    BYTE             bReserved[204];
} TOC;
#pragma pack(pop)

static_assert(sizeof(BOOT_CFG) == 240, "BootCfg is 240 bytes");
static_assert(sizeof(IMAGE_DESCRIPTOR) == 400, "an image descriptor is 400 bytes");
static_assert(sizeof(TOC) == NAND_SECTOR_SIZE, "the TOC fills one sector");
static_assert(offsetof(TOC, ID) == 244, "descriptors start at offset 244");
static_assert(offsetof(BOOT_CFG, SerialNumber) == 44, "the serial number is at BootCfg offset 44");

extern TOC       g_TOC;
extern BOOT_CFG *g_pBootCfg;
extern DWORD     g_ImageIndex;  // the current image descriptor: always ID[3]
extern DWORD     g_ImageType;
// The SectorInfo that TOC_Write gives the TOC sector: a boot-area sector.
extern const SectorInfo g_TocSectorInfo;

DWORD IsValidImageSignature(const IMAGE_DESCRIPTOR *pDescriptor);
void  BootConfigInit(void);
DWORD TOC_Init(void);
void  TOC_Print(void);
DWORD TOC_Read(HANDLE hDisk);
DWORD TOC_Write(HANDLE hDisk);
