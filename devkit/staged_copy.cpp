#include "devkit/staged_copy.h"

#include <fstream>
#include <vector>

#include "sim/error.h"

namespace devkit {

namespace fs = std::filesystem;

std::unique_ptr<StagedFile> StageCopy(const fs::path &source, const fs::path &destination,
                                      const CopiedChunk &copied)
{
    std::ifstream in(source, std::ios::binary);
    if (!in)
        throw sim::DeviceError(source.string() + ": cannot be read");
    auto staged = std::make_unique<StagedFile>(destination);
    std::vector<uint8_t> chunk(kCopyChunk);
    while (in) {
        in.read(reinterpret_cast<char *>(chunk.data()), std::streamsize(chunk.size()));
        if (in.bad())
            throw sim::DeviceError(source.string() + ": cannot be read");
        std::span<const uint8_t> got = std::span(chunk).first(size_t(in.gcount()));
        staged->Write(got);
        if (copied && !got.empty())
            copied(got);
    }
    return staged;
}

}  // namespace devkit
