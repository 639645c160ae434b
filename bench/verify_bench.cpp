// The safe shell's signature check of an image, alone: the file read in the 128 KiB pieces the
// loader reads, each piece fed to the shell's SHA-256, then the side file's Ed25519 signature
// verified with the shell's code against the key. Prints the milliseconds, the median of RUNS,
// and exits 1 when the signature does not verify.
// Usage: verify_bench FILE KEY [RUNS]   (FILE.sig beside FILE; KEY: 32 raw bytes)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "safeupdate/ed25519.h"
#include "safeupdate/sha2.h"

namespace {

constexpr size_t kPiece = 128 * 1024;

std::vector<unsigned char> ReadAll(const std::string &file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The milliseconds of one check; verified tells its answer.
double OnceMs(const char *file, const std::vector<unsigned char> &key, bool &verified)
{
    const auto start = std::chrono::steady_clock::now();
    std::vector<unsigned char> piece(kPiece);
    SHA256_STATE state;
    Sha256Init(&state);
    std::ifstream in(file, std::ios::binary);
    while (in) {
        in.read(reinterpret_cast<char *>(piece.data()), std::streamsize(piece.size()));
        Sha256Update(&state, piece.data(), DWORD(in.gcount()));
    }
    unsigned char digest[SHA256_DIGEST_SIZE];
    Sha256Final(&state, digest);
    const std::vector<unsigned char> signature = ReadAll(std::string(file) + ".sig");
    verified = signature.size() == ED25519_SIGNATURE_SIZE &&
               Ed25519Verify(signature.data(), digest, sizeof digest, key.data()) == 1;
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: verify_bench FILE KEY [RUNS]\n");
        return 2;
    }
    const std::vector<unsigned char> key = ReadAll(argv[2]);
    if (key.size() != ED25519_KEY_SIZE) {
        std::fprintf(stderr, "%s: not a key of 32 bytes\n", argv[2]);
        return 2;
    }
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    std::vector<double> times;
    bool verified = false;
    for (int run = 0; run < runs; ++run)
        times.push_back(OnceMs(argv[1], key, verified));
    std::sort(times.begin(), times.end());
    std::fprintf(stdout, "%.1f\n", times[times.size() / 2]);
    return verified ? 0 : 1;
}
