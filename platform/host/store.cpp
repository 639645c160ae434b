// The storage manager's store of the flash disk and its partitions.
#include <algorithm>

#include "platform/host/internal.h"

namespace ce_host {

namespace {

const char *const kStoreName = "DSK1:";

void Journal(const char *call, const std::string &detail, bool ok)
{
    AttachedDevice().Events().Store(call, detail, ok);
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
    sim::Device &device = AttachedDevice();
    const sim::StoreConfig &store = device.Config().store;
    std::string name = ToUtf8(View(szDeviceName));
    if (!store.present || sim::FoldCase(name) != sim::FoldCase(kStoreName)) {
        Journal("OpenStore", name, false);
        return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    }
    if (device.StoreFaults().Hit({{}, "open", {}, {}})) {
        Journal("OpenStore", name, false);
        return Fail(ERROR_GEN_FAILURE, INVALID_HANDLE_VALUE);
    }
    Journal("OpenStore", name, true);
    return AddHandle(StoreObject{kStoreName});
}

HANDLE FindFirstPartition(HANDLE hStore, PPARTINFO pPartInfo)
{
    if (!FindHandleAs<StoreObject>(hStore))
        return Fail(ERROR_INVALID_HANDLE, INVALID_HANDLE_VALUE);
    if (!pPartInfo || pPartInfo->cbSize != sizeof(PARTINFO))
        return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    sim::Device &device = AttachedDevice();
    const std::vector<sim::PartitionConfig> &partitions = device.Config().store.partitions;
    if (partitions.empty() || device.StoreFaults().Hit({{}, "partition", {}, {}})) {
        Journal("FindFirstPartition", "", false);
        return Fail(partitions.empty() ? ERROR_NO_MORE_ITEMS : ERROR_GEN_FAILURE,
                    INVALID_HANDLE_VALUE);
    }
    const sim::PartitionConfig &first = partitions.front();
    DWORD size = pPartInfo->cbSize;
    *pPartInfo = PARTINFO{};
    pPartInfo->cbSize = size;
    CopyName(first.name, pPartInfo->szPartitionName, PARTITIONNAMESIZE);
    CopyName(first.fileSystem, pPartInfo->szFileSys, FILESYSNAMESIZE);
    pPartInfo->snNumSectors = first.sectors;
    Journal("FindFirstPartition", first.name, true);
    return AddHandle(PartitionSearchObject{1});
}

BOOL FindClosePartition(HANDLE hSearch)
{
    HandleObject taken;
    if (!FindHandleAs<PartitionSearchObject>(hSearch) || !TakeHandle(hSearch, taken))
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    Journal("FindClosePartition", "", true);
    return TRUE;
}
