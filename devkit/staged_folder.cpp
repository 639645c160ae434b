#include "devkit/staged_folder.h"

#include <random>
#include <system_error>

#include "sim/error.h"

namespace devkit {

namespace fs = std::filesystem;

namespace {

// A hidden sibling of the destination that does not exist yet.
fs::path FreeSibling(const fs::path &destination, const std::string &purpose)
{
    std::random_device random;
    for (;;) {
        fs::path candidate =
            destination.parent_path() / ("." + destination.filename().string() + "." + purpose +
                                         "-" + std::to_string(random()));
        if (!fs::exists(candidate))
            return candidate;
    }
}

fs::path Normalised(const fs::path &folder)
{
    fs::path absolute = fs::absolute(folder).lexically_normal();
    return absolute.has_filename() ? absolute : absolute.parent_path();
}

}  // namespace

StagedFolder::StagedFolder(const fs::path &destination)
    : destination_(Normalised(destination)), named_(destination.string())
{
    std::error_code error;
    fs::create_directories(destination_.parent_path(), error);
    staging_ = FreeSibling(destination_, "new");
    if (error || !fs::create_directory(staging_, error))
        throw sim::DeviceError(named_ + ": cannot be created: " + error.message());
}

StagedFolder::~StagedFolder()
{
    if (committed_)
        return;
    std::error_code ignored;
    fs::remove_all(staging_, ignored);
}

void StagedFolder::Commit()
{
    std::error_code error;
    fs::path previous;
    if (fs::exists(destination_)) {
        previous = FreeSibling(destination_, "old");
        fs::rename(destination_, previous, error);
        if (error)
            throw sim::DeviceError(named_ + ": cannot be replaced: " + error.message());
    }
    fs::rename(staging_, destination_, error);
    if (error) {
        std::error_code ignored;
        if (!previous.empty())
            fs::rename(previous, destination_, ignored);
        throw sim::DeviceError(named_ + ": cannot be written: " + error.message());
    }
    committed_ = true;
    if (!previous.empty())
        fs::remove_all(previous, error);
}

std::string StagedFolder::Named(std::string reason) const
{
    const std::string staging = staging_.string();
    for (size_t at = reason.find(staging); at != std::string::npos;
         at = reason.find(staging, at + named_.size()))
        reason.replace(at, staging.size(), named_);
    return reason;
}

}  // namespace devkit
