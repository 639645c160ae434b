#include "devkit/update_signing.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string_view>
#include <vector>

#include "devkit/nb0_image.h"
#include "devkit/path_checks.h"
#include "devkit/staged_file.h"
#include "sim/error.h"

namespace devkit {

namespace fs = std::filesystem;

namespace {

using PKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;

// The image is read in pieces of this size: a 40 MiB image is never held whole.
constexpr size_t kDigestChunk = 1 << 20;

std::array<uint8_t, 32> FileDigest(const fs::path &file)
{
    RequireInputFile(file);
    std::ifstream in(file, std::ios::binary);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
    std::vector<char> chunk(kDigestChunk);
    while (in) {
        in.read(chunk.data(), std::streamsize(chunk.size()));
        EVP_DigestUpdate(context.get(), chunk.data(), size_t(in.gcount()));
    }
    if (!in.eof())
        throw sim::DeviceError(file.string() + ": cannot be read");
    std::array<uint8_t, 32> digest{};
    EVP_DigestFinal_ex(context.get(), digest.data(), nullptr);
    return digest;
}

PKey ReadPemKey(const fs::path &file, bool wantPrivate)
{
    RequireInputFile(file);
    Bio bio(BIO_new_file(file.c_str(), "r"), BIO_free);
    if (!bio)
        throw sim::DeviceError(file.string() + ": cannot be read");
    EVP_PKEY *key = wantPrivate ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                                : PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr);
    if (!key || EVP_PKEY_id(key) != EVP_PKEY_ED25519) {
        EVP_PKEY_free(key);
        return PKey(nullptr, EVP_PKEY_free);
    }
    return PKey(key, EVP_PKEY_free);
}

PublicKey RawPublicKey(EVP_PKEY *key)
{
    PublicKey raw{};
    size_t size = raw.size();
    EVP_PKEY_get_raw_public_key(key, raw.data(), &size);
    return raw;
}

void RefuseExisting(const fs::path &file)
{
    if (fs::exists(fs::symlink_status(file)))
        throw sim::DeviceError(file.string() + ": exists already; a key pair is never replaced");
}

// Written beside its place, readable by its owner alone from its first byte, and renamed there.
void WriteSecretFile(const fs::path &file, std::string_view content)
{
    fs::path temporary = file;
    temporary += ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throw sim::DeviceError(temporary.string() + ": cannot be created");
    const bool written = ::write(fd, content.data(), content.size()) == ssize_t(content.size());
    const bool closed = ::close(fd) == 0;
    std::error_code error;
    if (written && closed)
        fs::rename(temporary, file, error);
    if (!written || !closed || error) {
        fs::remove(temporary, error);
        throw sim::DeviceError(file.string() + ": cannot be written");
    }
}

}  // namespace

KeyPairFiles MakeKeyPair(const fs::path &folder)
{
    KeyPairFiles files{folder / "signing.pem", folder / "update.key", {}};
    RefuseExisting(files.privateKey);
    RefuseExisting(files.publicKey);
    std::error_code error;
    fs::create_directories(folder, error);
    if (error)
        throw sim::DeviceError(folder.string() + ": " + error.message());

    EVP_PKEY *made = nullptr;
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr), EVP_PKEY_CTX_free);
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
        EVP_PKEY_keygen(context.get(), &made) != 1)
        throw sim::DeviceError("OpenSSL made no Ed25519 key");
    PKey key(made, EVP_PKEY_free);
    files.key = RawPublicKey(key.get());

    Bio pem(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_PrivateKey(pem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    char *text = nullptr;
    const long size = BIO_get_mem_data(pem.get(), &text);
    WriteSecretFile(files.privateKey, std::string_view(text, size_t(size)));
    WriteFileStaged(files.publicKey, files.key);
    return files;
}

PublicKey ReadUpdateKey(const fs::path &file)
{
    RequireInputFile(file);
    if (fs::file_size(file) == PublicKey().size()) {
        const std::vector<uint8_t> bytes = ReadFileBytes(file, PublicKey().size());
        PublicKey key{};
        std::copy(bytes.begin(), bytes.end(), key.begin());
        return key;
    }
    if (PKey key = ReadPemKey(file, false))
        return RawPublicKey(key.get());
    if (PKey key = ReadPemKey(file, true))
        return RawPublicKey(key.get());
    throw sim::DeviceError(file.string() +
                           ": not an update key (32 raw bytes, or a PEM Ed25519 key)");
}

ImageSignature SignFile(const fs::path &file, const fs::path &privateKey)
{
    PKey key = ReadPemKey(privateKey, true);
    if (!key)
        throw sim::DeviceError(privateKey.string() + ": not a PEM Ed25519 private key");
    const std::array<uint8_t, 32> digest = FileDigest(file);
    ImageSignature signature{};
    size_t size = signature.size();
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
    if (EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), signature.data(), &size, digest.data(), digest.size()) != 1)
        throw sim::DeviceError(file.string() + ": OpenSSL could not sign it");
    return signature;
}

fs::path SignaturePath(const fs::path &image)
{
    fs::path path = image;
    path += kSignatureSuffix;
    return path;
}

std::optional<std::string> SignatureProblem(const fs::path &image, const PublicKey &key)
{
    const fs::path side = SignaturePath(image);
    if (!fs::is_regular_file(side))
        return "signature missing";
    const uintmax_t size = fs::file_size(side);
    if (size != ImageSignature().size())
        return "signature malformed (" + std::to_string(size) + " bytes, not 64)";
    const std::vector<uint8_t> signature = ReadFileBytes(side, size);
    const std::array<uint8_t, 32> digest = FileDigest(image);
    PKey publicKey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()),
                   EVP_PKEY_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
    if (!publicKey ||
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, publicKey.get()) != 1 ||
        EVP_DigestVerify(context.get(), signature.data(), signature.size(), digest.data(),
                         digest.size()) != 1)
        return "signature does not verify";
    return std::nullopt;
}

std::optional<DeviceKey> ReadDeviceKey(const fs::path &deviceFolder)
{
    const fs::path file = deviceFolder / kUpdateKeyRootPath;
    std::error_code error;
    if (!fs::exists(fs::symlink_status(file, error)))
        return std::nullopt;
    const uintmax_t size = fs::is_regular_file(file, error) ? fs::file_size(file, error) : 0;
    if (error || size != PublicKey().size())
        return DeviceKey{std::nullopt,
                         "not a key of 32 bytes; the safe shell refuses every update"};
    return DeviceKey{ReadUpdateKey(file), std::nullopt};
}

std::string DeviceKeyText(const std::optional<DeviceKey> &key)
{
    if (!key)
        return "none: images are not signature-checked";
    if (!key->key)
        return std::string(kUpdateKeyDevicePath) + " is " + *key->problem;
    return KeyFingerprint(*key->key) + ": the safe shell writes only images signed with it";
}

std::string KeyFingerprint(const PublicKey &key)
{
    std::array<uint8_t, 32> digest{};
    EVP_Digest(key.data(), key.size(), digest.data(), nullptr, EVP_sha256(), nullptr);
    std::string text = "sha256:";
    char pair[3];
    for (size_t i = 0; i < 8; ++i) {
        std::snprintf(pair, sizeof(pair), "%02x", digest[i]);
        text += pair;
    }
    return text;
}

}  // namespace devkit
