// The safe-update variant's flash writing, built only with QS_SAFE_UPDATE: everything a writer
// needs from the flash is read before its first erase, a failed erase or program is tried again
// at once, an NK block that keeps failing is given up, what already matches is left alone, and
// the flash is read back before the update reports success. A fault is mended inside the boot
// that meets it, while the running system is still in RAM: a flash that boots nothing gets no
// later start.
#pragma once

#include "nand/fmd.h"
#include "safeupdate/sha2.h"

// Tries of one flash operation (an erase and the block's writes count as one).
#define SAFE_TRIES 3
// NK blocks one update may give up; the image moves on by one block for each.
#define NK_SPARE_BLOCKS 4
// Rounds of the read-back that may rewrite what differs before the update fails.
#define SAFE_MEND_ROUNDS 2

#define SAFE_FLAG_EBOOT 0
#define SAFE_FLAG_TOC 1
#define SAFE_FLAG_NK 2

// safe_flash.cpp: the driver's operations, each tried up to SAFE_TRIES times.
DWORD SafeSetFlag(HANDLE hDisk, DWORD dwFlag, DWORD dwOn);
DWORD SafeBlockStatus(HANDLE hDisk, DWORD dwBlock, DWORD *pdwStatus);
DWORD SafeReadPage(HANDLE hDisk, DWORD dwSector, BYTE *pData, SectorInfo *pInfo);
DWORD SafeReadBlock(HANDLE hDisk, DWORD dwBlock, BYTE *pData, SectorInfo *pInfo);
// Erases the block and writes it whole; every try starts from the erase, since a failed erase
// or program may leave the block torn.
DWORD SafeWriteBlock(HANDLE hDisk, DWORD dwBlock, BYTE *pData, const SectorInfo *pInfo);
// Marks the block unusable in its first sector's SectorInfo; pSector is a sector of scratch.
DWORD MarkBlockBad(HANDLE hDisk, DWORD dwBlock, BYTE *pSector);

// safe_toc.cpp
DWORD SafeTocRead(HANDLE hDisk);
DWORD SafeTocWrite(HANDLE hDisk);
// Puts the TOC the update starts from into g_TOC: the flash's, or the defaults when the flash's
// is refused. 0 when the TOC sector cannot be read at all: the update is not started then.
DWORD SafeLoadToc(HANDLE hDisk);
// 1 when the TOC sector holds pToc with the TOC's SectorInfo; pSector is a sector of scratch.
DWORD TocOnFlashIs(HANDLE hDisk, const BYTE *pToc, BYTE *pSector);

// safe_boot_loader.cpp: blocks 0 to 4 from the .nb0 in pSource, the EBoot flag on.
DWORD SafeWriteBootBlocks(HANDLE hDisk, BYTE *pSource);

// safe_nk.cpp: the NK image from the RAM image buffer, the TOC after it, and the read-back.
DWORD SafeWriteNK(HANDLE hDisk, const BYTE *pImage, BYTE *pBlockBuffer, DWORD dwImageStart,
                  DWORD dwImageLen, DWORD dwLaunchAddr);

// signed_update.cpp: with an update key in the running image, an image reaches the flash only
// when its signature side file verifies, and nothing is written before every offered image's
// signature holds.
#define UPDATE_KEY_PATH TEXT("\\windows\\update.key")
#define SIGNATURE_FILE_SUFFIX TEXT(".sig")

extern DWORD g_UpdateKeyLoaded;       // the running image holds an update key: signed images only
extern DWORD g_UpdateRefused;         // a signature was refused: the package goes, untried again
extern SHA256_STATE *g_pImageDigest;  // while set, the NK loader feeds it every byte it reads
extern BYTE         *g_pSignedEboot;  // the verified boot loader that the writer takes unread
extern BYTE          g_abUpdateKey[32];  // the Ed25519 public key, while g_UpdateKeyLoaded

// Reads the update key into g_UpdateKeyLoaded's keeping. 1 when the update may go on: no key
// (the file does not exist) or a key read whole; 0 when a key is there but cannot be read or is
// not 32 bytes, which stops the update before anything is written.
DWORD LoadUpdateKey(void);
// The whole update under the key: every offered image found, checked, digested and its
// signature verified, then written. 1 only when the NK image was written and its file deleted.
DWORD UpdateSignedImages(HANDLE hDisk, BYTE *pImage, SectorInfo *pSectorInfo);
// Reads what follows the NK image's terminating record into the digest; 0 when a read fails.
DWORD DigestRestOfFile(HANDLE hFile);
