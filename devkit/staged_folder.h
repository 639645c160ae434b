// A folder built beside its destination and moved into place whole, so that nobody ever finds
// it half made.
#pragma once

#include <filesystem>
#include <string>

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

    // A reason that names the staging folder, naming the destination as it was given instead:
    // the staging folder is gone by the time anyone reads it.
    std::string Named(std::string reason) const;

private:
    std::filesystem::path destination_;
    std::filesystem::path staging_;
    std::string named_;  // the destination as it was given, for messages
    bool committed_ = false;
};

}  // namespace devkit
