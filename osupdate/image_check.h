// The checks an image file passes before it may reach the flash: the NK image's signature
// trailer and the boot-loader image's CRC side file.
#pragma once

#include "platform/ce.h"

// The last 30 bytes of an NK image: Company (4) at 0, Product (10) at 5, Version (6) at 16,
// Language (4) at 23; the bytes between them are not read.
#define IMAGE_TRAILER_SIZE 30
#define IMAGE_COMPANY TEXT("QUOR")
#define IMAGE_PRODUCT TEXT("K275D")

#define CRC_POLYNOMIAL 0xEDB88320
#define CRC_CHUNK_SIZE 32768
#define CRC_FILE_SUFFIX TEXT(".crc")

// 1 when the trailer's Company reads "QUOR" and its Product "K275D" (case counts), else 0. Logs
// its entry, the four fields and its exit.
DWORD CheckImageSignature(LPCWSTR pszPath);

// Fills the 256 entries of the reflected CRC-32 table for the polynomial.
void MakeCRCTable(DWORD *pTable, DWORD dwPolynomial);

// Folds len bytes into the value v: the register starts as ~v and is returned without a final
// complement, so a file's value depends on where its chunks begin.
DWORD CalcCRC(const BYTE *pData, DWORD dwLen, DWORD dwValue);

// 1 when the file's value, folded over chunks of 32768 bytes, equals the little-endian word that
// starts its side file (the path with ".crc" appended); else 0 with a line naming the failure.
DWORD CheckCRCFile(LPCWSTR pszPath);
