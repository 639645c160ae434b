// LocalAlloc and LocalFree, counted so that a boot's leaks and peak are known.
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/host/call_faults.h"
#include "platform/host/heap_book.h"
#include "platform/host/internal.h"

namespace ce_host {

void *HeapLedger::Allocate(size_t bytes, bool zeroed, std::optional<uint64_t> limit)
{
    if (limit && bytes_ + bytes > *limit)
        return nullptr;
    // A request of 0 bytes still gives a distinct, valid block.
    void *block = zeroed ? std::calloc(bytes ? bytes : 1, 1) : std::malloc(bytes ? bytes : 1);
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
    blocks_.erase(found);
    std::free(block);
    return true;
}

void HeapLedger::ReleaseAll()
{
    for (auto &[block, bytes] : blocks_)
        std::free(block);
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
