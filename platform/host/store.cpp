// The storage manager's store of the flash disk and its partitions.
#include <algorithm>

#include "platform/host/call_faults.h"
#include "platform/host/internal.h"

namespace ce_host {

namespace {

const char *const kStoreName = "DSK1:";

void Journal(const char *call, const std::string &detail)
{
    AttachedDevice().Events().Store(call, detail, true);
}

// A refused call, journaled with the last error it leaves.
template <typename T>
T RefuseStoreCall(const char *call, const std::string &detail, DWORD error, T result)
{
    AttachedDevice().Events().Store(call, detail, false, error);
    return Fail(error, result);
}

bool StoreFaultFires(const char *op)
{
    return AttachedDevice().StoreFaults().Hit({{}, op, {}, {}});
}

void CopyName(const std::string &from, WCHAR *to, size_t capacity)
{
    std::u16string wide = FromUtf8(from);
    size_t n = std::min(wide.size(), capacity - 1);
    std::copy_n(wide.begin(), n, to);
    to[n] = 0;
}

}  // namespace

}  // namespace ce_host

using namespace ce_host;

HANDLE OpenStore(LPCWSTR szDeviceName)
{
    const char *call = "OpenStore";
    FallibleCall fallible(call, ToUtf8(View(szDeviceName)));
    if (fallible.Fails())
        return INVALID_HANDLE_VALUE;
    sim::Device &device = AttachedDevice();
    std::string name = ToUtf8(View(szDeviceName));
    if (sim::FoldCase(name) != sim::FoldCase(kStoreName))
        return RefuseStoreCall(call, name, ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    // The store is the flash disk's: without the disk's driver there is none.
    if (!device.FindDriver(kStoreName) || !device.Config().store.present)
        return RefuseStoreCall(call, name, ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    if (StoreFaultFires("open"))
        return RefuseStoreCall(call, name, ERROR_GEN_FAILURE, INVALID_HANDLE_VALUE);
    Journal(call, name);
    return AddHandle(StoreObject{kStoreName});
}

HANDLE FindFirstPartition(HANDLE hStore, PPARTINFO pPartInfo)
{
    const char *call = "FindFirstPartition";
    FallibleCall fallible(call, "");
    if (fallible.Fails())
        return INVALID_HANDLE_VALUE;
    if (!FindHandleAs<StoreObject>(hStore))
        return RefuseStoreCall(call, "", ERROR_INVALID_HANDLE, INVALID_HANDLE_VALUE);
    if (!pPartInfo || pPartInfo->cbSize != sizeof(PARTINFO))
        return RefuseStoreCall(call, "", ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    const std::vector<sim::PartitionConfig> &partitions =
        AttachedDevice().Config().store.partitions;
    if (partitions.empty())
        return RefuseStoreCall(call, "", ERROR_NO_MORE_ITEMS, INVALID_HANDLE_VALUE);
    if (StoreFaultFires("partition"))
        return RefuseStoreCall(call, "", ERROR_GEN_FAILURE, INVALID_HANDLE_VALUE);
    // The search is never continued: a second partition is never seen.
    const sim::PartitionConfig &first = partitions.front();
    *pPartInfo = PARTINFO{};
    pPartInfo->cbSize = sizeof(PARTINFO);
    CopyName(first.name, pPartInfo->szPartitionName, PARTITIONNAMESIZE);
    CopyName(first.fileSystem, pPartInfo->szFileSys, FILESYSNAMESIZE);
    pPartInfo->snNumSectors = first.sectors;
    Journal(call, first.name);
    return AddHandle(PartitionSearchObject{1});
}

BOOL FindClosePartition(HANDLE hSearch)
{
    const char *call = "FindClosePartition";
    FallibleCall fallible(call, "");
    HandleObject taken;
    if (!FindHandleAs<PartitionSearchObject>(hSearch) || !TakeHandle(hSearch, taken))
        return RefuseStoreCall(call, "", ERROR_INVALID_HANDLE, FALSE);
    if (fallible.Fails())
        return FALSE;
    // The search is gone either way, so a caller that ignores the answer holds nothing after it.
    if (StoreFaultFires("close"))
        return RefuseStoreCall(call, "", ERROR_GEN_FAILURE, FALSE);
    Journal(call, "");
    return TRUE;
}
