// Both programs' refusals of a command line or an input: one line on stderr, the documented
// status, nothing on stdout, and nothing made or changed.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>

#include "sim/device_lock.h"
#include "tests/tools/tool_test.h"

namespace cli_test {
namespace {

using qs_test::ToolRun;
using testing::StartsWith;

const std::string kLong = "long/apps/" + std::string(222, 'x');

// Devices, images and folders that the refusals below name.
const std::vector<std::string> kWorld = {
    "quordev init dev --blocks 8",
    "quordev init plain --blocks 8",
    "write raw image",
    "quordev mkbin raw nk.bin",
    "write old/apps/old.exe old",
    "quordev package dev --nk nk.bin --name 1 --apps old",
    "write good/apps/a.exe a",
    "write link/apps/a.exe a",
    "link link/apps/etc /etc",
    "write colon/manual/a:b.txt",
    "write " + kLong,
    "write cased/sound/A.wav",
    "write cased/sound/a.wav",
    "write file/apps",
    "fill big.step 0x4001",
    "write empty.raw",
    "fill short.nb0 0x1000",
    "write text.bin B000FF\r nothing",
    "write j1/device.json {\n \"power\": {\n  ,\n}",
    "write j2/device.json {\"powr\": {}}",
    "write j3/device.json {\"flash\": {\"blokcs\": 8}}",
    "write docs/a.txt mine",
    "write device/notes.txt mine",
    "write x/nand.bin",
    "mkdir empty",
    "write nf/device.json {}",
    "write s1/device.json {}",
    "write s1/nand.bin short",
    "write s2/device.json {}",
    "write s2/state.json []",
    "write s3/device.json {}",
    "write s3/state.json {\"flash\": {\"toc_flag\": \"yes\"}}",
    "write s4/device.json {}",
    "write s4/state.json {\"power\": {\"update_mode\": -1}}",
    "write sym/device.json {}",
    "write outside/keep.txt mine",
    "write power.json {\"cuts\": []}",
    "mkdir sym/root/flashdisk/K275D-Update",
    "link sym/root/flashdisk/K275D-Update/APP_DATA ../../../../outside"};

// Command lines by the command they start with; "busy" while another boot or command holds dev.
const std::vector<std::pair<std::string, std::vector<std::string>>> kRefusals = {
    {"quorshell",
     {"--device j1", "--device j2", "--device nowhere", "--fast", "--device docs", "--device empty",
      ""}},
    {"quordev",
     {"", "init", "init dev", "init docs --force", "init empty.raw/dev", "foo", "sweep",
      "sweep foo"}},
    {"busy quorshell", {"--device dev"}},
    {"busy quordev",
     {"init dev --force", "package dev --nk nk.bin --name 1", "sweep faults dev", "status dev",
      "verify dev --nk nk.bin"}},
    {"quordev init new",
     {"--boot-key 256", "--blocks 6", "--blocks 4097", "--blocks many", "--blocks 16 --bad 7,16",
      "--bad 7,x", "--serial 123456789", "--serial 01234567890", "--serial 01234a6789",
      "--serial NONE", "--mac 00:11:22:33:44", "--mac 00-11-22-33-44-55", "--mac 00:11:22:33:44:GG",
      "--binfs-sectors -1", "--binfs-sectors 18446744073709551616", "--binfs-sectors 0x55C0"}},
    {"quordev inspect",
     {"nowhere", "x", "j3", "s1", "s2", "s3", "s4", "nf --svg map.svg", "dev --svg no/map.svg"}},
    {"quordev mkapps", {"good --files 40", "other --files 0"}},
    {"quordev package dev",
     {"--apps link", "--apps colon", "--apps long", "--apps cased", "--apps file", "--apps missing",
      "--apps nk.bin", "--apps good --nk gone.bin --name 2", "--nk nk.bin --name 2 --apps link", "",
      "--apps good --eboot nk.bin", "--apps good --name 2", "--nk nk.bin --name a/b",
      "--nk nk.bin --name a*", "--nk nk.bin --eboot none.nb0 --name 1", "--nk docs --name 1",
      "--nk nk.bin"}},
    {"quordev package", {"nodev --nk nk.bin --name 1", "sym --nk nk.bin --name 2 --apps good"}},
    {"quordev mknb0",
     {"out.nb0 --steploader big.step", "out.nb0 --eboot gone", "big.step --eboot ./big.step"}},
    {"quordev mkbin",
     {"empty.raw out.bin", "raw out.bin --company QUORX", "raw out.bin --record 0",
      "raw out.bin --start 0x1G", "raw out.bin --start 0x1000", "raw out.bin --launch 0x82B00000",
      "raw out.bin --start 0x82AFFFFF", "raw ./raw", "docs out.bin"}},
    {"quordev crc", {"gone.nb0", "docs"}},
    {"quordev verify",
     {"dev --nk text.bin", "dev --nk nk.bin --eboot short.nb0", "nodev --nk nk.bin",
      "dev --nk gone.bin"}},
    {"quordev status", {"", "nowhere", "x", "dev --svg map.svg"}},
    {"quordev sweep faults",
     {"nothing", "empty", "plain --at 3,99", "plain --every 0", "plain --every 5 --at 3",
      "plain --pairs 5 --every 3", "plain --at 3 --pairs 5", "plain --pairs 277", "plain --seed 7",
      "plain --shard 4/3", "plain --shard 0/2", "plain --shard 2"}},
    {"quordev sweep merge",
     {"", "gone.json", "nk.bin", "j2/device.json", "power.json", "power.json j2/device.json",
      "j2/device.json --svg m.svg"}},
    {"quordev sweep power plain",
     {"--every 0", "--outcomes half", "--at 5 --every 2", "", "--svg nodir/p.svg", "--svg docs"}},
};

using CliTest = qs_test::ToolTest;

// The commands with what they say, against tests/golden/tools_refusals.log.
TEST_F(CliTest, EachRefusalSaysWhyInOneLineAndChangesNothing)
{
    for (const std::string &step : kWorld)
        Step(step);
    const auto before = qs_test::Snapshot(work_);
    std::string shown;
    for (const auto &[start, rests] : kRefusals)
        for (const std::string &rest : rests) {
            const std::string command = start + (rest.empty() ? "" : " " + rest);
            SCOPED_TRACE(command);
            const bool busy = command.starts_with("busy ");
            std::optional<sim::DeviceLock> holder;
            if (busy)
                holder.emplace(At("dev"));
            ToolRun run = Run(command.substr(busy ? 5 : 0));
            holder.reset();
            EXPECT_NE(run.status, 0);
            EXPECT_EQ(run.out, "");
            EXPECT_THAT(run.err, StartsWith(qs_test::SplitWords(command)[busy ? 1 : 0] + ": "));
            EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
            EXPECT_TRUE(run.err.ends_with("\n"));
            EXPECT_TRUE(qs_test::Snapshot(work_) == before)
                << "a refusal makes and changes nothing";
            shown += "$ " + command + "\n" + run.err + "exit " + std::to_string(run.status) + "\n";
        }
    qs_test::ExpectGoldenText(shown, "refusals");
    {
        sim::DeviceLock holder(At("dev"));
        EXPECT_EQ(Run("quordev inspect dev").status, 0) << "reading is no change";
    }
    EXPECT_EQ(Run("quorshell --device dev --quiet").status, 0) << "the holder let the device go";

    // A sweep's forked workers and rows hold no share of its lock: the device is free as the
    // sweep ends, while a row it forked still runs.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t row = -1;
    {
        sim::DeviceLock holder(At("dev"));
        row = ::fork();
        if (row == 0) {
            sim::DeviceLock::LeaveToParent();
            char byte = 1;
            (void)!::write(ready[1], &byte, 1);
            ::pause();
            ::_exit(0);
        }
        // Not an ASSERT: a return here would leave the child paused for ever.
        char byte = 0;
        EXPECT_EQ(::read(ready[0], &byte, 1), 1);
    }
    EXPECT_EQ(Run("quorshell --device dev --quiet").status, 0) << "a forked row kept the lock";
    ::kill(row, SIGKILL);
    ::waitpid(row, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
}

}  // namespace
}  // namespace cli_test
