// What a boot may change on a device, and what it changed elsewhere: the files under root/ that
// the boot does not own, and the flash block by block.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace qs_tools {

// True for the device paths a boot owns: the update folder, the installed application folders
// and their backup, the system-information files and the BINFS check log.
bool IsOwnedByBoot(const std::string &devicePath);

// Every file and folder under root/ that the boot does not own: device path (letter case as on
// disk) to "folder" or the file's size and a hash of its bytes.
using RootSnapshot = std::map<std::string, std::string>;
RootSnapshot SnapshotRoot(const std::filesystem::path &deviceFolder);
// "changed \windows\success.wav", "added \x.txt", "removed \y", in path order.
std::vector<std::string> RootChanges(const RootSnapshot &before, const RootSnapshot &after);

// The update folder's offer, as the shell's searches would find it (letter case aside).
struct UpdateOffer {
    bool nk = false;     // an R5nk_*.bin
    bool eboot = false;  // an R5boot_*.nb0
};
UpdateOffer FindUpdateOffer(const std::filesystem::path &deviceFolder);

// nand.bin's bytes; for a device that never wrote one, the flash as the driver lays it down.
std::vector<uint8_t> FlashImage(const std::filesystem::path &deviceFolder);

// The blocks an update may write: the TOC's always; 0-5 with a boot loader offered; with an
// image offered, from 6 to one block past the last one the boot without faults wrote there, since
// one failed block operation makes the image writer pass over one block more.
std::set<uint32_t> BlocksTheUpdateOwns(const UpdateOffer &offer,
                                       const std::vector<uint32_t> &cleanBootWrote);

// state.json's power.update_mode after a boot; none when the file or the key is missing.
std::optional<uint32_t> SavedUpdateMode(const std::filesystem::path &deviceFolder);

}  // namespace qs_tools
