// Power cuts at the changes a boot makes to the device's files: each write, creation or emptying
// of a file, move, deletion, attribute change and folder made or removed is a point where the
// power can go, numbered from 1 in the order the program makes them. A copy's destination and each
// of its chunk writes are points of their own.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/flash_driver.h"

namespace ce_host {

// One change of the device's files in the boot attached now (or the last one).
struct FileChangeRecord {
    std::string call;     // the program's call: "WriteFile", "CopyFileExW", "MoveFileW", ...
    std::string change;   // "write", "create", "empty", "move", "delete", "attributes",
                          // "make folder", "remove folder"
    std::string target;   // a device path; "from -> to" for a move
    uint64_t offset = 0;  // a write's place in its file
    uint64_t bytes = 0;   // and its length
    // The flash's erases and programs that the boot made before it: where it falls among them.
    uint64_t flashOperationsBefore = 0;
    // The fallible call (ce_host::FallibleCalls) that made it, from 1.
    uint64_t fallibleCall = 0;
    // Only a write can land in part, and only with two bytes or more.
    bool Tearable() const { return change == "write" && bytes >= 2; }
};

// "write of 65536 bytes at byte 0 of \NAND\apps\a.dll (CopyFileExW)"
std::string DescribeFileChange(const FileChangeRecord &record);

// The power goes at the change-th file change (from 1) of every boot from now on, until set
// again. A torn write lands a prefix whose length the seed and the change's number choose.
struct FileCutPlan {
    uint64_t change = 0;
    sim::PowerCutOutcome outcome = sim::PowerCutOutcome::NotDone;
    uint64_t seed = 1;
};
void PlanFileCut(std::optional<FileCutPlan> plan);
// Called as each of the numbered file changes begins, before a planned cut is looked for: a power
// sweep forks there, and its child plans the cut. It lasts until it is set again; an empty hook
// calls nothing.
void SetFileChangeHook(std::set<uint64_t> numbers, std::function<void(uint64_t n)> hook);

// The file changes made since Attach, in order; Attach starts them afresh.
const std::vector<FileChangeRecord> &FileChanges();
void ResetFileChanges();

// The bytes of a torn write of `bytes` that land: from 1 to bytes - 1, the same for the same
// change and seed in every boot.
uint64_t TornLength(uint64_t bytes, uint64_t change, uint64_t seed);

// The power went at a file change: the boot ends at once, what reached the files stays.
class FilePowerCut : public std::runtime_error {
public:
    FilePowerCut(uint64_t change, const FileChangeRecord &record, sim::PowerCutOutcome outcome,
                 uint64_t landed);
    uint64_t change;
    FileChangeRecord record;
    sim::PowerCutOutcome outcome;
    uint64_t landed;  // a torn write's bytes that reached the file
};

// Placed in a file call after its checks, just before it changes anything: counts the change
// and, at the planned point, cuts the power before it (not done) or when Done is called
// (completed, torn).
class FileChange {
public:
    FileChange(const char *change, std::string target, uint64_t offset = 0, uint64_t bytes = 0);
    FileChange(const FileChange &) = delete;
    FileChange &operator=(const FileChange &) = delete;

    // The bytes of the write to make: all of them, or the prefix that a torn cut lets land.
    uint64_t Landing() const;
    // The change is made: the power goes now when this is the point planned.
    void Done();

private:
    size_t record_ = 0;
    std::optional<sim::PowerCutOutcome> cut_;  // how the power goes here, when it does
};

// While a copy runs, the changes it makes (its destination, its chunk writes) carry its name.
class CopyChanges {
public:
    CopyChanges();
    ~CopyChanges();
    CopyChanges(const CopyChanges &) = delete;
    CopyChanges &operator=(const CopyChanges &) = delete;
};

}  // namespace ce_host
