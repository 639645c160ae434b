// A folder built beside its destination and moved into place whole, so that nobody ever finds
// it half made.
#pragma once

#include <filesystem>

namespace devkit {

class StagedFolder {
public:
    // Creates an empty staging folder in the destination's parent (made when missing).
    explicit StagedFolder(const std::filesystem::path &destination);
    // Removes the staging folder unless it was committed.
    ~StagedFolder();
    StagedFolder(const StagedFolder &) = delete;
    StagedFolder &operator=(const StagedFolder &) = delete;

    const std::filesystem::path &Path() const { return staging_; }

    // Moves the staging folder to the destination; a folder already there is replaced, and kept
    // as it was when the move fails. Throws sim::DeviceError.
    void Commit();

private:
    std::filesystem::path destination_;
    std::filesystem::path staging_;
    bool committed_ = false;
};

}  // namespace devkit
