// The safe variant's SHA-256, SHA-512 and Ed25519 verification, against the published vectors
// and against OpenSSL. The forgeries that pass the verification equation itself (a key or an R of
// small order) are built here from a secret scalar, so that the strict checks are seen to refuse
// them.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <array>
#include <random>
#include <string>
#include <vector>

#include "platform/host/sanitizer.h"
#include "tests/support/expect.h"
#include "safeupdate/ed25519.h"
#include "safeupdate/sha2.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string &text)
{
    Bytes bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(uint8_t(std::stoul(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string ToHex(const uint8_t *bytes, size_t size)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

// The digest of the message fed in pieces of `piece` bytes, so that every way a block fills is
// taken; "overrun" when the digest writes past its size.
template <typename State, size_t kSize>
std::string DigestHex(void (*init)(State *), void (*update)(State *, const BYTE *, DWORD),
                      void (*final)(State *, BYTE *), const Bytes &message, size_t piece)
{
    State state;
    init(&state);
    for (size_t at = 0; at < message.size(); at += piece)
        update(&state, message.data() + at, DWORD(std::min(piece, message.size() - at)));
    uint8_t digest[kSize + 1];
    digest[kSize] = 0xA5;
    final(&state, digest);
    return digest[kSize] == 0xA5 ? ToHex(digest, kSize) : "overrun";
}

std::string Sha256Hex(const Bytes &message, size_t piece)
{
    return DigestHex<SHA256_STATE, SHA256_DIGEST_SIZE>(Sha256Init, Sha256Update, Sha256Final,
                                                       message, piece);
}

std::string Sha512Hex(const Bytes &message, size_t piece)
{
    return DigestHex<SHA512_STATE, SHA512_DIGEST_SIZE>(Sha512Init, Sha512Update, Sha512Final,
                                                       message, piece);
}

Bytes Text(const std::string &text)
{
    return Bytes(text.begin(), text.end());
}

bool Verify(const Bytes &signature, const Bytes &message, const Bytes &key)
{
    return Ed25519Verify(signature.data(), message.data(), DWORD(message.size()), key.data()) == 1;
}

// The FIPS 180 examples; each is fed whole and in pieces of 1, 63, 64 and 65 bytes.
TEST(Sha2, FipsExamples)
{
    const struct {
        Bytes message;
        const char *sha256;
        const char *sha512;  // empty: not given here
    } rows[] = {
        {Text("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a"
         "3"
         "feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {Text(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
         "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2"
         "877eec2f63b931bd47417a81a538327af927da3e"},
        {Text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1", ""},
        {Bytes(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
         "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432c"
         "e577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
    };
    for (const auto &row : rows)
        for (size_t piece :
             {row.message.size() + 1, size_t(1), size_t(63), size_t(64), size_t(65)}) {
            if (row.message.size() > 100000 && piece < 63)
                continue;
            EXPECT_EQ(Sha256Hex(row.message, piece), row.sha256) << row.message.size();
            if (*row.sha512)
                EXPECT_EQ(Sha512Hex(row.message, piece), row.sha512) << row.message.size();
        }
}

// Every length around the block and padding edges, in random pieces, against OpenSSL.
TEST(Sha2, AgreesWithOpenSslAtEveryEdge)
{
    std::mt19937 random(7);
    for (size_t length = 0; length < 300; ++length) {
        Bytes message(length);
        for (uint8_t &byte : message)
            byte = uint8_t(random());
        const size_t piece = 1 + random() % 130;
        uint8_t expected256[SHA256_DIGEST_LENGTH];
        uint8_t expected512[SHA512_DIGEST_LENGTH];
        SHA256(message.data(), message.size(), expected256);
        SHA512(message.data(), message.size(), expected512);
        ASSERT_EQ(Sha256Hex(message, piece), ToHex(expected256, sizeof(expected256))) << length;
        ASSERT_EQ(Sha512Hex(message, piece), ToHex(expected512, sizeof(expected512))) << length;
    }
}

// RFC 8032, section 7.1: tests 1, 2, 3, 1024 (a 1,023-byte message) and SHA(abc). OpenSSL derives
// each public key from its secret and signs again, so that the vectors themselves are checked too.
TEST(Ed25519, Rfc8032Vectors)
{
    const struct {
        const char *secret, *key, *message, *signature;
    } rows[] = {
        {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
         "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
         "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e3970"
         "1cf9b46bd25bf5f0595bbe24655141438e7a100b"},
        {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
         "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
         "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613"
         "d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
        {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
         "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
         "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760"
         "984dc6594a7c15e9716ed28dc027beceea1ec40a"},
        {"f5e5767cf153319517630f226876b86c8160cc583bc013744c6bf255f5cc0ee5",
         "278117fc144c72340f67d0f2316e8386ceffbf2b2428c9c51fef7c597f1d426e",
         "08b8b2b733424243760fe426a4b54908632110a66c2f6591eabd3345e3e4eb98fa6e264bf09efe12ee50f8f5"
         "4e9f77b1e355f6c50544e23fb1433ddf73be84d879de7c0046dc4996d9e773f4bc9efe5738829adb26c81b37"
         "c93a1b270b20329d658675fc6ea534e0810a4432826bf58c941efb65d57a338bbd2e26640f89ffbc1a858efc"
         "b8550ee3a5e1998bd177e93a7363c344fe6b199ee5d02e82d522c4feba15452f80288a821a579116ec6dad2b"
         "3b310da903401aa62100ab5d1a36553e06203b33890cc9b832f79ef80560ccb9a39ce767967ed628c6ad573c"
         "b116dbefefd75499da96bd68a8a97b928a8bbc103b6621fcde2beca1231d206be6cd9ec7aff6f6c94fcd7204"
         "ed3455c68c83f4a41da4af2b74ef5c53f1d8ac70bdcb7ed185ce81bd84359d44254d95629e9855a94a7c1958"
         "d1f8ada5d0532ed8a5aa3fb2d17ba70eb6248e594e1a2297acbbb39d502f1a8c6eb6f1ce22b3de1a1f40cc24"
         "554119a831a9aad6079cad88425de6bde1a9187ebb6092cf67bf2b13fd65f27088d78b7e883c8759d2c4f5c6"
         "5adb7553878ad575f9fad878e80a0c9ba63bcbcc2732e69485bbc9c90bfbd62481d9089beccf80cfe2df16a2"
         "cf65bd92dd597b0707e0917af48bbb75fed413d238f5555a7a569d80c3414a8d0859dc65a46128bab27af87a"
         "71314f318c782b23ebfe808b82b0ce26401d2e22f04d83d1255dc51addd3b75a2b1ae0784504df543af8969b"
         "e3ea7082ff7fc9888c144da2af58429ec96031dbcad3dad9af0dcbaaaf268cb8fcffead94f3c7ca495e056a9"
         "b47acdb751fb73e666c6c655ade8297297d07ad1ba5e43f1bca32301651339e22904cc8c42f58c30c04aafdb"
         "038dda0847dd988dcda6f3bfd15c4b4c4525004aa06eeff8ca61783aacec57fb3d1f92b0fe2fd1a85f672451"
         "7b65e614ad6808d6f6ee34dff7310fdc82aebfd904b01e1dc54b2927094b2db68d6f903b68401adebf5a7e08"
         "d78ff4ef5d63653a65040cf9bfd4aca7984a74d37145986780fc0b16ac451649de6188a7dbdf191f64b5fc5e"
         "2ab47b57f7f7276cd419c17a3ca8e1b939ae49e488acba6b965610b5480109c8b17b80e1b7b750dfc7598d5d"
         "5011fd2dcc5600a32ef5b52a1ecc820e308aa342721aac0943bf6686b64b2579376504ccc493d97e6aed3fb0"
         "f9cd71a43dd497f01f17c0e2cb3797aa2a2f256656168e6c496afc5fb93246f6b1116398a346f1a641f3b041"
         "e989f7914f90cc2c7fff357876e506b50d334ba77c225bc307ba537152f3f1610e4eafe595f6d9d90d11faa9"
         "33a15ef1369546868a7f3a45a96768d40fd9d03412c091c6315cf4fde7cb68606937380db2eaaa707b4c4185"
         "c32eddcdd306705e4dc1ffc872eeee475a64dfac86aba41c0618983f8741c5ef68d3a101e8a3b8cac60c905c"
         "15fc910840b94c00a0b9d0",
         "0aab4c900501b3e24d7cdf4663326a3a87df5e4843b2cbdb67cbf6e460fec350aa5371b1508f9f4528ecea23"
         "c436d94b5e8fcd4f681e30a6ac00a9704a188a03"},
        {"833fe62409237b9d62ec77587520911e9a759cec1d19755b7da901b96dca3d42",
         "ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a"
         "3"
         "feebbd454d4423643ce80e2a9ac94fa54ca49f",
         "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b58909351fc9ac90b3ecfdfbc7c6"
         "6431e0303dca179c138ac17ad9bef1177331a704"},
    };
    for (const auto &row : rows) {
        const Bytes secret = FromHex(row.secret), key = FromHex(row.key),
                    message = FromHex(row.message), signature = FromHex(row.signature);
        EXPECT_TRUE(Verify(signature, message, key)) << row.key;

        EVP_PKEY *pkey =
            EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, secret.data(), secret.size());
        ASSERT_NE(pkey, nullptr);
        uint8_t derived[32];
        size_t derivedSize = sizeof(derived);
        EVP_PKEY_get_raw_public_key(pkey, derived, &derivedSize);
        uint8_t signed_[64];
        size_t signedSize = sizeof(signed_);
        EVP_MD_CTX *context = EVP_MD_CTX_new();
        EVP_DigestSignInit(context, nullptr, nullptr, nullptr, pkey);
        EVP_DigestSign(context, signed_, &signedSize, message.data(), message.size());
        EVP_MD_CTX_free(context);
        EVP_PKEY_free(pkey);
        EXPECT_EQ(ToHex(derived, derivedSize), row.key);
        EXPECT_EQ(ToHex(signed_, signedSize), row.signature);
    }
}

// A key pair made by OpenSSL, with the secret scalar a (the clamped first half of SHA-512 of the
// seed), so that signatures the signer would never make can be built.
struct KeyPair {
    Bytes seed, key;
    Bytes scalar;  // little-endian

    static KeyPair FromSeed(const Bytes &seed)
    {
        KeyPair pair{seed, Bytes(32), Bytes(64)};
        EVP_PKEY *pkey =
            EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size());
        size_t size = 32;
        EVP_PKEY_get_raw_public_key(pkey, pair.key.data(), &size);
        EVP_PKEY_free(pkey);
        SHA512(seed.data(), seed.size(), pair.scalar.data());
        pair.scalar.resize(32);
        pair.scalar[0] &= 248;
        pair.scalar[31] &= 127;
        pair.scalar[31] |= 64;
        return pair;
    }
};

const char kOrder[] = "1000000000000000000000000000000014def9dea2f79cd65812631a5cf5d3ed";

BIGNUM *FromLittleEndian(const Bytes &bytes)
{
    return BN_lebin2bn(bytes.data(), int(bytes.size()), nullptr);
}

Bytes ToLittleEndian32(const BIGNUM *value)
{
    Bytes bytes(32);
    BN_bn2lebinpad(value, bytes.data(), 32);
    return bytes;
}

// (a * b + c) mod L, little-endian.
Bytes MulAddModOrder(const Bytes &a, const Bytes &b, const Bytes &c)
{
    BN_CTX *context = BN_CTX_new();
    BIGNUM *order = nullptr;
    BN_hex2bn(&order, kOrder);
    BIGNUM *x = FromLittleEndian(a), *y = FromLittleEndian(b), *z = FromLittleEndian(c);
    BIGNUM *result = BN_new();
    BN_mod_mul(result, x, y, order, context);
    BN_mod_add(result, result, z, order, context);
    Bytes bytes = ToLittleEndian32(result);
    for (BIGNUM *n : {order, x, y, z, result})
        BN_free(n);
    BN_CTX_free(context);
    return bytes;
}

// k = SHA-512(R || A || M) as the verifier reduces it.
Bytes Challenge(const Bytes &r, const Bytes &key, const Bytes &message)
{
    Bytes hash(64);
    const Bytes input = qs_test::Join<uint8_t>({r, key, message});
    SHA512(input.data(), input.size(), hash.data());
    return hash;
}

// Signatures that a lax verifier would take and a strict one must refuse. The first two satisfy
// [S]B = R + [k]A itself: only the small-order checks refuse them.
TEST(Ed25519, RefusesWhatOnlyALaxVerifierTakes)
{
    const KeyPair pair = KeyPair::FromSeed(
        FromHex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"));
    const KeyPair other = KeyPair::FromSeed(
        FromHex("4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb"));
    const Bytes message = Text("R5nk_250101.bin");
    const Bytes zero(32, 0);
    const Bytes identity =
        FromHex("0100000000000000000000000000000000000000000000000000000000000000");

    // A valid signature, and one with L added to its S (still below 2^256).
    const Bytes r = other.key;  // R = [r]B for the other pair's scalar r
    const Bytes k = Challenge(r, pair.key, message);
    const Bytes s = MulAddModOrder(k, pair.scalar, other.scalar);
    ASSERT_TRUE(Verify(qs_test::Join<uint8_t>({r, s}), message, pair.key));
    BIGNUM *order = nullptr, *big = FromLittleEndian(s);
    BN_hex2bn(&order, kOrder);
    BN_add(big, big, order);
    const Bytes sPlusOrder = ToLittleEndian32(big);
    BN_free(big);
    BN_free(order);

    // The identity as R: S = k a satisfies the equation.
    const Bytes kIdentity = Challenge(identity, pair.key, message);
    const Bytes sForIdentity = MulAddModOrder(kIdentity, pair.scalar, zero);
    // The identity as the key: R = [r]B with S = r satisfies the equation for any message.
    const Bytes sForKeyIdentity = MulAddModOrder(other.scalar, FromHex("01"), zero);
    Bytes identityWithSign = identity;
    identityWithSign[31] |= 0x80;
    // y = p + 1: a second encoding of y = 1.
    const Bytes nonCanonical =
        FromHex("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");

    const struct {
        const char *what;
        Bytes signature, key;
    } rows[] = {
        {"S with L added", qs_test::Join<uint8_t>({r, sPlusOrder}), pair.key},
        {"S equal to L",
         qs_test::Join<uint8_t>(
             {r, FromHex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010")}),
         pair.key},
        {"R of small order (the identity) that satisfies the equation",
         qs_test::Join<uint8_t>({identity, sForIdentity}), pair.key},
        {"key of small order (the identity) that satisfies the equation",
         qs_test::Join<uint8_t>({other.key, sForKeyIdentity}), identity},
        {"R: the identity with its sign bit set",
         qs_test::Join<uint8_t>({identityWithSign, sForIdentity}), pair.key},
        {"key with y = p + 1", qs_test::Join<uint8_t>({r, s}), nonCanonical},
        {"R with y = p + 1", qs_test::Join<uint8_t>({nonCanonical, s}), pair.key},
    };
    for (const auto &row : rows) {
        ASSERT_EQ(row.signature.size(), 64u) << row.what;
        EXPECT_FALSE(Verify(row.signature, message, row.key)) << row.what;
    }
}

// Messages of every size signed by OpenSSL verify; one flipped bit in the message, the signature
// or the key refuses each. The sanitizer build, which looks for memory and undefined-behaviour
// faults rather than for wrong answers, checks 50 of them.
TEST(Ed25519, AgreesWithOpenSslAndRefusesEveryFlippedBit)
{
#ifdef QS_UNDER_ASAN
    const int kMessages = 50;
#else
    const int kMessages = 1000;
#endif
    std::mt19937 random(2026);
    for (int n = 0; n < kMessages; ++n) {
        EVP_PKEY *pkey = nullptr;
        EVP_PKEY_CTX *keygen = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
        EVP_PKEY_keygen_init(keygen);
        EVP_PKEY_keygen(keygen, &pkey);
        EVP_PKEY_CTX_free(keygen);
        Bytes key(32);
        size_t keySize = key.size();
        EVP_PKEY_get_raw_public_key(pkey, key.data(), &keySize);
        Bytes message(random() % 200);
        for (uint8_t &byte : message)
            byte = uint8_t(random());
        Bytes signature(64);
        size_t signatureSize = signature.size();
        EVP_MD_CTX *context = EVP_MD_CTX_new();
        EVP_DigestSignInit(context, nullptr, nullptr, nullptr, pkey);
        EVP_DigestSign(context, signature.data(), &signatureSize, message.data(), message.size());
        EVP_MD_CTX_free(context);
        EVP_PKEY_free(pkey);
        ASSERT_TRUE(Verify(signature, message, key)) << n;

        auto flipped = [&random](Bytes bytes) {
            const size_t bit = random() % (bytes.size() * 8);
            bytes[bit / 8] ^= uint8_t(1u << (bit % 8));
            return bytes;
        };
        if (!message.empty())
            ASSERT_FALSE(Verify(signature, flipped(message), key)) << n << " message";
        ASSERT_FALSE(Verify(flipped(signature), message, key)) << n << " signature";
        ASSERT_FALSE(Verify(signature, message, flipped(key))) << n << " key";
    }
}

}  // namespace
