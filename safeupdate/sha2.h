// SHA-256 (the digest an update image is signed over) and SHA-512 (the hash inside an Ed25519
// signature), fed in pieces of any size so that a file is digested in the pass that reads it.
#pragma once

#include "platform/ce.h"

#define SHA256_DIGEST_SIZE 32
#define SHA512_DIGEST_SIZE 64

typedef struct _SHA256_STATE {
    DWORD     adwHash[8];
    BYTE      abBlock[64];
    DWORD     dwBlockLen;  // bytes waiting in abBlock
    ULONGLONG qwTotalLen;  // bytes fed so far
} SHA256_STATE;

typedef struct _SHA512_STATE {
    ULONGLONG aqwHash[8];
    BYTE      abBlock[128];
    DWORD     dwBlockLen;
    ULONGLONG qwTotalLen;  // a message of 2^64 bytes or more is never fed here
} SHA512_STATE;

void Sha256Init(SHA256_STATE *pState);
void Sha256Update(SHA256_STATE *pState, const BYTE *pData, DWORD dwLen);
void Sha256Final(SHA256_STATE *pState, BYTE *pDigest);

void Sha512Init(SHA512_STATE *pState);
void Sha512Update(SHA512_STATE *pState, const BYTE *pData, DWORD dwLen);
void Sha512Final(SHA512_STATE *pState, BYTE *pDigest);
