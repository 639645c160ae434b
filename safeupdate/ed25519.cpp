// Ed25519 verification over the field of p = 2^255 - 19. A field element is 16 limbs of 16 bits
// in 64-bit words, so that products and their sums fit without a 128-bit type on a 32-bit core.
// Only public values pass through here, so nothing needs to run in constant time.
#include "safeupdate/ed25519.h"

#include "safeupdate/sha2.h"

#define FIELD_LIMBS 16
#define LIMB_BASE 65536

typedef struct _ED_FIELD {
    LONGLONG v[FIELD_LIMBS];
} ED_FIELD;

// A point in extended coordinates: x = X/Z, y = Y/Z, x*y = T/Z.
typedef struct _ED_POINT {
    ED_FIELD X;
    ED_FIELD Y;
    ED_FIELD Z;
    ED_FIELD T;
} ED_POINT;

// The constants of the curve -x^2 + y^2 = 1 + d x^2 y^2, worked out at each verification.
typedef struct _ED_CURVE {
    ED_FIELD d;
    ED_FIELD d2;      // 2d
    ED_FIELD sqrtm1;  // a square root of -1
    ED_POINT base;
} ED_CURVE;

// Exponents, little-endian: p - 2 (the inverse), (p - 5) / 8 (the square root's), (p - 1) / 4.
static const BYTE s_abPowInverse[32] = {
    0xeb, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f};
static const BYTE s_abPowRoot[32] = {
    0xfd, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x0f};
static const BYTE s_abPowQuarter[32] = {
    0xfb, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x1f};

// The group order L = 2^252 + 27742317777372353535851937790883648493, little-endian.
static const BYTE s_abOrder[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                   0xa2, 0xde, 0xf9, 0xde, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

// The base point's encoding: y = 4/5, x even.
static const BYTE s_abBase[32] = {0x58, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
                                  0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
                                  0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66};

static void FieldSet(ED_FIELD *r, LONGLONG n)
{
    memset(r, 0, sizeof(*r));
    r->v[0] = n;
}

static void FieldAdd(ED_FIELD *r, const ED_FIELD *a, const ED_FIELD *b)
{
    DWORD i = 0;

    for (i = 0; i < FIELD_LIMBS; i++)
        r->v[i] = a->v[i] + b->v[i];
}

static void FieldSub(ED_FIELD *r, const ED_FIELD *a, const ED_FIELD *b)
{
    DWORD i = 0;

    for (i = 0; i < FIELD_LIMBS; i++)
        r->v[i] = a->v[i] - b->v[i];
}

// Brings every limb into [0, 2^16) but the lowest, which takes the carry out of the top
// (2^256 = 38 mod p) and may end a little outside.
static void FieldCarry(ED_FIELD *f)
{
    LONGLONG c = 0;
    DWORD    i = 0;

    for (i = 0; i < FIELD_LIMBS; i++) {
        c = f->v[i] >> 16;
        f->v[i] -= c * LIMB_BASE;
        if (i + 1 < FIELD_LIMBS)
            f->v[i + 1] += c;
        else
            f->v[0] += 38 * c;
    }
}

static void FieldMul(ED_FIELD *r, const ED_FIELD *a, const ED_FIELD *b)
{
    LONGLONG t[2 * FIELD_LIMBS - 1];
    DWORD    i = 0;
    DWORD    j = 0;

    memset(t, 0, sizeof(t));
    for (i = 0; i < FIELD_LIMBS; i++)
        for (j = 0; j < FIELD_LIMBS; j++)
            t[i + j] += a->v[i] * b->v[j];
    for (i = 0; i + FIELD_LIMBS < 2 * FIELD_LIMBS - 1; i++)
        t[i] += 38 * t[i + FIELD_LIMBS];
    for (i = 0; i < FIELD_LIMBS; i++)
        r->v[i] = t[i];
    FieldCarry(r);
    FieldCarry(r);
}

// a raised to the little-endian 255-bit exponent.
static void FieldPow(ED_FIELD *r, const ED_FIELD *a, const BYTE *pExponent)
{
    ED_FIELD c;
    DWORD    dwBit = 255;

    FieldSet(&c, 1);
    while (dwBit-- > 0) {
        FieldMul(&c, &c, &c);
        if ((pExponent[dwBit / 8] >> (dwBit % 8)) & 1)
            FieldMul(&c, &c, a);
    }
    *r = c;
}

// The canonical 32 bytes of the element: its value reduced below p.
static void FieldPack(BYTE *pOut, const ED_FIELD *a)
{
    ED_FIELD t = *a;
    ED_FIELD m;
    LONGLONG borrow = 0;
    LONGLONG limb   = 0;
    DWORD    dwOut  = 0;
    DWORD    i      = 0;
    DWORD    j      = 0;

    // A carry may leave the lowest limb out of range again, or a negative value, which the wrap
    // through 2^256 = 38 lifts: a few rounds end with every limb in range.
    for (;;) {
        FieldCarry(&t);
        if (t.v[0] >= 0 && t.v[0] < LIMB_BASE)
            break;
    }
    // Now below 2^256 = 2p + 38: p is taken away at most twice.
    for (j = 0; j < 2; j++) {
        borrow = 0;
        for (i = 0; i < FIELD_LIMBS; i++) {
            limb   = i == 0 ? 0xffed : (i + 1 == FIELD_LIMBS ? 0x7fff : 0xffff);
            m.v[i] = t.v[i] - limb - borrow;
            borrow = m.v[i] < 0;
            m.v[i] += borrow * LIMB_BASE;
        }
        if (!borrow)
            t = m;
    }
    for (i = 0; i < FIELD_LIMBS; i++) {
        pOut[dwOut++] = (BYTE)(t.v[i] & 0xff);
        pOut[dwOut++] = (BYTE)(t.v[i] >> 8);
    }
}

// The low 255 bits of the bytes; the value may lie at or above p.
static void FieldUnpack(ED_FIELD *r, const BYTE *pIn)
{
    DWORD i = 0;

    for (i = 0; i < FIELD_LIMBS; i++)
        r->v[i] = pIn[2 * i] | ((LONGLONG)pIn[2 * i + 1] << 8);
    r->v[FIELD_LIMBS - 1] &= 0x7fff;
}

static DWORD FieldEqual(const ED_FIELD *a, const ED_FIELD *b)
{
    BYTE abA[32];
    BYTE abB[32];

    FieldPack(abA, a);
    FieldPack(abB, b);
    return memcmp(abA, abB, 32) == 0;
}

static DWORD FieldIsOdd(const ED_FIELD *a)
{
    BYTE ab[32];

    FieldPack(ab, a);
    return ab[0] & 1;
}

// The unified addition of the twisted Edwards curve with a = -1; it also doubles.
static void PointAdd(ED_POINT *r, const ED_POINT *p, const ED_POINT *q, const ED_CURVE *pCurve)
{
    ED_FIELD a, b, c, d, e, f, g, h, t;

    FieldSub(&a, &p->Y, &p->X);
    FieldSub(&t, &q->Y, &q->X);
    FieldMul(&a, &a, &t);
    FieldAdd(&b, &p->Y, &p->X);
    FieldAdd(&t, &q->Y, &q->X);
    FieldMul(&b, &b, &t);
    FieldMul(&c, &p->T, &q->T);
    FieldMul(&c, &c, &pCurve->d2);
    FieldMul(&d, &p->Z, &q->Z);
    FieldAdd(&d, &d, &d);
    FieldSub(&e, &b, &a);
    FieldSub(&f, &d, &c);
    FieldAdd(&g, &d, &c);
    FieldAdd(&h, &b, &a);
    FieldMul(&r->X, &e, &f);
    FieldMul(&r->Y, &g, &h);
    FieldMul(&r->T, &e, &h);
    FieldMul(&r->Z, &f, &g);
}

static void PointIdentity(ED_POINT *r)
{
    FieldSet(&r->X, 0);
    FieldSet(&r->Y, 1);
    FieldSet(&r->Z, 1);
    FieldSet(&r->T, 0);
}

// [s]P + [k]Q for little-endian 256-bit scalars, both at once: one doubling a bit, and one
// addition of P, Q or P + Q where either bit is set.
static void PointMulAdd(ED_POINT *r, const BYTE *pS, const ED_POINT *p, const BYTE *pK,
                        const ED_POINT *q, const ED_CURVE *pCurve)
{
    ED_POINT sum, acc;
    DWORD    dwBit = 256;
    DWORD    dwS   = 0;
    DWORD    dwK   = 0;

    PointAdd(&sum, p, q, pCurve);
    PointIdentity(&acc);
    while (dwBit-- > 0) {
        PointAdd(&acc, &acc, &acc, pCurve);
        dwS = (pS[dwBit / 8] >> (dwBit % 8)) & 1;
        dwK = (pK[dwBit / 8] >> (dwBit % 8)) & 1;
        if (dwS && dwK)
            PointAdd(&acc, &acc, &sum, pCurve);
        else if (dwS)
            PointAdd(&acc, &acc, p, pCurve);
        else if (dwK)
            PointAdd(&acc, &acc, q, pCurve);
    }
    *r = acc;
}

static void PointEncode(BYTE *pOut, const ED_POINT *p)
{
    ED_FIELD zInverse, x, y;

    FieldPow(&zInverse, &p->Z, s_abPowInverse);
    FieldMul(&x, &p->X, &zInverse);
    FieldMul(&y, &p->Y, &zInverse);
    FieldPack(pOut, &y);
    pOut[31] |= (BYTE)(FieldIsOdd(&x) << 7);
}

// 1 when the bytes are the canonical encoding of a point of the curve: y below p, x recovered
// from it, and no x of 0 with its sign bit set.
static DWORD PointDecode(ED_POINT *r, const BYTE *pIn, const ED_CURVE *pCurve)
{
    BYTE     abY[32];
    BYTE     abPacked[32];
    DWORD    dwSign = pIn[31] >> 7;
    ED_FIELD one, y2, u, v, v3, v7, x, check, minusU;

    memcpy(abY, pIn, 32);
    abY[31] &= 0x7f;
    FieldUnpack(&r->Y, abY);
    FieldPack(abPacked, &r->Y);
    if (memcmp(abPacked, abY, 32) != 0)
        return 0;

    // x^2 = u / v with u = y^2 - 1 and v = d y^2 + 1; the candidate is u v^3 (u v^7)^((p-5)/8).
    FieldSet(&one, 1);
    FieldMul(&y2, &r->Y, &r->Y);
    FieldSub(&u, &y2, &one);
    FieldMul(&v, &y2, &pCurve->d);
    FieldAdd(&v, &v, &one);
    FieldMul(&v3, &v, &v);
    FieldMul(&v3, &v3, &v);
    FieldMul(&v7, &v3, &v3);
    FieldMul(&v7, &v7, &v);
    FieldMul(&x, &u, &v7);
    FieldPow(&x, &x, s_abPowRoot);
    FieldMul(&x, &x, &v3);
    FieldMul(&x, &x, &u);

    FieldMul(&check, &x, &x);
    FieldMul(&check, &check, &v);
    FieldSet(&minusU, 0);
    FieldSub(&minusU, &minusU, &u);
    if (!FieldEqual(&check, &u)) {
        if (!FieldEqual(&check, &minusU))
            return 0;
        FieldMul(&x, &x, &pCurve->sqrtm1);
    }
    // x = 0 has no negative: its sign bit set is another encoding of the same point.
    FieldSet(&check, 0);
    if (dwSign && FieldEqual(&x, &check))
        return 0;
    if (FieldIsOdd(&x) != dwSign)
        FieldSub(&x, &check, &x);
    r->X = x;
    FieldSet(&r->Z, 1);
    FieldMul(&r->T, &x, &r->Y);
    return 1;
}

// 1 when [8]P is the identity (X = 0, Y = Z): P has order 1, 2, 4 or 8.
static DWORD PointHasSmallOrder(const ED_POINT *p, const ED_CURVE *pCurve)
{
    ED_POINT q = *p;
    ED_FIELD zero;
    DWORD    i = 0;

    for (i = 0; i < 3; i++)
        PointAdd(&q, &q, &q, pCurve);
    FieldSet(&zero, 0);
    return FieldEqual(&q.X, &zero) && FieldEqual(&q.Y, &q.Z);
}

// The curve's constants depend on nothing, so they are worked out once and need no reset between
// boots.
static ED_CURVE s_Curve;
static DWORD    s_CurveReady = 0;

static const ED_CURVE *Curve(void)
{
    ED_FIELD two, numerator, denominator;

    if (s_CurveReady)
        return &s_Curve;
    // d = -121665 / 121666
    FieldSet(&numerator, -121665);
    FieldSet(&denominator, 121666);
    FieldPow(&denominator, &denominator, s_abPowInverse);
    FieldMul(&s_Curve.d, &numerator, &denominator);
    FieldAdd(&s_Curve.d2, &s_Curve.d, &s_Curve.d);
    // 2 is no square mod p, so 2^((p-1)/4) squares to -1.
    FieldSet(&two, 2);
    FieldPow(&s_Curve.sqrtm1, &two, s_abPowQuarter);
    PointDecode(&s_Curve.base, s_abBase, &s_Curve);
    s_CurveReady = 1;
    return &s_Curve;
}

// 1 when the little-endian 256-bit scalar lies below the group order.
static DWORD ScalarBelowOrder(const BYTE *pScalar)
{
    DWORD i = 32;

    while (i-- > 0) {
        if (pScalar[i] != s_abOrder[i])
            return pScalar[i] < s_abOrder[i];
    }
    return 0;
}

// The 512-bit little-endian value modulo the group order, a bit at a time from the top.
static void ScalarReduce(BYTE *pOut, const BYTE *pIn)
{
    BYTE  abR[32];
    DWORD dwBit   = 512;
    DWORD dwCarry = 0;
    DWORD dwWord  = 0;
    DWORD i       = 0;

    memset(abR, 0, sizeof(abR));
    while (dwBit-- > 0) {
        // abR stays below L < 2^253, so 2 abR + 1 fits in 32 bytes.
        dwCarry = (pIn[dwBit / 8] >> (dwBit % 8)) & 1;
        for (i = 0; i < 32; i++) {
            dwWord  = ((DWORD)abR[i] << 1) | dwCarry;
            abR[i]  = (BYTE)dwWord;
            dwCarry = dwWord >> 8;
        }
        if (!ScalarBelowOrder(abR)) {
            dwCarry = 0;
            for (i = 0; i < 32; i++) {
                dwWord  = (DWORD)abR[i] - s_abOrder[i] - dwCarry;
                abR[i]  = (BYTE)dwWord;
                dwCarry = (dwWord >> 8) & 1;
            }
        }
    }
    memcpy(pOut, abR, 32);
}

DWORD Ed25519Verify(const BYTE *pSignature, const BYTE *pMessage, DWORD dwMessageLen,
                    const BYTE *pKey)
{
    const ED_CURVE *pCurve = Curve();
    ED_POINT        key, r, sum;
    SHA512_STATE    hash;
    BYTE            abHash[SHA512_DIGEST_SIZE];
    BYTE            abK[32];
    BYTE            abEncoded[32];
    ED_FIELD        zero;

    if (!ScalarBelowOrder(pSignature + 32))
        return 0;
    if (!PointDecode(&key, pKey, pCurve) || PointHasSmallOrder(&key, pCurve))
        return 0;
    if (!PointDecode(&r, pSignature, pCurve) || PointHasSmallOrder(&r, pCurve))
        return 0;

    Sha512Init(&hash);
    Sha512Update(&hash, pSignature, 32);
    Sha512Update(&hash, pKey, 32);
    Sha512Update(&hash, pMessage, dwMessageLen);
    Sha512Final(&hash, abHash);
    ScalarReduce(abK, abHash);

    // [S]B - [k]A must be R itself; R's encoding is canonical, so its bytes decide.
    FieldSet(&zero, 0);
    FieldSub(&key.X, &zero, &key.X);
    FieldSub(&key.T, &zero, &key.T);
    PointMulAdd(&sum, pSignature + 32, &pCurve->base, abK, &key, pCurve);
    PointEncode(abEncoded, &sum);
    return memcmp(abEncoded, pSignature, 32) == 0;
}
