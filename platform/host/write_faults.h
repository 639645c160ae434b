// Writes that the device folder makes fail as on a full disk (files.fail_writes), and reads it
// cuts short (files.short_reads).
#pragma once

#include <optional>

#include "platform/ce.h"
#include "platform/host/internal.h"

namespace ce_host {

// For a write to a file named in files.fail_writes that would take it past its after_bytes: the
// bytes below that limit are written, the fault is journaled, and the answer is FALSE with the
// full-disk error. None for any other write, which goes on as usual.
std::optional<BOOL> WriteCutShort(HANDLE file, LPCVOID data, DWORD size, LPDWORD written);

// How many of `size` bytes a read at the file's position may deliver: fewer for a file named in
// files.short_reads whose read would pass its after_bytes (the cut is journaled), else all.
DWORD ReadCutShort(const FileObject &file, DWORD size);

}  // namespace ce_host
