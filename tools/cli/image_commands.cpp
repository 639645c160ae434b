// quordev mkbin, mknb0 and crc: the images an update package is made of.
#include <cstdio>
#include <iostream>

#include "devkit/bin_image.h"
#include "devkit/bin_reader.h"
#include "devkit/image_crc.h"
#include "devkit/nb0_image.h"
#include "devkit/path_checks.h"
#include "devkit/staged_file.h"
#include "devkit/toc_record.h"
#include "devkit/update_signing.h"
#include "sim/error.h"
#include "tools/cli/quordev_commands.h"

namespace qs_tools {

namespace {

CLI::Option *AddNumberOption(CLI::App *command, const std::string &name, std::string &into,
                             const std::string &help)
{
    return command->add_option(name, into, help)
        ->type_name("N")
        ->check(Parses(ParseNumber, "a number (decimal or 0x hexadecimal)"));
}

// The addresses the shell's loader takes a record at: inside its RAM image buffer.
constexpr uint32_t kBufferEnd = devkit::kRamImageBase + devkit::kRamImageBufferSize;

CLI::Validator InBuffer()
{
    return InRange<uint32_t>(ParseNumber, devkit::kRamImageBase, kBufferEnd - 1, devkit::Hex,
                             "the RAM image buffer");
}

}  // namespace

std::string Hex8(uint32_t value)
{
    char text[12];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::optional<uint32_t> ParseNumber(const std::string &text)
{
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > (hex ? 8u : 10u))
        return std::nullopt;
    uint64_t value = 0;
    for (char c : digits) {
        int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                    : hex && std::isxdigit(static_cast<unsigned char>(c))
                        ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                        : -1;
        if (digit < 0)
            return std::nullopt;
        value = value * (hex ? 16 : 10) + uint64_t(digit);
    }
    if (value > UINT32_MAX)
        return std::nullopt;
    return uint32_t(value);
}

// --company, --product, --version, --language: the trailer's fields, the device's values by
// default; a field longer than its place is a wrong command line.
void AddTrailerOptions(CLI::App *command, devkit::BinTrailer &trailer)
{
    for (const devkit::BinTrailerField &field : devkit::kBinTrailerFields) {
        const size_t size = field.size;
        std::string &value = trailer.*field.value;
        command
            ->add_option("--" + std::string(field.name), value,
                         "the trailer's " + std::string(field.name) + ", up to " +
                             std::to_string(size) + " characters (default " + value + ")")
            ->check(CLI::Validator(
                [size](const std::string &text) {
                    return text.size() <= size ? std::string()
                                               : "at most " + std::to_string(size) + " characters";
                },
                "", "length"));
    }
}

// quordev mkbin RAW OUT.bin [--start ADDR] [--launch ADDR] [--record BYTES] [--company ..]
// [--product ..] [--version ..] [--language ..]
Command AddMkbinCommand(CLI::App &app)
{
    struct Arguments {
        std::string raw, out, start = "0x80020000", launch, record = "0x10000";
        devkit::BinTrailer trailer;
    };
    auto args = std::make_shared<Arguments>();
    CLI::App *mkbin = app.add_subcommand("mkbin",
                                         "build a .BIN operating-system image from a raw "
                                         "image, with its signature trailer");
    mkbin->add_option("RAW", args->raw, "the raw image bytes, loaded from --start on")->required();
    mkbin->add_option("OUT", args->out, "the .bin file to write")->required();
    AddNumberOption(mkbin, "--start", args->start,
                    "the image's start address, in the RAM image buffer 0x80020000 to "
                    "0x82AFFFFF (default 0x80020000)")
        ->check(InBuffer());
    AddNumberOption(mkbin, "--launch", args->launch,
                    "the launch address, in the RAM image buffer (default: --start)")
        ->check(InBuffer());
    AddNumberOption(mkbin, "--record", args->record,
                    "the largest record in bytes (default 0x10000, 64 KiB)")
        ->check(InRange<uint32_t>(ParseNumber, 1, UINT32_MAX, NumberText<uint32_t>));
    AddTrailerOptions(mkbin, args->trailer);
    return [mkbin, args] {
        if (!mkbin->parsed())
            return -1;
        devkit::BinImageLayout layout;
        layout.start = *ParseNumber(args->start);
        layout.launch = args->launch.empty() ? layout.start : *ParseNumber(args->launch);
        layout.recordSize = *ParseNumber(args->record);
        layout.trailer = args->trailer;
        devkit::CheckOutputFile(args->out, {args->raw});
        devkit::RequireInputFile(args->raw);
        // The loader refuses a record that passes the end of its buffer.
        if (const uint64_t size = std::filesystem::file_size(args->raw);
            size > kBufferEnd - layout.start)
            throw sim::DeviceError(args->raw + ": " + std::to_string(size) + " bytes from " +
                                   devkit::Hex(layout.start) +
                                   " pass the end of the RAM image buffer at " +
                                   devkit::Hex(kBufferEnd));
        layout.image = devkit::ReadFileBytes(args->raw, kBufferEnd - layout.start);
        if (layout.image.empty())
            throw sim::DeviceError(args->raw + ": is empty");
        devkit::WriteBinImage(args->out, layout);
        std::cout << "wrote " << args->out << ": image " << devkit::Hex(layout.start) << ", "
                  << layout.image.size() << " bytes, launch " << devkit::Hex(layout.launch) << "\n";
        return 0;
    };
}

// The trailer on a .BIN: checked records, then the 30 bytes put behind the last one or put in
// place of those there. Gives what the line of output says.
std::string PutTrailer(const std::string &in, const std::string &out,
                       const devkit::BinTrailer &trailer)
{
    const devkit::LoadedBinImage image = devkit::ReadBinImageFile(in);
    const uint64_t end = image.RecordsEnd();
    const uint64_t behind = std::filesystem::file_size(in) - end;
    if (behind != 0 && behind != devkit::kBinTrailerSize)
        throw sim::DeviceError(in + ": " + std::to_string(behind) +
                               " bytes behind the last record, where only a " +
                               std::to_string(devkit::kBinTrailerSize) + "-byte trailer belongs");
    std::vector<uint8_t> bytes = devkit::ReadFileBytes(in, end + behind);
    bytes.resize(end);
    const auto encoded = devkit::EncodeBinTrailer(trailer);
    bytes.insert(bytes.end(), encoded.begin(), encoded.end());
    devkit::WriteFileStaged(out, bytes);
    return "company " + trailer.company + ", product " + trailer.product + ", version " +
           trailer.version + ", language " + trailer.language + " (" +
           (behind ? "trailer replaced" : "trailer added") + ")";
}

bool IsBinFile(const std::string &path)
{
    std::string extension = std::filesystem::path(path).extension().string();
    for (char &c : extension)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return extension == ".bin";
}

// quordev sign IN [--key KEY] [--out OUT.bin] [--company ..] [--product ..] [--version ..]
// [--language ..]
Command AddSignCommand(CLI::App &app)
{
    struct Arguments {
        std::string in, out, key;
        devkit::BinTrailer trailer;
    };
    auto args = std::make_shared<Arguments>();
    CLI::App *sign = app.add_subcommand(
        "sign",
        "on a .BIN, put the 30-byte signature trailer that the update check reads behind the last "
        "record (or replace the one there; the records are checked first); with --key, also "
        "write IN.sig, the Ed25519 signature over the SHA-256 of the file, which a device with "
        "an update key requires of every image (.bin and .nb0)");
    sign->add_option("IN", args->in, "the .bin or .nb0 image")->required();
    sign->add_option("--key", args->key,
                     "the private key (PEM, as quordev keygen writes it) that signs the image "
                     "into IN.sig (OUT.sig with --out); required for an image that is no .bin")
        ->type_name("KEY");
    sign->add_option("--out", args->out,
                     "write the .bin with its trailer here (default: IN, replaced whole)")
        ->type_name("FILE");
    AddTrailerOptions(sign, args->trailer);
    return [sign, args] {
        if (!sign->parsed())
            return -1;
        const bool bin = IsBinFile(args->in);
        if (!bin && args->key.empty())
            throw sim::DeviceError(args->in +
                                   ": not a .bin, so it takes no trailer; give --key to sign it");
        if (!bin && !args->out.empty())
            throw sim::DeviceError("--out: only a .bin is written anew; " + args->in +
                                   " is signed where it is");
        const std::string out = args->out.empty() ? args->in : args->out;
        if (bin)
            devkit::CheckOutputFile(out);
        if (!args->key.empty())
            devkit::CheckOutputFile(devkit::SignaturePath(out), {args->in});
        devkit::RequireInputFile(args->in);
        if (!args->key.empty())
            devkit::RequireInputFile(args->key);
        std::string said;
        if (bin)
            said = PutTrailer(args->in, out, args->trailer);
        if (!args->key.empty()) {
            const devkit::ImageSignature signature = devkit::SignFile(out, args->key);
            devkit::WriteFileStaged(devkit::SignaturePath(out), signature);
            said += std::string(said.empty() ? "" : "; ") + "signature in " +
                    devkit::SignaturePath(out).string();
        }
        std::cout << "signed " << out << ": " << said << "\n";
        return 0;
    };
}

// quordev keygen DIR
Command AddKeygenCommand(CLI::App &app)
{
    auto folder = std::make_shared<std::string>();
    CLI::App *keygen = app.add_subcommand(
        "keygen",
        "make an Ed25519 key pair for signed updates: DIR/signing.pem, the private key that "
        "quordev sign --key takes (keep it secret), and DIR/update.key, the public key that "
        "quordev init --update-key puts on a device; neither is ever replaced");
    keygen->add_option("DIR", *folder, "the folder for the two files (created when missing)")
        ->required();
    return [keygen, folder] {
        if (!keygen->parsed())
            return -1;
        const devkit::KeyPairFiles files = devkit::MakeKeyPair(*folder);
        std::cout << "made a key pair: " << files.privateKey.string() << " (private, keep it "
                  << "secret) and " << files.publicKey.string() << " (public, "
                  << devkit::KeyFingerprint(files.key) << ")\n";
        return 0;
    };
}

// quordev mknb0 OUT.nb0 [--steploader FILE] [--eboot FILE]
Command AddMknb0Command(CLI::App &app)
{
    struct Arguments {
        std::string out, stepLoader, eboot;
    };
    auto args = std::make_shared<Arguments>();
    CLI::App *mknb0 = app.add_subcommand(
        "mknb0",
        "build a boot-loader .nb0: a 16 KiB StepLoader and 512 KiB of EBoot, with the "
        "StepLoader checksum stored at offset 8");
    mknb0->add_option("OUT", args->out, "the .nb0 file to write")->required();
    mknb0
        ->add_option("--steploader", args->stepLoader,
                     "the StepLoader, at most 16 KiB, filled up with 0xFF (default: a "
                     "labelled pattern)")
        ->type_name("FILE");
    mknb0
        ->add_option("--eboot", args->eboot,
                     "the EBoot boot loader, at most 512 KiB, filled up with 0xFF (default: a "
                     "labelled pattern)")
        ->type_name("FILE");
    return [mknb0, args] {
        if (!mknb0->parsed())
            return -1;
        devkit::CheckOutputFile(args->out, {args->stepLoader, args->eboot});
        std::optional<std::vector<uint8_t>> stepLoader, eboot;
        // Both parts are read first, so that a refusal writes nothing.
        if (!args->stepLoader.empty())
            stepLoader = devkit::ReadFileBytes(args->stepLoader, devkit::kStepLoaderSize);
        if (!args->eboot.empty())
            eboot = devkit::ReadFileBytes(args->eboot, devkit::kEbootSize);
        auto part = [](const std::optional<std::vector<uint8_t>> &bytes) {
            return bytes ? std::optional<std::span<const uint8_t>>(*bytes) : std::nullopt;
        };
        std::vector<uint8_t> image = devkit::MakeNb0(part(stepLoader), part(eboot));
        devkit::WriteFileStaged(args->out, image);
        std::cout << "wrote " << args->out << ": " << image.size() << " bytes, StepLoader "
                  << (stepLoader ? args->stepLoader : "pattern") << ", EBoot "
                  << (eboot ? args->eboot : "pattern") << ", checksum "
                  << Hex8(devkit::ReadWord(image, devkit::kStepLoaderChecksumOffset)) << "\n";
        return 0;
    };
}

// quordev crc FILE
Command AddCrcCommand(CLI::App &app)
{
    auto file = std::make_shared<std::string>();
    CLI::App *crc = app.add_subcommand(
        "crc",
        "write FILE.crc, the side file the shell checks a boot-loader image against, and "
        "print its value");
    crc->add_option("FILE", *file, "the image")->required();
    return [crc, file] {
        if (!crc->parsed())
            return -1;
        uint32_t value = devkit::ImageFileCrc(*file);
        devkit::WriteFileStaged(devkit::CrcSideFile(*file), devkit::CrcSideFileBytes(value));
        std::cout << Hex8(value) << "\n";
        return 0;
    };
}

}  // namespace qs_tools
