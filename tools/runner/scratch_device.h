// A working copy of a device folder in a temporary folder, put back as the original is after
// each boot, for tools that boot the same device many times.
#pragma once

#include <cstdint>
#include <filesystem>
#include <set>

namespace qs_tools {

class ScratchDevice {
public:
    // Copies the original's device.json, state.json, root/ and nand.bin (links inside root/ as
    // links). Throws sim::DeviceError with one line.
    explicit ScratchDevice(const std::filesystem::path &original);
    // Removes the copy.
    ~ScratchDevice();
    ScratchDevice(const ScratchDevice &) = delete;
    ScratchDevice &operator=(const ScratchDevice &) = delete;

    const std::filesystem::path &Path() const { return path_; }

    // Makes the copy equal to the original again: the description, the state and root/ copied
    // anew, the last boot's log and journal gone, and of nand.bin the blocks given, which must
    // be every block the boots since the last restore erased or programmed. root/ stays as it is
    // when the caller knows that no boot since the last restore changed a file there.
    void Restore(const std::set<uint32_t> &changedBlocks, bool rootChanged = true);

    // A new scratch folder beside it whose files are hard links to the copy's as they are now,
    // its folders new ones with the same times and extended attributes: a forked sweep's child
    // goes on there (ce_host::MoveToLinkedCopy), and the caller removes it. Throws
    // sim::DeviceError with one line.
    std::filesystem::path LinkedCopy() const;

private:
    void CopyFiles(bool withRoot = true) const;

    std::filesystem::path original_;
    std::filesystem::path path_;
};

}  // namespace qs_tools
