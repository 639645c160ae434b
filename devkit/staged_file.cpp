#include "devkit/staged_file.h"

#include <random>
#include <system_error>

#include "sim/error.h"

namespace devkit {

namespace fs = std::filesystem;

StagedFile::StagedFile(const fs::path &destination) : destination_(destination)
{
    std::random_device random;
    fs::path folder = destination.has_parent_path() ? destination.parent_path() : fs::path(".");
    std::error_code error;
    if (!fs::is_directory(folder, error))
        throw sim::DeviceError(destination.string() + ": no such folder " + folder.string());
    do {
        temporary_ =
            folder / ("." + destination.filename().string() + ".tmp-" + std::to_string(random()));
    } while (fs::exists(temporary_, error));
    out_.open(temporary_, std::ios::binary | std::ios::trunc);
    if (!out_)
        throw sim::DeviceError(destination.string() + ": cannot be created");
}

StagedFile::~StagedFile()
{
    if (committed_)
        return;
    out_.close();
    std::error_code ignored;
    fs::remove(temporary_, ignored);
}

void StagedFile::Fail(const std::string &what)
{
    throw sim::DeviceError(destination_.string() + ": " + what);
}

void StagedFile::Write(std::span<const uint8_t> bytes)
{
    out_.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    if (!out_)
        Fail("cannot be written");
}

void StagedFile::Commit()
{
    out_.close();
    if (!out_)
        Fail("cannot be written");
    std::error_code error;
    fs::rename(temporary_, destination_, error);
    if (error)
        Fail("cannot be put in place: " + error.message());
    committed_ = true;
}

void WriteFileStaged(const fs::path &destination, std::span<const uint8_t> bytes)
{
    StagedFile file(destination);
    file.Write(bytes);
    file.Commit();
}

}  // namespace devkit
