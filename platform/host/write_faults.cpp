#include "platform/host/write_faults.h"

#include <cerrno>

#include "platform/host/file_meta.h"

namespace ce_host {

namespace {

const sim::FailWrite *FailWriteOf(const FileObject &file)
{
    std::string key = sim::FoldCase(file.devicePath);
    for (const sim::FailWrite &fault : AttachedDevice().Config().files.failWrites)
        if (ConfiguredPathKey(fault.path) == key)
            return &fault;
    return nullptr;
}

}  // namespace

DWORD ReadCutShort(const FileObject &file, DWORD size)
{
    std::string key = sim::FoldCase(file.devicePath);
    for (const sim::ShortRead &fault : AttachedDevice().Config().files.shortReads) {
        if (ConfiguredPathKey(fault.path) != key || file.position + size <= fault.afterBytes)
            continue;
        AttachedDevice().Events().Fault("files", "read of " + fault.path + " ended at byte " +
                                                     std::to_string(fault.afterBytes));
        return file.position < fault.afterBytes ? DWORD(fault.afterBytes - file.position) : 0;
    }
    return size;
}

std::optional<BOOL> WriteCutShort(HANDLE file, LPCVOID data, DWORD size, LPDWORD written)
{
    const FileObject *object = FindHandleAs<FileObject>(file);
    const sim::FailWrite *fault = object ? FailWriteOf(*object) : nullptr;
    if (!fault || object->position + size <= fault->afterBytes)
        return std::nullopt;
    uint64_t room = object->position < fault->afterBytes ? fault->afterBytes - object->position : 0;
    // The bytes that fit go through the ordinary write, which cannot reach the limit again.
    if (room > 0 && !WriteFile(file, data, DWORD(room), written, NULL))
        return FALSE;
    AttachedDevice().Events().Fault("files", "write to " + fault->path + " failed past byte " +
                                                 std::to_string(fault->afterBytes));
    return Fail(ErrorFromErrno(ENOSPC), FALSE);
}

}  // namespace ce_host
