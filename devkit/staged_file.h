// A file written beside its destination and renamed into place, so that nobody ever finds it
// half written.
#pragma once

#include <filesystem>
#include <fstream>
#include <span>

namespace devkit {

class StagedFile {
public:
    // Opens a hidden temporary in the destination's folder, which must exist. Throws
    // sim::DeviceError with one line.
    explicit StagedFile(const std::filesystem::path &destination);
    // Removes the temporary unless it was committed.
    ~StagedFile();
    StagedFile(const StagedFile &) = delete;
    StagedFile &operator=(const StagedFile &) = delete;

    void Write(std::span<const uint8_t> bytes);
    // Flushes and renames the temporary over the destination. Throws sim::DeviceError.
    void Commit();

private:
    void Fail(const std::string &what);

    std::filesystem::path destination_;
    std::filesystem::path temporary_;
    std::ofstream out_;
    bool committed_ = false;
};

// The whole content at once, through a StagedFile.
void WriteFileStaged(const std::filesystem::path &destination, std::span<const uint8_t> bytes);

}  // namespace devkit
