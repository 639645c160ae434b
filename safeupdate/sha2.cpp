// SHA-256 and SHA-512 as FIPS 180-4 gives them: big-endian words, the length in bits at the end.
#include "safeupdate/sha2.h"

static const DWORD s_adwRound256[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

static const DWORD s_adwStart256[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

static const ULONGLONG s_aqwRound512[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc,
    0x3956c25bf348b538, 0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118,
    0xd807aa98a3030242, 0x12835b0145706fbe, 0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2,
    0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235, 0xc19bf174cf692694,
    0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5,
    0x983e5152ee66dfab, 0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4,
    0xc6e00bf33da88fc2, 0xd5a79147930aa725, 0x06ca6351e003826f, 0x142929670a0e6e70,
    0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed, 0x53380d139d95b3df,
    0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30,
    0xd192e819d6ef5218, 0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8,
    0x19a4c116b8d2d0c8, 0x1e376c085141ab53, 0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8,
    0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373, 0x682e6ff3d6b2b8a3,
    0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b,
    0xca273eceea26619c, 0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178,
    0x06f067aa72176fba, 0x0a637dc5a2c898a6, 0x113f9804bef90dae, 0x1b710b35131c471b,
    0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc, 0x431d67c49c100d4c,
    0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817};

static const ULONGLONG s_aqwStart512[8] = {
    0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
    0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};

static DWORD Rotr32(DWORD x, DWORD n)
{
    return (x >> n) | (x << (32 - n));
}

static ULONGLONG Rotr64(ULONGLONG x, DWORD n)
{
    return (x >> n) | (x << (64 - n));
}

// One round with the eight working words named in their turn: the words do not move between
// rounds, their names do.
#define SHA256_ROUND(a, b, c, d, e, f, g, h, i)                                      \
    t1 = h + (Rotr32(e, 6) ^ Rotr32(e, 11) ^ Rotr32(e, 25)) + ((e & f) ^ (~e & g)) + \
         s_adwRound256[i] + w[i];                                                    \
    d += t1;                                                                         \
    h = t1 + (Rotr32(a, 2) ^ Rotr32(a, 13) ^ Rotr32(a, 22)) + ((a & b) ^ (a & c) ^ (b & c))

static void Sha256Block(DWORD *pH, const BYTE *pBlock)
{
    DWORD w[64];
    DWORD a, b, c, d, e, f, g, h, t1;
    DWORD i = 0;

    for (i = 0; i < 16; i++)
        w[i] = ((DWORD)pBlock[4 * i] << 24) | ((DWORD)pBlock[4 * i + 1] << 16) |
               ((DWORD)pBlock[4 * i + 2] << 8) | pBlock[4 * i + 3];
    for (i = 16; i < 64; i++)
        w[i] = (Rotr32(w[i - 2], 17) ^ Rotr32(w[i - 2], 19) ^ (w[i - 2] >> 10)) + w[i - 7] +
               (Rotr32(w[i - 15], 7) ^ Rotr32(w[i - 15], 18) ^ (w[i - 15] >> 3)) + w[i - 16];
    a = pH[0], b = pH[1], c = pH[2], d = pH[3], e = pH[4], f = pH[5], g = pH[6], h = pH[7];
    for (i = 0; i < 64; i += 8) {
        SHA256_ROUND(a, b, c, d, e, f, g, h, i);
        SHA256_ROUND(h, a, b, c, d, e, f, g, i + 1);
        SHA256_ROUND(g, h, a, b, c, d, e, f, i + 2);
        SHA256_ROUND(f, g, h, a, b, c, d, e, i + 3);
        SHA256_ROUND(e, f, g, h, a, b, c, d, i + 4);
        SHA256_ROUND(d, e, f, g, h, a, b, c, i + 5);
        SHA256_ROUND(c, d, e, f, g, h, a, b, i + 6);
        SHA256_ROUND(b, c, d, e, f, g, h, a, i + 7);
    }
    pH[0] += a, pH[1] += b, pH[2] += c, pH[3] += d, pH[4] += e, pH[5] += f, pH[6] += g;
    pH[7] += h;
}

static void Sha512Block(ULONGLONG *pH, const BYTE *pBlock)
{
    ULONGLONG w[80];
    ULONGLONG a, b, c, d, e, f, g, h, t1, t2;
    DWORD     i = 0;
    DWORD     j = 0;

    for (i = 0; i < 16; i++) {
        w[i] = 0;
        for (j = 0; j < 8; j++)
            w[i] = (w[i] << 8) | pBlock[8 * i + j];
    }
    for (i = 16; i < 80; i++)
        w[i] = (Rotr64(w[i - 2], 19) ^ Rotr64(w[i - 2], 61) ^ (w[i - 2] >> 6)) + w[i - 7] +
               (Rotr64(w[i - 15], 1) ^ Rotr64(w[i - 15], 8) ^ (w[i - 15] >> 7)) + w[i - 16];
    a = pH[0], b = pH[1], c = pH[2], d = pH[3], e = pH[4], f = pH[5], g = pH[6], h = pH[7];
    for (i = 0; i < 80; i++) {
        t1 = h + (Rotr64(e, 14) ^ Rotr64(e, 18) ^ Rotr64(e, 41)) + ((e & f) ^ (~e & g)) +
             s_aqwRound512[i] + w[i];
        t2 = (Rotr64(a, 28) ^ Rotr64(a, 34) ^ Rotr64(a, 39)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    pH[0] += a, pH[1] += b, pH[2] += c, pH[3] += d, pH[4] += e, pH[5] += f, pH[6] += g;
    pH[7] += h;
}

void Sha256Init(SHA256_STATE *pState)
{
    memcpy(pState->adwHash, s_adwStart256, sizeof(pState->adwHash));
    pState->dwBlockLen = 0;
    pState->qwTotalLen = 0;
}

void Sha256Update(SHA256_STATE *pState, const BYTE *pData, DWORD dwLen)
{
    DWORD dwTake = 0;

    pState->qwTotalLen += dwLen;
    while (dwLen != 0) {
        // Whole blocks straight from the caller's bytes: a file's chunks are digested unmoved.
        if (pState->dwBlockLen == 0 && dwLen >= 64) {
            Sha256Block(pState->adwHash, pData);
            pData += 64;
            dwLen -= 64;
            continue;
        }
        dwTake = 64 - pState->dwBlockLen < dwLen ? 64 - pState->dwBlockLen : dwLen;
        memcpy(pState->abBlock + pState->dwBlockLen, pData, dwTake);
        pState->dwBlockLen += dwTake;
        pData += dwTake;
        dwLen -= dwTake;
        if (pState->dwBlockLen == 64) {
            Sha256Block(pState->adwHash, pState->abBlock);
            pState->dwBlockLen = 0;
        }
    }
}

void Sha256Final(SHA256_STATE *pState, BYTE *pDigest)
{
    ULONGLONG qwBits = pState->qwTotalLen * 8;
    DWORD     i      = 0;

    pState->abBlock[pState->dwBlockLen++] = 0x80;
    if (pState->dwBlockLen > 56) {
        memset(pState->abBlock + pState->dwBlockLen, 0, 64 - pState->dwBlockLen);
        Sha256Block(pState->adwHash, pState->abBlock);
        pState->dwBlockLen = 0;
    }
    memset(pState->abBlock + pState->dwBlockLen, 0, 56 - pState->dwBlockLen);
    for (i = 0; i < 8; i++)
        pState->abBlock[56 + i] = (BYTE)(qwBits >> (56 - 8 * i));
    Sha256Block(pState->adwHash, pState->abBlock);
    for (i = 0; i < 32; i++)
        pDigest[i] = (BYTE)(pState->adwHash[i / 4] >> (24 - 8 * (i % 4)));
}

void Sha512Init(SHA512_STATE *pState)
{
    memcpy(pState->aqwHash, s_aqwStart512, sizeof(pState->aqwHash));
    pState->dwBlockLen = 0;
    pState->qwTotalLen = 0;
}

void Sha512Update(SHA512_STATE *pState, const BYTE *pData, DWORD dwLen)
{
    DWORD dwTake = 0;

    pState->qwTotalLen += dwLen;
    while (dwLen != 0) {
        dwTake = 128 - pState->dwBlockLen < dwLen ? 128 - pState->dwBlockLen : dwLen;
        memcpy(pState->abBlock + pState->dwBlockLen, pData, dwTake);
        pState->dwBlockLen += dwTake;
        pData += dwTake;
        dwLen -= dwTake;
        if (pState->dwBlockLen == 128) {
            Sha512Block(pState->aqwHash, pState->abBlock);
            pState->dwBlockLen = 0;
        }
    }
}

void Sha512Final(SHA512_STATE *pState, BYTE *pDigest)
{
    ULONGLONG qwBits = pState->qwTotalLen * 8;
    DWORD     i      = 0;

    pState->abBlock[pState->dwBlockLen++] = 0x80;
    if (pState->dwBlockLen > 112) {
        memset(pState->abBlock + pState->dwBlockLen, 0, 128 - pState->dwBlockLen);
        Sha512Block(pState->aqwHash, pState->abBlock);
        pState->dwBlockLen = 0;
    }
    // The length field is 128 bits; its upper half is zero for every message fed here.
    memset(pState->abBlock + pState->dwBlockLen, 0, 120 - pState->dwBlockLen);
    for (i = 0; i < 8; i++)
        pState->abBlock[120 + i] = (BYTE)(qwBits >> (56 - 8 * i));
    Sha512Block(pState->aqwHash, pState->abBlock);
    for (i = 0; i < 64; i++)
        pDigest[i] = (BYTE)(pState->aqwHash[i / 8] >> (56 - 8 * (i % 8)));
}
