// A fault for the n-th fallible call of a boot: that call fails with the device's answer and does
// none of its work, every other call is untouched, and the numbering leaves out what the layer
// does inside a call but counts what the program does in a copy's progress routine. A lasting
// fault fails its place again, in the boots that follow too.
#include "platform/host/call_faults.h"
#include "platform/host/host.h"
#include "tests/platform/script.h"
#include "tests/support/expect.h"

namespace call_fault_test {
namespace {

using platform_script::Script;
using platform_script::World;

// One of every fallible call, each on its own entry so that a failure changes only what depends
// on its own handle; closes and frees are never counted.
const char kProgram[] =
    "hold /n.txt rw always; write hello; seek 0; read 8; size; close; find /dir/b*; mkdir /sub; "
    "copy /d/cue.wav /c.wav; move /d/g.txt /m.txt; attr /d/f.txt r; del /dir/noext; rmdir /e; "
    "hold PWR1: rw ex; ioctl 1045 00000000; close; store DSK1:; part; partclose; close; "
    "start /d/app.exe; play /d/cue.wav; alloc 64; free";
const char kClean[] =
    "ok/0 ok:5 ok/0:0 ok:hello ok/0:5/0 ok ok/18:b.txt ok ok ok ok ok ok ok ok:0 ok ok "
    "ok:Part00,BINFS,21952 ok ok ok ok ok ok";

struct Outcome {
    std::vector<std::string> answers, counted, targets, faults;
};

// The program on a fresh device, the n-th fallible call failing; the call that fails must leave
// every file as it was and journal the fault alone.
Outcome RunProgram(std::optional<uint64_t> failing)
{
    World world;
    ce_host::ScopedFailingCall fault(failing);
    std::map<std::string, std::string> before;
    size_t events = 0, calls = 0;
    auto around = [&](size_t index, bool after) {
        size_t now = world.device().device().Events().Events().size();
        size_t made = ce_host::FallibleCalls().size();
        if (!after) {
            before = world.Snapshot(), events = now, calls = made;
        } else if (failing && calls < *failing && *failing <= made) {
            EXPECT_EQ(world.Snapshot(), before) << "command " << index + 1;
            EXPECT_EQ(now, events + 1) << "command " << index + 1;
        }
    };
    Outcome outcome;
    outcome.answers =
        qs_test::SplitWords(platform_script::Answers(Script(world).Run(kProgram, around)));
    qs_test::ExpectNothingHeld();
    for (const ce_host::FallibleCallRecord &call : ce_host::FallibleCalls()) {
        outcome.counted.push_back(call.call);
        outcome.targets.push_back(call.call + " " + call.target + "\r\n");
    }
    for (const auto &event : world.device().EventsOf("fault"))
        outcome.faults.push_back(event["device"].get<std::string>() + " " +
                                 event["what"].get<std::string>());
    return outcome;
}

struct FaultRow {
    uint64_t n;
    std::string answers;  // the answers that differ from the clean run's: "COMMAND=ANSWER ..."
    size_t skipped = 0;   // a call the program no longer makes, for want of what failed
};

void PrintTo(const FaultRow &row, std::ostream *out)
{
    *out << "call #" << row.n;
}

class CallFault : public testing::TestWithParam<FaultRow> {
protected:
    static void SetUpTestSuite() { clean_ = new Outcome(RunProgram(std::nullopt)); }
    static void TearDownTestSuite() { delete clean_; }
    static Outcome *clean_;
};
Outcome *CallFault::clean_ = nullptr;

TEST_P(CallFault, FailsThatCallAloneWithTheDevicesAnswer)
{
    Outcome faulted = RunProgram(GetParam().n);
    std::vector<std::string> expected = qs_test::SplitWords(kClean);
    for (const std::string &change : qs_test::SplitWords(GetParam().answers))
        expected.at(std::stoul(change) - 1) = change.substr(change.find('=') + 1);
    EXPECT_EQ(faulted.answers, expected);
    std::vector<std::string> counted = clean_->counted;
    if (GetParam().skipped)
        counted.erase(counted.begin() + GetParam().skipped - 1);
    EXPECT_EQ(faulted.counted, counted);
    EXPECT_EQ(faulted.faults, (std::vector<std::string>{"calls " + counted[GetParam().n - 1] +
                                                        " #" + std::to_string(GetParam().n)}));
}

// A failed call leaves its byte count at 0; what depends on a handle it did not give fails too.
INSTANTIATE_TEST_SUITE_P(
    Table, CallFault,
    testing::Values(FaultRow{1, "1=!32 2=!6:0 3=!6 4=!6 5=!6:4294967295/48879 6=!6"},
                    FaultRow{2, "2=!112:0 4=ok 5=ok/0:0/0"}, FaultRow{3, "3=!31 4=ok"},
                    FaultRow{4, "4=!31"}, FaultRow{5, "5=!31:4294967295/48879"},
                    FaultRow{6, "7=!31", 7}, FaultRow{7, "7=ok/31:b.txt"}, FaultRow{8, "8=!112"},
                    FaultRow{9, "9=!112"}, FaultRow{10, "10=!32"}, FaultRow{11, "11=!31"},
                    FaultRow{12, "12=!32"}, FaultRow{13, "13=!32"},
                    FaultRow{14, "14=!31 15=!6:? 16=!6"}, FaultRow{15, "15=!31:0"},
                    FaultRow{16, "17=!31 18=!6 19=!6 20=!6"}, FaultRow{17, "18=!31 19=!6"},
                    FaultRow{18, "19=!31"}, FaultRow{19, "21=!8"}, FaultRow{20, "22=!31"},
                    FaultRow{21, "23=!8 24=!6"}));

// Every call is counted in its order with what it acted on, the same with or without a fault;
// a fault past the last call fails nothing.
TEST(CallFaults, CountsEveryCallOfTheProgram)
{
    Outcome clean = RunProgram(std::nullopt);
    EXPECT_EQ(clean.answers, qs_test::SplitWords(kClean));
    qs_test::ExpectGoldenLog(clean.targets, "platform_call_faults_counted");
    EXPECT_TRUE(clean.faults.empty());
    Outcome past = RunProgram(clean.counted.size() + 1);
    EXPECT_EQ(past.answers, clean.answers);
    EXPECT_TRUE(past.faults.empty());
    // The control code's journal event is the call's own.
    World world;
    Script(world).Run("hold PWR1: rw ex; ioctl 1045 00000000");
    const ce_host::FallibleCallRecord &control = ce_host::FallibleCalls().back();
    ASSERT_EQ(control.endEvent, control.firstEvent + 1);
    EXPECT_EQ(world.device().device().Events().Events()[control.firstEvent]["event"], "ioctl");
}

// A lasting fault: the call's place fails from then on, in the boots that follow too, each time
// journaled; other places do not. A worn block fails every erase, read and write in it, torn
// again where the first failure tore; a path fails whatever its letter case; without the mode the
// call fails once. The row's script reboots, and its k-th fallible call fails.
struct LastingRow {
    const char *name;
    std::string script;
    uint64_t k;
    ce_host::FaultMode mode;
    std::string answers;
    std::vector<std::string> places;
    std::vector<std::string> lastBootFaults;
};

void PrintTo(const LastingRow &row, std::ostream *out)
{
    *out << row.name;
}

class LastingFault : public testing::TestWithParam<LastingRow> {
protected:
    void TearDown() override { ce_host::ClearLastingFaults(); }
};

TEST_P(LastingFault, FailsItsPlaceAgainInTheNextBoot)
{
    const LastingRow &row = GetParam();
    World world(R"({"flash": {"blocks": 8, "protect": false}})");
    ce_host::ClearLastingFaults();
    std::optional<uint64_t> n = qs_test::CallFromNow(row.k);
    ce_host::ScopedFailingCall fault(n, row.mode);
    // Attach counts afresh: the chosen call fails in the first boot only.
    auto around = [&](size_t, bool after) {
        if (after && ce_host::FallibleCalls().size() >= *n)
            ce_host::SetFailingCall(std::nullopt);
    };
    EXPECT_EQ(platform_script::Answers(Script(world).Run(row.script, around)), row.answers);
    EXPECT_EQ(ce_host::LastingPlaces(), row.places);
    std::vector<std::string> faults;
    for (const auto &event : world.device().EventsOf("fault"))
        faults.push_back(event["device"].get<std::string>() + " " +
                         event["what"].get<std::string>() + " " + event.value("lasting", "-"));
    EXPECT_EQ(faults, row.lastBootFaults);
}

const std::string kProgram384 = "ioctl 466900 80010000; ioctl 466912 " + std::string(4112, 'a');
const std::string kUnread = ":0," + std::string(4112, '0');
const std::string kDeletes = "del /dir/A.TXT; reboot; del DIR/a.txt; del /dir/b.txt";

INSTANTIATE_TEST_SUITE_P(
    Table, LastingFault,
    testing::Values(
        LastingRow{"WornBlockFailsEveryOperation",
                   "hold DSK1: rw ex; " + kProgram384 +
                       "; reboot; hold DSK1: rw ex; ioctl 466916 06000000; ioctl 466916 "
                       "07000000; ioctl 466900 81010000; ioctl 466908 - 2056",
                   3,
                   {.torn = true, .lasting = true},
                   "ok ok:0 !31:0 ok !31:0 ok:0 ok:0 !31" + kUnread,
                   {"DSK1: block 6"},
                   {"calls DeviceIoControl #2 again DSK1: block 6",
                    "DSK1: erase of block 6 failed torn: its first 32 sectors erased -",
                    "calls DeviceIoControl #5 again DSK1: block 6"}},
        LastingRow{"PathFailsInAnyCase",
                   kDeletes,
                   1,
                   {.lasting = true},
                   "!32 !32 ok",
                   {"DeleteFileW \\dir\\a.txt"},
                   {"calls DeleteFileW #1 again DeleteFileW \\dir\\a.txt"}},
        LastingRow{"WithoutTheModeOnce", kDeletes, 1, {}, "!32 ok ok", {}, {}},
        LastingRow{"CopyFailsForBothPaths",
                   "copy /d/g.txt /c.txt; reboot; copy D/G.TXT C.txt/; copy /d/g.txt /e.txt",
                   1,
                   {.lasting = true},
                   "!112 !112 ok",
                   {"CopyFileExW \\d\\g.txt -> \\c.txt"},
                   {"calls CopyFileExW #1 again CopyFileExW \\d\\g.txt -> \\c.txt"}},
        LastingRow{"SearchFailsAgain",
                   "find /dir/b*; reboot; find DIR/B*; find /d/g*",
                   2,
                   {.lasting = true},
                   "ok/31:b.txt ok/31:b.txt ok/18:g.txt",
                   {"FindNextFileW \\dir\\b*"},
                   {"calls FindNextFileW #2 again FindNextFileW \\dir\\b*"}}),
    [](const testing::TestParamInfo<LastingRow> &info) { return std::string(info.param.name); });

DWORD AllocatingProgress(LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD,
                         HANDLE, HANDLE, LPVOID data)
{
    HLOCAL block = LocalAlloc(LMEM_FIXED, 16);
    *static_cast<int *>(data) += block != NULL;
    LocalFree(block);
    return PROGRESS_CONTINUE;
}

// What the program does in a copy's progress routine is its own and counts; the copy's reads and
// writes are the layer's and do not. A fault there fails the routine's call, not the copy.
TEST(CallFaults, CountsTheCallsOfAProgressRoutine)
{
    World world;
    world.device().PutFile("\\big.bin", std::string(3 * 65536, 'b'));
    ce_host::ScopedFailingCall fault(3);
    int allocations = 0;
    EXPECT_TRUE(
        CopyFileExW(u"\\big.bin", u"\\copy.bin", AllocatingProgress, &allocations, NULL, 0));
    std::vector<std::string> counted;
    for (const ce_host::FallibleCallRecord &call : ce_host::FallibleCalls())
        counted.push_back(call.call);
    // Reports at 0 bytes and after each of the three chunks.
    EXPECT_EQ(counted, (std::vector<std::string>{"CopyFileExW", "LocalAlloc", "LocalAlloc",
                                                 "LocalAlloc", "LocalAlloc"}));
    EXPECT_EQ(allocations, 3);
    EXPECT_EQ(world.device().ReadFile("\\copy.bin").size(), 3u * 65536);
    EXPECT_EQ(platform_script::Journal(world.device()), "fault calls LocalAlloc #3");
}

}  // namespace
}  // namespace call_fault_test
