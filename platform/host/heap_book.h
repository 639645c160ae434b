// The heap blocks that the device's program holds, and the most it held at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace ce_host {

class HeapLedger {
public:
    // Null when the limit would be passed or the host has no memory.
    void *Allocate(size_t bytes, bool zeroed, std::optional<uint64_t> limit);
    bool Free(void *block);
    void ReleaseAll();

    size_t Blocks() const { return blocks_.size(); }
    uint64_t Bytes() const { return bytes_; }
    uint64_t PeakBytes() const { return peak_; }
    std::vector<size_t> BlockSizes() const;

private:
    std::map<void *, size_t> blocks_;
    uint64_t bytes_ = 0;
    uint64_t peak_ = 0;
};

HeapLedger &HeapBook();

}  // namespace ce_host
