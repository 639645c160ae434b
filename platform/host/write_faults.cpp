#include "platform/host/write_faults.h"

#include <cerrno>

#include "platform/host/file_meta.h"

namespace ce_host {

namespace {

// The first of the faults that names the file.
const sim::AfterBytesFault *FaultOf(const std::vector<sim::AfterBytesFault> &faults,
                                    const FileObject &file)
{
    std::string key = sim::FoldCase(file.devicePath);
    for (const sim::AfterBytesFault &fault : faults)
        if (ConfiguredPathKey(fault.path) == key)
            return &fault;
    return nullptr;
}

}  // namespace

DWORD ReadCutShort(const FileObject &file, DWORD size)
{
    const sim::ShortRead *fault = FaultOf(AttachedDevice().Config().files.shortReads, file);
    if (!fault || file.position + size <= fault->afterBytes)
        return size;
    AttachedDevice().Events().Fault(
        "files", "read of " + fault->path + " ended at byte " + std::to_string(fault->afterBytes));
    return file.position < fault->afterBytes ? DWORD(fault->afterBytes - file.position) : 0;
}

std::optional<BOOL> WriteCutShort(HANDLE file, LPCVOID data, DWORD size, LPDWORD written)
{
    const FileObject *object = FindHandleAs<FileObject>(file);
    const sim::FailWrite *fault =
        object ? FaultOf(AttachedDevice().Config().files.failWrites, *object) : nullptr;
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
