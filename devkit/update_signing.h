// Update keys and image signatures, made and checked with OpenSSL: an image's signature is
// Ed25519 over the SHA-256 digest of the whole file, in a side file of its own (IMAGE.sig).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace devkit {

using PublicKey = std::array<uint8_t, 32>;       // the raw Ed25519 public key a device holds
using ImageSignature = std::array<uint8_t, 64>;  // R then S

// The device path of the key in the running image, and its place in a device folder.
constexpr const char *kUpdateKeyDevicePath = "\\windows\\update.key";
constexpr const char *kUpdateKeyRootPath = "root/windows/update.key";
constexpr const char *kSignatureSuffix = ".sig";

struct KeyPairFiles {
    std::filesystem::path privateKey;  // signing.pem: PKCS#8, readable by its owner only
    std::filesystem::path publicKey;   // update.key: the 32 bytes for quordev init --update-key
    PublicKey key;
};

// Makes a new key pair in the folder (created when missing); refuses to replace either file.
KeyPairFiles MakeKeyPair(const std::filesystem::path &folder);
// A public key: a file of 32 raw bytes, or a PEM Ed25519 public or private key.
PublicKey ReadUpdateKey(const std::filesystem::path &file);
// Signs the file's SHA-256 digest with the PEM private key.
ImageSignature SignFile(const std::filesystem::path &file, const std::filesystem::path &privateKey);
// IMAGE.sig beside the image.
std::filesystem::path SignaturePath(const std::filesystem::path &image);

// Why the image's side file does not hold the key's signature of it ("signature missing",
// "signature malformed (65 bytes, not 64)", "signature does not verify"); none when it does.
std::optional<std::string> SignatureProblem(const std::filesystem::path &image,
                                            const PublicKey &key);
// The key a device folder holds in its running image; none when it holds none.
std::optional<PublicKey> DeviceUpdateKey(const std::filesystem::path &deviceFolder);
// The first 8 bytes of the key's SHA-256, as "sha256:1a2b3c4d5e6f7081".
std::string KeyFingerprint(const PublicKey &key);

}  // namespace devkit
