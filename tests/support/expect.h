// Helpers that many areas' tests share: hex text, joined line lists, the "nothing held" check,
// whole logs kept as text files in tests/golden, device trees laid and read back, and the
// attached device's journal as text.
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/journal_text.h"

namespace qs_test {

using Lines = std::vector<std::string>;

// The end of the run of equal bytes that starts at `at`. It compares a block at a time, so that
// the unoptimised test code scans a 43 MiB image buffer at memory speed.
size_t RunEnd(const std::vector<uint8_t> &bytes, size_t at);

// The parts one after the other: lines, or bytes.
template <typename Item = std::string>
std::vector<Item> Join(std::initializer_list<std::vector<Item>> parts)
{
    std::vector<Item> all;
    for (const std::vector<Item> &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// No handle and no heap block still held on the attached device.
void ExpectNothingHeld();

// The log's entries against tests/golden/NAME.log, one entry a line: an entry's closing "\r\n"
// is not written, and an entry without one ends in "\c". A mismatch fails with a line diff.
// QS_UPDATE_GOLDEN=1 in the environment writes the file instead.
void ExpectGoldenLog(const Lines &entries, const std::string &name);

// The golden file's entries, as ExpectGoldenLog compares them.
Lines GoldenLog(const std::string &name);

// The entries under a device folder's root/, by device path ("\NAND\apps\a.dll"), spelt as a
// Tree; read back, a file of 1 MiB or more reads as Sparse(size).
using Entries = Tree;
extern const std::string kGone;  // in a list of changes: the entry and all below it are gone

void LayEntries(const std::filesystem::path &deviceFolder, const Entries &entries);
Entries ReadEntries(const std::filesystem::path &deviceFolder);
// before with the changes applied.
Entries Changed(Entries before, const Entries &changes);

// The words as little-endian bytes.
std::string Words(std::initializer_list<uint32_t> words);

// For ce_host::ScopedFailingCall: the k-th fallible call from now, none for 0.
std::optional<uint64_t> CallFromNow(uint64_t k);

}  // namespace qs_test
