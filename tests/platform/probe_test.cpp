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

struct ProbeCase {
    const char *name;
    nlohmann::json device;
    int result;  // 2: a folder \probe is there before, which is kept
};

class Probe : public testing::TestWithParam<ProbeCase> {};

// The log, then the rest of the journal and the time that passed, are kept in
// tests/golden/platform_probe_NAME.log.
TEST_P(Probe, LogsEachCallAndCleansUp)
{
    qs_test::TempDevice dev(GetParam().device);
    if (GetParam().result == 2)
        dev.PutFile("\\probe\\keep.txt", "kept");
    EXPECT_EQ(CeProbe(), GetParam().result != 1 ? 0 : 1);
    EXPECT_EQ(std::filesystem::exists(dev.Host("\\probe\\keep.txt")), GetParam().result == 2);
    qs_test::ExpectNothingHeld();
    qs_test::Lines lines;
    for (const auto &event : dev.EventsOf("log"))
        lines.push_back(event["text"]);
    std::stringstream journal(platform_script::Journal(dev));
    for (std::string event; std::getline(journal, event, '|');)
        lines.push_back("journal: " + event + "\r\n");
    lines.push_back(std::to_string(dev.device().Clock().ElapsedMs()) + " ms\r\n");
    qs_test::ExpectGoldenLog(lines, std::string("platform_probe_") + GetParam().name);
}

// The cue's 100 ms and the 1 ms sleep are the only time that passes.
INSTANTIATE_TEST_SUITE_P(
    Cases, Probe,
    testing::Values(
        ProbeCase{"All", nlohmann::json::object(), 1},
        ProbeCase{"NoHeap", {{"heap", {{"limit_bytes", 0}}}}, 0},
        ProbeCase{"SectorAddressFault", {{"flash", {{"faults", {{{"code", kSetSectorAddr}}}}}}}, 0},
        ProbeCase{"NoStore", {{"store", {{"present", false}}}}, 0},
        ProbeCase{"ProgramRefused", {{"programs", {{"fail", {"\\probe\\probe.exe"}}}}}, 0},
        // A folder it did not make is kept.
        ProbeCase{"FolderThere", nlohmann::json::object(), 2}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace probe_test
