// A fault for the n-th fallible call of a boot: that call fails with the device's answer and does
// none of its work, every other call is untouched, and the numbering leaves out what the layer
// does inside a call but counts what the program does in a copy's progress routine.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <set>

#include "platform/ce.h"
#include "platform/host/call_faults.h"
#include "platform/host/host.h"
#include "tests/support/temp_device.h"

namespace call_fault_test {
namespace {

using nlohmann::json;

constexpr DWORD kGetBootKeyStatus = 565;
constexpr DWORD kDiskFull = 112;

// What one step of the program saw: its result and the last error; a byte count where the call
// has one (set to 99 before the call, so that a call that leaves it alone shows).
struct Outcome {
    bool ok = false;
    DWORD error = 0;
    DWORD count = 99;
    bool operator==(const Outcome &) const = default;
};

struct Handles {
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE search = INVALID_HANDLE_VALUE;
    HANDLE power = INVALID_HANDLE_VALUE;
    HANDLE store = INVALID_HANDLE_VALUE;
    HANDLE partition = INVALID_HANDLE_VALUE;
};

struct Step {
    const char *call;        // the fallible call it makes, or null for a close (never counted)
    std::vector<int> after;  // the steps (from 1) whose handle or work its answer depends on
    std::function<Outcome(Handles &)> run;
};

Outcome Result(bool ok, DWORD count = 99)
{
    return {ok, ok ? 0u : GetLastError(), count};
}

Outcome Closed(bool ok)
{
    return Result(ok);
}

// One of every fallible call, each on its own entry so that a failure changes only what depends
// on its own handle. The copy moves two chunks, so its own reads and writes would show if counted.
std::vector<Step> Program()
{
    return {
        {"CreateFileW",
         {},
         [](Handles &h) {
             h.file = CreateFileW(u"\\work\\a.txt", GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                  CREATE_ALWAYS, 0, NULL);
             return Result(h.file != INVALID_HANDLE_VALUE);
         }},
        {"WriteFile",
         {1},
         [](Handles &h) {
             DWORD written = 99;
             return Result(WriteFile(h.file, "hello", 5, &written, NULL), written);
         }},
        {"SetFilePointer",
         {1},
         [](Handles &h) {
             return Result(SetFilePointer(h.file, 0, NULL, FILE_BEGIN) != INVALID_SET_FILE_POINTER);
         }},
        {"ReadFile",
         {1, 2, 3},
         [](Handles &h) {
             char buffer[8];
             DWORD read = 99;
             return Result(ReadFile(h.file, buffer, sizeof buffer, &read, NULL), read);
         }},
        {"GetFileSize",
         {1, 2},
         [](Handles &h) {
             DWORD size = GetFileSize(h.file, NULL);
             return Result(size != INVALID_FILE_SIZE, size);
         }},
        {nullptr, {1}, [](Handles &h) { return Closed(CloseHandle(h.file)); }},
        {"FindFirstFileW",
         {},
         [](Handles &h) {
             WIN32_FIND_DATAW data;
             h.search = FindFirstFileW(u"\\work\\*.*", &data);
             return Result(h.search != INVALID_HANDLE_VALUE);
         }},
        {"FindNextFileW",
         {7},
         [](Handles &h) {
             WIN32_FIND_DATAW data;
             return Result(FindNextFileW(h.search, &data));
         }},
        {nullptr, {7}, [](Handles &h) { return Closed(FindClose(h.search)); }},
        {"CreateDirectoryW",
         {},
         [](Handles &) { return Result(CreateDirectoryW(u"\\work\\sub", NULL)); }},
        {"CopyFileExW",
         {},
         [](Handles &) {
             return Result(
                 CopyFileExW(u"\\work\\big.bin", u"\\work\\copy.bin", NULL, NULL, NULL, 0));
         }},
        {"MoveFileW",
         {},
         [](Handles &) { return Result(MoveFileW(u"\\work\\move.txt", u"\\work\\moved.txt")); }},
        {"SetFileAttributesW",
         {},
         [](Handles &) {
             return Result(SetFileAttributesW(u"\\work\\attr.txt", FILE_ATTRIBUTE_READONLY));
         }},
        {"DeleteFileW", {}, [](Handles &) { return Result(DeleteFileW(u"\\work\\gone.txt")); }},
        {"RemoveDirectoryW",
         {},
         [](Handles &) { return Result(RemoveDirectoryW(u"\\work\\empty")); }},
        {"CreateFileW",
         {},
         [](Handles &h) {
             h.power = CreateFileW(u"PWR1:", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                   0, NULL);
             return Result(h.power != INVALID_HANDLE_VALUE);
         }},
        {"DeviceIoControl",
         {16},
         [](Handles &h) {
             BYTE key = 0;
             DWORD returned = 99;
             return Result(DeviceIoControl(h.power, kGetBootKeyStatus, NULL, 0, &key, sizeof key,
                                           &returned, NULL),
                           returned);
         }},
        {nullptr, {16}, [](Handles &h) { return Closed(CloseHandle(h.power)); }},
        {"OpenStore",
         {},
         [](Handles &h) {
             h.store = OpenStore(u"DSK1:");
             return Result(h.store != INVALID_HANDLE_VALUE);
         }},
        {"FindFirstPartition",
         {19},
         [](Handles &h) {
             PARTINFO info{};
             info.cbSize = sizeof info;
             h.partition = FindFirstPartition(h.store, &info);
             return Result(h.partition != INVALID_HANDLE_VALUE);
         }},
        {"FindClosePartition",
         {20},
         [](Handles &h) { return Result(FindClosePartition(h.partition)); }},
        {nullptr, {19}, [](Handles &h) { return Closed(CloseHandle(h.store)); }},
        {"CreateProcessW",
         {},
         [](Handles &) {
             STARTUPINFOW startup{};
             startup.cb = sizeof startup;
             PROCESS_INFORMATION process{};
             BOOL ok = CreateProcessW(u"\\windows\\prog.exe", NULL, NULL, NULL, FALSE, 0, NULL,
                                      NULL, &startup, &process);
             Outcome outcome = Result(ok);
             if (ok)
                 CloseHandle(process.hThread), CloseHandle(process.hProcess);
             return outcome;
         }},
        {"PlaySoundW",
         {},
         [](Handles &) { return Result(PlaySoundW(u"\\windows\\cue.wav", NULL, 0)); }},
        {"LocalAlloc",
         {},
         [](Handles &) {
             HLOCAL block = LocalAlloc(LMEM_FIXED, 64);
             LocalFree(block);
             return Result(block != NULL);
         }},
    };
}

// The entries the program works on, laid on disk directly.
void Prepare(qs_test::TempDevice &device)
{
    device.PutFile("\\work\\big.bin", std::string(100000, 'b'));
    device.PutFile("\\work\\move.txt", "move");
    device.PutFile("\\work\\attr.txt", "attr");
    device.PutFile("\\work\\gone.txt", "gone");
    device.PutFolder("\\work\\empty");
    device.PutFile("\\windows\\prog.exe", "program");
    device.PutFile("\\windows\\cue.wav", qs_test::Wave(20));
}

// Every file's path and content, and the journal's length.
struct Evidence {
    std::map<std::string, std::string> files;
    size_t events = 0;
};

Evidence Gather(qs_test::TempDevice &device)
{
    Evidence evidence;
    for (const std::string &entry : device.Tree()) {
        std::filesystem::path host = device.folder() / "root" / entry;
        std::ifstream in(host, std::ios::binary);
        evidence.files[entry] = std::filesystem::is_directory(host)
                                    ? "<folder>"
                                    : std::string(std::istreambuf_iterator<char>(in), {});
    }
    evidence.events = device.device().Events().Events().size();
    return evidence;
}

struct ProgramRun {
    std::vector<Outcome> outcomes;  // one per step
    std::vector<std::string> counted;
    Evidence before, after;  // around the step that was made to fail
    std::vector<nlohmann::ordered_json> faults;
};

ProgramRun RunProgram(std::optional<uint64_t> failing, size_t failingStep)
{
    qs_test::TempDevice device;
    Prepare(device);
    ce_host::ScopedFailingCall fault(failing);
    ProgramRun run;
    Handles handles;
    std::vector<Step> steps = Program();
    for (size_t i = 0; i < steps.size(); ++i) {
        SetLastError(0);
        if (i == failingStep)
            run.before = Gather(device);
        run.outcomes.push_back(steps[i].run(handles));
        if (i == failingStep)
            run.after = Gather(device);
    }
    for (const ce_host::FallibleCallRecord &call : ce_host::FallibleCalls())
        run.counted.push_back(call.call);
    run.faults = device.EventsOf("fault");
    return run;
}

struct FaultRow {
    uint64_t n;
    const char *call;
    DWORD error;
};

void PrintTo(const FaultRow &row, std::ostream *out)
{
    *out << row.call << " #" << row.n;
}

// The steps whose answers depend, at any remove, on the one given.
std::set<size_t> DependentsOf(const std::vector<Step> &steps, size_t step)
{
    std::set<size_t> dependents{step};
    for (size_t i = step + 1; i < steps.size(); ++i)
        for (int on : steps[i].after)
            if (dependents.count(size_t(on - 1)))
                dependents.insert(i);
    return dependents;
}

// The step of the program that makes the n-th fallible call.
size_t StepOf(const std::vector<Step> &steps, uint64_t n)
{
    uint64_t seen = 0;
    for (size_t i = 0; i < steps.size(); ++i)
        if (steps[i].call && ++seen == n)
            return i;
    return steps.size();
}

class CallFaultTable : public testing::TestWithParam<FaultRow> {};

TEST_P(CallFaultTable, FailsThatCallAloneWithTheDevicesAnswer)
{
    const FaultRow &row = GetParam();
    std::vector<Step> steps = Program();
    size_t failing = StepOf(steps, row.n);
    ASSERT_LT(failing, steps.size());
    ASSERT_STREQ(steps[failing].call, row.call);

    ProgramRun clean = RunProgram(std::nullopt, failing);
    ProgramRun faulted = RunProgram(row.n, failing);

    // The chosen call fails with its code and leaves its byte count at 0, where it has one.
    Outcome expected{false, row.error, clean.outcomes[failing].count == 99 ? 99u : 0u};
    if (std::string(row.call) == "GetFileSize")
        expected.count = INVALID_FILE_SIZE;
    EXPECT_EQ(faulted.outcomes[failing], expected);
    EXPECT_TRUE(clean.outcomes[failing].ok);

    // It did none of its work: the files are as they were, and the journal took the fault alone.
    EXPECT_EQ(faulted.after.files, faulted.before.files);
    EXPECT_EQ(faulted.after.events, faulted.before.events + 1);
    ASSERT_EQ(faulted.faults.size(), 1u);
    EXPECT_EQ(faulted.faults[0]["device"], "calls");
    EXPECT_EQ(faulted.faults[0]["what"], std::string(row.call) + " #" + std::to_string(row.n));
    EXPECT_TRUE(clean.faults.empty());

    // Every other step answers as in the clean run, but for those that depend on the failed one;
    // the numbering is the same in both runs.
    std::set<size_t> dependents = DependentsOf(steps, failing);
    for (size_t i = 0; i < steps.size(); ++i) {
        if (dependents.count(i))
            continue;
        EXPECT_EQ(faulted.outcomes[i], clean.outcomes[i]) << "step " << i + 1;
    }
    EXPECT_EQ(faulted.counted, clean.counted);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CallFaultTable,
    testing::Values(
        FaultRow{1, "CreateFileW", ERROR_SHARING_VIOLATION}, FaultRow{2, "WriteFile", kDiskFull},
        FaultRow{3, "SetFilePointer", 31}, FaultRow{4, "ReadFile", 31},
        FaultRow{5, "GetFileSize", 31}, FaultRow{6, "FindFirstFileW", 31},
        FaultRow{7, "FindNextFileW", 31}, FaultRow{8, "CreateDirectoryW", kDiskFull},
        FaultRow{9, "CopyFileExW", kDiskFull}, FaultRow{10, "MoveFileW", ERROR_SHARING_VIOLATION},
        FaultRow{11, "SetFileAttributesW", 31},
        FaultRow{12, "DeleteFileW", ERROR_SHARING_VIOLATION},
        FaultRow{13, "RemoveDirectoryW", ERROR_SHARING_VIOLATION}, FaultRow{14, "CreateFileW", 31},
        FaultRow{15, "DeviceIoControl", 31}, FaultRow{16, "OpenStore", 31},
        FaultRow{17, "FindFirstPartition", 31}, FaultRow{18, "FindClosePartition", 31},
        FaultRow{19, "CreateProcessW", ERROR_NOT_ENOUGH_MEMORY}, FaultRow{20, "PlaySoundW", 31},
        FaultRow{21, "LocalAlloc", ERROR_NOT_ENOUGH_MEMORY}),
    [](const testing::TestParamInfo<FaultRow> &info) {
        return std::string(info.param.call) + "_" + std::to_string(info.param.n);
    });

TEST(CallFaults, CountsEveryCallOfTheProgramInItsOrder)
{
    ProgramRun clean = RunProgram(std::nullopt, 0);
    std::vector<std::string> expected;
    for (const Step &step : Program())
        if (step.call)
            expected.push_back(step.call);
    EXPECT_EQ(clean.counted, expected);
    EXPECT_EQ(clean.counted.size(), 21u);
    for (const Outcome &outcome : clean.outcomes)
        EXPECT_TRUE(outcome.ok);
}

TEST(CallFaults, APastTheLastCallFailsNothing)
{
    ProgramRun run = RunProgram(22, 0);
    EXPECT_TRUE(run.faults.empty());
    for (const Outcome &outcome : run.outcomes)
        EXPECT_TRUE(outcome.ok);
}

// A partition search is gone after its close whatever the answer, as with the store's own close
// fault, so a program that cannot retry holds nothing.
TEST(CallFaults, AFailedPartitionCloseStillEndsTheSearch)
{
    ProgramRun run = RunProgram(18, StepOf(Program(), 18));
    EXPECT_EQ(run.outcomes[StepOf(Program(), 18)], (Outcome{false, 31, 99}));
    EXPECT_EQ(ce_host::Held().handles, 0u);
}

// The targets say what each call acted on; a control code shows its driver, name and a short
// input.
TEST(CallFaults, RecordsWhatEachCallActedOn)
{
    qs_test::TempDevice device;
    device.PutFolder("\\work");
    HANDLE file = CreateFileW(u"\\work\\t.txt", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written = 0;
    WriteFile(file, "x", 1, &written, NULL);
    CloseHandle(file);
    HANDLE power =
        CreateFileW(u"PWR1:", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    DWORD mode = 0, returned = 0;
    DeviceIoControl(power, 1045, &mode, sizeof mode, NULL, 0, &returned, NULL);
    CloseHandle(power);
    std::vector<std::string> seen;
    for (const ce_host::FallibleCallRecord &call : ce_host::FallibleCalls())
        seen.push_back(call.call + " " + call.target);
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "CreateFileW \\work\\t.txt", "WriteFile \\work\\t.txt",
                        "CreateFileW PWR1:", "DeviceIoControl PWR1: SET_OS_UPDATE_MODE 00000000"}));
    // The control code's journal event is the call's own.
    const ce_host::FallibleCallRecord &control = ce_host::FallibleCalls().back();
    ASSERT_EQ(control.endEvent, control.firstEvent + 1);
    EXPECT_EQ(device.device().Events().Events()[control.firstEvent]["event"], "ioctl");
}

struct ProgressCounter {
    int allocations = 0;
};

DWORD AllocatingProgress(LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD,
                         HANDLE, HANDLE, LPVOID data)
{
    HLOCAL block = LocalAlloc(LMEM_FIXED, 16);
    static_cast<ProgressCounter *>(data)->allocations += block != NULL;
    LocalFree(block);
    return PROGRESS_CONTINUE;
}

// What the program does in a copy's progress routine is its own and counts; the copy's reads and
// writes are the layer's and do not. A fault there fails the routine's call, not the copy.
TEST(CallFaults, CountsTheCallsOfAProgressRoutine)
{
    qs_test::TempDevice device;
    device.PutFile("\\work\\big.bin", std::string(3 * 65536, 'b'));
    ce_host::ScopedFailingCall fault(3);
    ProgressCounter counter;
    EXPECT_TRUE(CopyFileExW(u"\\work\\big.bin", u"\\work\\copy.bin", AllocatingProgress, &counter,
                            NULL, 0));
    std::vector<std::string> counted;
    for (const ce_host::FallibleCallRecord &call : ce_host::FallibleCalls())
        counted.push_back(call.call);
    // Reports at 0 bytes and after each of the three chunks.
    EXPECT_EQ(counted, (std::vector<std::string>{"CopyFileExW", "LocalAlloc", "LocalAlloc",
                                                 "LocalAlloc", "LocalAlloc"}));
    EXPECT_EQ(counter.allocations, 3);
    EXPECT_EQ(device.ReadFile("\\work\\copy.bin").size(), 3u * 65536);
    auto faults = device.EventsOf("fault");
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0]["what"], "LocalAlloc #3");
}

}  // namespace
}  // namespace call_fault_test
