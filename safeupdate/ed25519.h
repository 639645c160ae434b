// Ed25519 signature verification (RFC 8032), strict: the signature's S must lie below the group
// order, and the public key and R must be canonical encodings of points that are not of small
// order. The check is the cofactorless one, [S]B = R + [k]A.
#pragma once

#include "platform/ce.h"

#define ED25519_KEY_SIZE 32
#define ED25519_SIGNATURE_SIZE 64

// 1 when pSignature (R then S) is the key's signature of the message, else 0.
DWORD Ed25519Verify(const BYTE *pSignature, const BYTE *pMessage, DWORD dwMessageLen,
                    const BYTE *pKey);
