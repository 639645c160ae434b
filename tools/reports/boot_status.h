// Would a device boot, and into which image: the boot loader's reading of its flash, beside the
// update waiting in its update folder and the last boot's journal.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "devkit/bin_image.h"
#include "devkit/boot_loader_view.h"
#include "devkit/update_signing.h"
#include "tools/reports/flash_verdict.h"

namespace qs_tools {

struct BootSummary;

// The update the next boot finds: the files the shell takes.
struct WaitingUpdate {
    std::filesystem::path nk;  // relative to the device folder
    std::optional<std::filesystem::path> bootLoader;
    std::optional<devkit::BinTrailer> trailer;  // the last 30 bytes, where the shell reads it
    std::optional<uint32_t> imageBytes;         // ImageLen; none when the loader refuses the file
    std::optional<std::string> unreadable;      // why it refuses it
};

// What a boot is judged by, read before it: the images the boot loader loads from the flash,
// and those the waiting update would leave there (the flash's own where the update is unusable).
struct JudgeImages {
    BootImages onFlash;
    BootImages waiting;
    // Whether waiting holds the package's own NK image and boot loader, not the flash's.
    bool nkOffered = false;
    bool bootLoaderOffered = false;
    // Whether the flash held them already before the boot.
    bool nkHeldBefore = false;
    bool bootLoaderHeldBefore = false;
};

// Images the flash should hold, named to quordev status: the TOC records no checksum of the NK
// image and nothing covers the EBoot blocks, so without them a torn block there reads as whole.
struct ReferenceImages {
    std::filesystem::path nk;
    std::optional<std::filesystem::path> bootLoader;
};

struct DeviceStatus {
    // Old: the image the flash holds, not the waiting update's; new: the waiting update's, which
    // the flash holds already.
    Verdict verdict = Verdict::Unbootable;
    std::vector<std::string> why;                // each reason it would not boot
    std::optional<devkit::BootLoaderView> view;  // none when nand.bin was never written
    std::optional<WaitingUpdate> waiting;
    JudgeImages images;                          // what the verdict was judged by
    std::optional<devkit::DeviceKey> updateKey;  // none when the running image holds none
    // With a usable key and an update waiting: each image's file name and "verified" or why the
    // safe shell refuses it.
    std::vector<std::pair<std::string, std::string>> signatures;
    std::optional<ReferenceImages> reference;  // what "old" was judged by, when given
};

// After a boot: why its flash starts nothing (deadAfter), and whether the flash holds each offered
// image that the shell took up, with the first difference where it does not.
void JudgeBootOnFlash(sim::FlashDriver &flash, const JudgeImages &images, BootSummary &summary);

// Reads the device folder; the caller holds its lock. Throws sim::DeviceError as
// devkit::OpenDeviceFlash does, and for an unusable reference image. With signatures, and an
// update key and an update waiting, it also checks the images' signatures (reading each image
// whole). With reference images, the old image is theirs, not the flash's own reading.
DeviceStatus ReadDeviceStatus(const std::filesystem::path &folder, bool signatures = false,
                              const std::optional<ReferenceImages> &reference = {});

// "old", "new" or "none".
const char *BootedImageName(Verdict verdict);
// "boots the image on its flash (old)", "would not boot (none)", ...
std::string BootVerdictText(Verdict verdict);
std::string StatusText(const std::string &folder, const DeviceStatus &status);
nlohmann::ordered_json StatusJson(const DeviceStatus &status);
// The running image's update key: null, or its path with its fingerprint or why it is unusable.
nlohmann::ordered_json UpdateKeyJson(const std::optional<devkit::DeviceKey> &key);

}  // namespace qs_tools
