#include "nand/fmd.h"

// One control code; logs the code's failure line when the driver refuses it.
static DWORD FmdControl(HANDLE hDisk, DWORD dwCode, LPVOID pIn, DWORD dwInSize, LPVOID pOut,
                        DWORD dwOutSize, LPCWSTR pszFailLine)
{
    DWORD dwReturned = 0;

    if (!DeviceIoControl(hDisk, dwCode, pIn, dwInSize, pOut, dwOutSize, &dwReturned, NULL)) {
        NKDbgPrintfW(pszFailLine);
        return 0;
    }
    return 1;
}

static DWORD SendFlag(HANDLE hDisk, DWORD dwCode, DWORD dwOn, LPCWSTR pszFailLine)
{
    DWORD dwWord = dwOn ? QS_FLAG_ON : QS_FLAG_OFF;

    return FmdControl(hDisk, dwCode, &dwWord, sizeof(dwWord), NULL, 0, pszFailLine);
}

static DWORD SetSectorAddress(HANDLE hDisk, DWORD dwSector)
{
    return FmdControl(hDisk, IOCTL_FMD_SET_SECTOR_ADDR, &dwSector, sizeof(dwSector), NULL, 0,
                      TEXT("[QuorShell]FMD DeviceIoControl IOCTL_FMD_SET_SECTOR_ADDR fail \r\n"));
}

// Reads the sector at the driver's current address into the record; the address moves on.
static DWORD ReadSectorRecord(HANDLE hDisk, BYTE *pRecord)
{
    return FmdControl(hDisk, IOCTL_FMD_READ_SECTOR, NULL, 0, pRecord, NAND_SECTOR_RECORD_SIZE,
                      TEXT("[QuorShell]FMD DeviceIoControl IOCTL_FMD_READ_SECTOR fail \r\n"));
}

static DWORD WriteSectorRecord(HANDLE hDisk, const BYTE *pData, const SectorInfo *pInfo)
{
    BYTE record[NAND_SECTOR_RECORD_SIZE];

    memcpy(record, pData, NAND_SECTOR_SIZE);
    memcpy(record + NAND_SECTOR_SIZE, pInfo, sizeof(SectorInfo));
    return FmdControl(hDisk, IOCTL_FMD_WRITE_SECTOR, record, sizeof(record), NULL, 0,
                      TEXT("[QuorShell]FMD DeviceIoControl IOCTL_FMD_WRITE_SECTOR fail \r\n"));
}

DWORD NandSetEbootFlag(HANDLE hDisk, DWORD dwOn)
{
    return SendFlag(hDisk, IOCTL_FMD_SET_EBOOT_FLAG, dwOn,
                    TEXT("[QuorShell]FMD DeviceIoControl IOCTL_FMD_SET_EBOOT_FLAG fail \r\n"));
}

DWORD NandSetTocFlag(HANDLE hDisk, DWORD dwOn)
{
    return SendFlag(hDisk, IOCTL_FMD_SET_TOC_FLAG, dwOn,
                    TEXT("[QuorShell]FMD DeviceIoControl IOCTL_FMD_SET_TOC_FLAG fail \r\n"));
}

DWORD NandSetNkFlag(HANDLE hDisk, DWORD dwOn)
{
    return SendFlag(hDisk, IOCTL_FMD_SET_NK_FLAG, dwOn,
                    TEXT("[QuorShell]FMD DeviceIoControl IOCTL_FMD_SET_NK_FLAG fail \r\n"));
}

DWORD NandGetBlockStatus(HANDLE hDisk, DWORD dwBlock, DWORD *pdwStatus)
{
    if (!pdwStatus)
        return 0;
    return FmdControl(hDisk, IOCTL_FMD_GET_BLOCK_STATUS, &dwBlock, sizeof(dwBlock), pdwStatus,
                      sizeof(*pdwStatus),
                      TEXT("[QuorShell]FMD DeviceIoControl IOCTL_FMD_GET_BLOCK_STATUS fail \r\n"));
}

DWORD NandGetEbootUpdate(HANDLE hDisk, DWORD *pdwUpdate)
{
    return FmdControl(hDisk, IOCTL_FMD_GET_EBOOT_UPDATE, NULL, 0, pdwUpdate, sizeof(*pdwUpdate),
                      TEXT("[QuorShell]FMD DeviceIoControl IOCTL_FMD_GET_EBOOT_UPDATE fail \r\n"));
}

DWORD NandEraseBlock(HANDLE hDisk, DWORD dwBlock)
{
    return FmdControl(hDisk, IOCTL_FMD_ERASE_BLOCK, &dwBlock, sizeof(dwBlock), NULL, 0,
                      TEXT("[QuorShell]FMD DeviceIoControl IOCTL_FMD_ERASE_BLOCK fail \r\n"));
}

DWORD NandReadPage(HANDLE hDisk, DWORD dwSector, BYTE *pData, SectorInfo *pInfo)
{
    BYTE record[NAND_SECTOR_RECORD_SIZE];

    if (!SetSectorAddress(hDisk, dwSector) || !ReadSectorRecord(hDisk, record))
        return 0;
    if (pData)
        memcpy(pData, record, NAND_SECTOR_SIZE);
    if (pInfo)
        memcpy(pInfo, record + NAND_SECTOR_SIZE, sizeof(SectorInfo));
    return 1;
}

DWORD NandWritePage(HANDLE hDisk, DWORD dwSector, const BYTE *pData, const SectorInfo *pInfo)
{
    if (!SetSectorAddress(hDisk, dwSector))
        return 0;
    return WriteSectorRecord(hDisk, pData, pInfo);
}

DWORD NandReadBlock(HANDLE hDisk, DWORD dwBlock, BYTE *pData, SectorInfo *pInfo)
{
    BYTE  record[NAND_SECTOR_RECORD_SIZE];
    DWORD dwSector = 0;

    if (!SetSectorAddress(hDisk, dwBlock * NAND_SECTORS_PER_BLOCK))
        return 0;
    for (dwSector = 0; dwSector < NAND_SECTORS_PER_BLOCK; dwSector++) {
        if (!ReadSectorRecord(hDisk, record))
            return 0;
        if (pData)
            memcpy(pData + dwSector * NAND_SECTOR_SIZE, record, NAND_SECTOR_SIZE);
        if (pInfo)
            memcpy(&pInfo[dwSector], record + NAND_SECTOR_SIZE, sizeof(SectorInfo));
    }
    return 1;
}

static DWORD ReadWord(const BYTE *pData)
{
    return (DWORD)pData[0] | ((DWORD)pData[1] << 8) | ((DWORD)pData[2] << 16) |
           ((DWORD)pData[3] << 24);
}

DWORD StoreStepLoaderChecksum(BYTE *pData)
{
    DWORD dwSum    = 0;
    DWORD dwOffset = 0;

    for (dwOffset = 16; dwOffset < STEPLOADER_SECTORS * NAND_SECTOR_SIZE; dwOffset++)
        dwSum += pData[dwOffset];
    pData[8]  = (BYTE)dwSum;
    pData[9]  = (BYTE)(dwSum >> 8);
    pData[10] = (BYTE)(dwSum >> 16);
    pData[11] = (BYTE)(dwSum >> 24);
    return dwSum;
}

// Stores the StepLoader's checksum and logs its header.
static void StampStepLoaderChecksum(BYTE *pData)
{
    DWORD dwSum = StoreStepLoaderChecksum(pData);

    NKDbgPrintfW(TEXT("Checksum = %x,  header = %x %x %x %x\r\n"), dwSum, ReadWord(pData),
                 ReadWord(pData + 4), ReadWord(pData + 8), ReadWord(pData + 12));
}

DWORD NandWriteBlock(HANDLE hDisk, DWORD dwBlock, BYTE *pData, const SectorInfo *pInfo)
{
    DWORD dwSector = 0;

    if (dwBlock == STEPLOADER_BLOCK)
        StampStepLoaderChecksum(pData);
    if (!SetSectorAddress(hDisk, dwBlock * NAND_SECTORS_PER_BLOCK))
        return 0;
    for (dwSector = 0; dwSector < NAND_SECTORS_PER_BLOCK; dwSector++) {
        if (dwBlock == STEPLOADER_BLOCK && dwSector == STEPLOADER_SECTORS) {
            NKDbgPrintfW(TEXT("OSUPDATE NandWriteBlock StepLoader break \r\n"));
            return 1;
        }
        if (!WriteSectorRecord(hDisk, pData + dwSector * NAND_SECTOR_SIZE, &pInfo[dwSector]))
            return 0;
    }
    return 1;
}
