// LocalAlloc and LocalFree, counted so that a boot's leaks and peak are known.
#include <malloc.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/host/call_faults.h"
#include "platform/host/heap_book.h"
#include "platform/host/internal.h"
#include "platform/host/sanitizer.h"

namespace ce_host {

namespace {

// The OS update's 43 MiB image buffer and its like: mapped in huge pages where the host has
// them, since touching them page by page costs more than the update's copying. Fresh mappings
// read as zeros, as a fresh block from the C heap does. Under AddressSanitizer every block stays
// on the C heap, where overruns are caught.
#ifdef QS_UNDER_ASAN
constexpr size_t kMappedBlockBytes = SIZE_MAX;
#else
constexpr size_t kMappedBlockBytes = size_t(4) << 20;
#endif

// The C heap keeps what a boot frees for the next: a sweep's thousands of boots in one process
// would otherwise map and touch fresh pages for every file buffer.
const bool kHeapKept = [] {
    mallopt(M_MMAP_THRESHOLD, 32 << 20);  // the most the C heap takes
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    return true;
}();

void *MapBlock(size_t bytes)
{
    void *block =
        ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED)
        return nullptr;
    ::madvise(block, bytes, MADV_HUGEPAGE);
    return block;
}

void Release(void *block, size_t bytes)
{
    if (bytes >= kMappedBlockBytes)
        ::munmap(block, bytes);
    else
        std::free(block);
}

}  // namespace

void *HeapLedger::Allocate(size_t bytes, bool zeroed, std::optional<uint64_t> limit)
{
    if (limit && bytes_ + bytes > *limit)
        return nullptr;
    // A request of 0 bytes still gives a distinct, valid block.
    void *block = bytes >= kMappedBlockBytes ? MapBlock(bytes)
                  : zeroed                   ? std::calloc(bytes ? bytes : 1, 1)
                                             : std::malloc(bytes ? bytes : 1);
    if (!block)
        return nullptr;
    blocks_[block] = bytes;
    bytes_ += bytes;
    if (bytes_ > peak_)
        peak_ = bytes_;
    return block;
}

bool HeapLedger::Free(void *block)
{
    auto found = blocks_.find(block);
    if (found == blocks_.end())
        return false;
    bytes_ -= found->second;
    Release(block, found->second);
    blocks_.erase(found);
    return true;
}

void HeapLedger::ReleaseAll()
{
    for (auto &[block, bytes] : blocks_)
        Release(block, bytes);
    blocks_.clear();
    bytes_ = 0;
    peak_ = 0;
}

std::vector<size_t> HeapLedger::BlockSizes() const
{
    std::vector<size_t> sizes;
    for (const auto &[block, bytes] : blocks_)
        sizes.push_back(bytes);
    return sizes;
}

HeapLedger &HeapBook()
{
    static HeapLedger ledger;
    return ledger;
}

}  // namespace ce_host

using namespace ce_host;

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes)
{
    FallibleCall fallible("LocalAlloc", std::to_string(uBytes) + " bytes");
    if (fallible.Fails())
        return nullptr;
    // Movable and discardable blocks have no place on the device's heap.
    if (uFlags & ~UINT(LMEM_FIXED | LMEM_ZEROINIT)) {
        AttachedDevice().Events().Misuse("LocalAlloc", "flags " + std::to_string(uFlags) +
                                                           ": only LMEM_FIXED and LMEM_ZEROINIT");
        return Fail<HLOCAL>(ERROR_INVALID_PARAMETER, nullptr);
    }
    void *block = HeapBook().Allocate(uBytes, (uFlags & LMEM_ZEROINIT) != 0,
                                      AttachedDevice().Config().heap.limitBytes);
    return block ? block : Fail<HLOCAL>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
}

HLOCAL LocalFree(HLOCAL hMem)
{
    if (!hMem)
        return nullptr;
    if (HeapBook().Free(hMem))
        return nullptr;
    AttachedDevice().Events().Misuse("LocalFree", "not a live heap block");
    return Fail<HLOCAL>(ERROR_INVALID_HANDLE, hMem);
}
