// The platform probe on a simulated device: every call once, everything released, no trace left.
// A device that refuses one call: the probe names it, releases everything and removes its folder.
#include <filesystem>

#include <gtest/gtest.h>

#include "platform/host/host.h"
#include "platform/probe/ce_probe.h"
#include "tests/platform/script.h"
#include "tests/support/expect.h"

namespace probe_test {
namespace {

constexpr uint32_t kSetSectorAddr = 0x71FD4;  // the one flash code the probe sends
const std::string kFlash =
    "open DSK1: 3221225472 0 3 0|ioctl DSK1: 466900 IOCTL_FMD_SET_SECTOR_ADDR 00000000";

struct ProbeCase {
    const char *name;
    nlohmann::json device;
    int result;           // 2: a folder \probe is there before, which is kept
    std::string journal;  // every event but the log's, and the time that passed
};

class Probe : public testing::TestWithParam<ProbeCase> {};

TEST_P(Probe, LogsEachCallAndCleansUp)
{
    qs_test::TempDevice dev(GetParam().device);
    if (GetParam().result == 2)
        dev.PutFile("\\probe\\keep.txt", "kept");
    EXPECT_EQ(CeProbe(), GetParam().result != 1 ? 0 : 1);
    std::vector<std::string> log;
    for (const auto &event : dev.EventsOf("log"))
        log.push_back(event["text"]);
    qs_test::ExpectGoldenLog(log, std::string("platform_probe_") + GetParam().name);
    EXPECT_EQ(std::filesystem::exists(dev.Host("\\probe\\keep.txt")), GetParam().result == 2);
    qs_test::ExpectNothingHeld();
    EXPECT_EQ(
        platform_script::Journal(dev) + " @" + std::to_string(dev.device().Clock().ElapsedMs()),
        GetParam().journal);
}

// The cue's 100 ms and the 1 ms sleep are the only time that passes.
INSTANTIATE_TEST_SUITE_P(
    Cases, Probe,
    testing::Values(
        ProbeCase{"All", nlohmann::json::object(), 1,
                  kFlash + " true|close DSK1:|store OpenStore DSK1: true|store FindFirstPartition "
                           "Part00 true|store FindClosePartition true|sound /probe/cue.wav true|"
                           "process /probe/probe.exe true@100|sleep 1@100|stdout probe "
                           "2026-12-05 08:30:00\n@101 @101"},
        ProbeCase{"NoHeap", {{"heap", {{"limit_bytes", 0}}}}, 0, " @0"},
        ProbeCase{"SectorAddressFault",
                  {{"flash", {{"faults", {{{"code", kSetSectorAddr}}}}}}},
                  0,
                  kFlash + " false|close DSK1: @0"},
        ProbeCase{"NoStore",
                  {{"store", {{"present", false}}}},
                  0,
                  kFlash + " true|close DSK1:|store OpenStore DSK1: false 2 @0"},
        ProbeCase{"ProgramRefused",
                  {{"programs", {{"fail", {"\\probe\\probe.exe"}}}}},
                  0,
                  kFlash + " true|close DSK1:|store OpenStore DSK1: true|store FindFirstPartition "
                           "Part00 true|store FindClosePartition true|sound /probe/cue.wav true|"
                           "process /probe/probe.exe false@100 @100"},
        // A folder it did not make is kept.
        ProbeCase{"FolderThere", nlohmann::json::object(), 2, " @0"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace probe_test
