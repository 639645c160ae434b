// A file copied into a StagedFile a chunk at a time, so that an image of tens of MiB never sits in
// memory whole.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>

#include "devkit/staged_file.h"

namespace devkit {

constexpr size_t kCopyChunk = 1 << 20;

// Sees each chunk as it is copied; every chunk but the last holds kCopyChunk bytes.
using CopiedChunk = std::function<void(std::span<const uint8_t>)>;

// Streams source into a staged file at destination, left for the caller to commit. Throws
// sim::DeviceError with one line.
std::unique_ptr<StagedFile> StageCopy(const std::filesystem::path &source,
                                      const std::filesystem::path &destination,
                                      const CopiedChunk &copied = {});

}  // namespace devkit
