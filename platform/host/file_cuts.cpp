#include "platform/host/file_cuts.h"

#include <map>
#include <string_view>

#include "platform/host/call_faults.h"
#include "platform/host/internal.h"

namespace ce_host {

namespace {

std::optional<FileCutPlan> g_plan;
std::set<uint64_t> g_changeHookAt;
std::function<void(uint64_t)> g_changeHook;
std::vector<FileChangeRecord> g_changes;
int g_copies = 0;  // copies in progress: their changes are the copy's

// The program's call that makes each kind of change outside a copy.
const char *CallOf(std::string_view change)
{
    static const std::map<std::string_view, const char *> calls = {
        {"write", "WriteFile"},
        {"create", "CreateFileW"},
        {"empty", "CreateFileW"},
        {"move", "MoveFileW"},
        {"delete", "DeleteFileW"},
        {"attributes", "SetFileAttributesW"},
        {"make folder", "CreateDirectoryW"},
        {"remove folder", "RemoveDirectoryW"},
    };
    auto found = calls.find(change);
    return found == calls.end() ? "?" : found->second;
}

uint64_t FlashOperationsSoFar()
{
    auto *flash = dynamic_cast<sim::FlashDriver *>(AttachedDevice().InstalledDriver("DSK1:"));
    return flash ? flash->Operations().size() : 0;
}

// splitmix64: a well-spread value from two numbers, the same on every host.
uint64_t Mix(uint64_t value)
{
    value += 0x9E3779B97F4A7C15ull;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

}  // namespace

std::string DescribeFileChange(const FileChangeRecord &record)
{
    std::string text = record.change;
    if (record.change == "write")
        text += " of " + std::to_string(record.bytes) + " bytes at byte " +
                std::to_string(record.offset);
    return text + " of " + record.target + " (" + record.call + ")";
}

void SetFileChangeHook(std::set<uint64_t> numbers, std::function<void(uint64_t n)> hook)
{
    g_changeHookAt = std::move(numbers);
    g_changeHook = std::move(hook);
}

void PlanFileCut(std::optional<FileCutPlan> plan)
{
    g_plan = plan;
}

const std::vector<FileChangeRecord> &FileChanges()
{
    return g_changes;
}

void ResetFileChanges()
{
    g_changes.clear();
    g_copies = 0;
}

uint64_t TornLength(uint64_t bytes, uint64_t change, uint64_t seed)
{
    if (bytes < 2)
        return 0;
    return 1 + Mix(Mix(seed) ^ change) % (bytes - 1);
}

FilePowerCut::FilePowerCut(uint64_t change, const FileChangeRecord &record,
                           sim::PowerCutOutcome outcome, uint64_t landed)
    : std::runtime_error("the power was cut at file change " + std::to_string(change) + ", " +
                         sim::PowerCutOutcomeName(outcome) + " " + DescribeFileChange(record) +
                         (outcome == sim::PowerCutOutcome::Torn
                              ? ", " + std::to_string(landed) + " bytes landed"
                              : "")),
      change(change),
      record(record),
      outcome(outcome),
      landed(landed)
{
}

FileChange::FileChange(const char *change, std::string target, uint64_t offset, uint64_t bytes)
{
    record_ = g_changes.size();
    g_changes.push_back({g_copies > 0 ? "CopyFileExW" : CallOf(change), change, std::move(target),
                         offset, bytes, FlashOperationsSoFar(), FallibleCalls().size()});
    if (g_changeHook && g_changeHookAt.contains(g_changes.size()))
        g_changeHook(g_changes.size());
    if (!g_plan || g_plan->change != g_changes.size())
        return;
    // A change that cannot land in part is cut before it instead.
    cut_ = g_plan->outcome == sim::PowerCutOutcome::Torn && !g_changes[record_].Tearable()
               ? sim::PowerCutOutcome::NotDone
               : g_plan->outcome;
    if (cut_ == sim::PowerCutOutcome::NotDone)
        Done();
}

uint64_t FileChange::Landing() const
{
    const FileChangeRecord &record = g_changes[record_];
    if (cut_ == sim::PowerCutOutcome::Torn)
        return TornLength(record.bytes, record_ + 1, g_plan->seed);
    return record.bytes;
}

void FileChange::Done()
{
    if (!cut_)
        return;
    const FileChangeRecord &record = g_changes[record_];
    const uint64_t landed = *cut_ == sim::PowerCutOutcome::NotDone ? 0 : Landing();
    AttachedDevice().Events().FilePowerCut(record_ + 1, record.call, record.change, record.target,
                                           sim::PowerCutOutcomeName(*cut_), landed);
    throw FilePowerCut(record_ + 1, record, *cut_, landed);
}

CopyChanges::CopyChanges()
{
    ++g_copies;
}

CopyChanges::~CopyChanges()
{
    --g_copies;
}

}  // namespace ce_host
