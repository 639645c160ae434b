// Which operating-system image a flash would boot: the one it held before an update, the
// update's new one, or none, judged by what the boot loader reads.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "devkit/bin_reader.h"
#include "sim/flash_driver.h"

namespace qs_tools {

// A boot loader as the flash holds it (the .nb0's bytes, the StepLoader's checksum word stored),
// and an NK image; either may be missing.
struct BootImages {
    std::optional<std::vector<uint8_t>> bootLoader;
    std::optional<devkit::LoadedBinImage> nk;
    // Read from a flash: why either is missing, one line each, in the boot loader's order.
    std::vector<std::string> missing;
};

// What the boot loader loads from the flash, when devkit::VerifyFlash accepts it again: the
// StepLoader with a matching checksum and the EBoot blocks, and the NK image that ID[3] records
// unless every byte of it is erased.
BootImages ReadBootImages(sim::FlashDriver &driver);

// The images of an update package. Throws sim::DeviceError when a file is unusable.
BootImages ReadPackageImages(const std::filesystem::path &nkBin,
                             const std::optional<std::filesystem::path> &nb0);

// The images an update boot wrote, as the shell's own lines name them ("Open OS update image
// file... ", "Open EBoot image file... "), read from the device folder's root/; none when the
// boot opened no operating-system image. Throws as ReadPackageImages does.
struct UpdateImages {
    std::string nk;  // device paths
    std::optional<std::string> bootLoader;
    BootImages images;  // without a boot loader in the package, the one of oldImages stays
};
std::optional<UpdateImages> OpenedUpdateImages(const std::filesystem::path &device,
                                               const std::string &debugLog,
                                               const BootImages &oldImages);

enum class ImageMatch { Old, New, Neither };
const char *ImageMatchName(ImageMatch match);  // "old", "new", "neither"

enum class Verdict { Old, New, Unbootable };
const char *VerdictName(Verdict verdict);  // "old", "new", "unbootable"

struct FlashJudgement {
    bool stepLoaderChecksumOk = false;
    ImageMatch bootLoader = ImageMatch::Neither;  // the whole StepLoader and EBoot
    bool tocAccepted = false;                     // by TOC_Read
    ImageMatch nk = ImageMatch::Neither;          // ID[3]'s fields and every byte of the image
    // A boot loader of either kind that loads the old or the new NK image boots that image.
    Verdict verdict = Verdict::Unbootable;
};

// Why the boot loader starts nothing, at the first step of its reading that fails: "the StepLoader
// in block 0 fails its checksum"; empty when the verdict is an image.
std::string UnbootableReason(const FlashJudgement &judgement);

// An image that both sets share counts as new.
FlashJudgement JudgeFlash(sim::FlashDriver &driver, const BootImages &oldImages,
                          const BootImages &newImages);

}  // namespace qs_tools
