// The update signature's verifier over any key, signature and message: the key's 32 bytes, the
// signature's 64, then the message. The SHA-256 of the message fed in pieces (the first byte gives
// their size) must equal its digest fed whole, and a verified signature must still verify.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "safeupdate/ed25519.h"
#include "safeupdate/sha2.h"

namespace {

void Digest(const uint8_t *data, size_t size, size_t piece, uint8_t *digest)
{
    SHA256_STATE state;
    Sha256Init(&state);
    for (size_t at = 0; at < size; at += piece)
        Sha256Update(&state, data + at, DWORD(size - at < piece ? size - at : piece));
    Sha256Final(&state, digest);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < ED25519_KEY_SIZE + ED25519_SIGNATURE_SIZE)
        return 0;
    const uint8_t *key = data;
    const uint8_t *signature = data + ED25519_KEY_SIZE;
    const uint8_t *message = signature + ED25519_SIGNATURE_SIZE;
    const size_t length = size - ED25519_KEY_SIZE - ED25519_SIGNATURE_SIZE;

    uint8_t whole[SHA256_DIGEST_SIZE], pieces[SHA256_DIGEST_SIZE];
    Digest(message, length, length + 1, whole);
    Digest(message, length, 1 + data[0] % 130, pieces);
    if (std::memcmp(whole, pieces, sizeof whole) != 0)
        std::abort();

    // The verifier keeps nothing of one call for the next: the same input, the same answer.
    DWORD first = Ed25519Verify(signature, message, DWORD(length), key);
    if (Ed25519Verify(signature, message, DWORD(length), key) != first)
        std::abort();
    return 0;
}
