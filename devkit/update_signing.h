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
// The update key in a device folder's running image, as its shell reads it.
struct DeviceKey {
    std::optional<PublicKey> key;        // none: there is none, or it is unusable
    std::optional<std::string> problem;  // why it is unusable: the shell then refuses every update
};
// None when the running image holds no update key.
std::optional<DeviceKey> ReadDeviceKey(const std::filesystem::path &deviceFolder);
// "sha256:1a2b3c4d5e6f7081: the safe shell writes only images signed with it", or why it is
// unusable, or "none: images are not signature-checked".
std::string DeviceKeyText(const std::optional<DeviceKey> &key);
// The first 8 bytes of the key's SHA-256, as "sha256:1a2b3c4d5e6f7081".
std::string KeyFingerprint(const PublicKey &key);

}  // namespace devkit
