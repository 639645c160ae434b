// Writes that the device folder makes fail as on a full disk (files.fail_writes).
#pragma once

#include <optional>

#include "platform/ce.h"

namespace ce_host {

// For a write to a file named in files.fail_writes that would take it past its after_bytes: the
// bytes below that limit are written, the fault is journaled, and the answer is FALSE with the
// full-disk error. None for any other write, which goes on as usual.
std::optional<BOOL> WriteCutShort(HANDLE file, LPCVOID data, DWORD size, LPDWORD written);

}  // namespace ce_host
