// The platform probe on a simulated device: every call once, everything released, no trace left.

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/host/host.h"
#include "platform/probe/ce_probe.h"
#include "tests/support/temp_device.h"

namespace {

constexpr uint32_t kSetSectorAddr = 0x71FD4;  // the one flash code the probe sends

bool HasEntry(const std::vector<std::string> &entries, const std::string &text)
{
    return std::any_of(entries.begin(), entries.end(), [&](const std::string &entry) {
        return entry.find(text) != std::string::npos;
    });
}

std::string Joined(const std::vector<std::string> &entries)
{
    std::string text;
    for (const std::string &entry : entries)
        text += entry + "|";
    return text;
}

void ExpectNothingHeld()
{
    ce_host::Holdings held = ce_host::Held();
    EXPECT_EQ(held.handles, 0u);
    EXPECT_EQ(held.heapBlocks, 0u);
}

TEST(Probe, RunsEveryCallAndLeavesNoTrace)
{
    qs_test::TempDevice dev;

    EXPECT_EQ(CeProbe(), 1);

    std::vector<std::string> log = dev.LogEntries();
    EXPECT_TRUE(HasEntry(log, "[Probe] done \r\n")) << Joined(log);
    EXPECT_TRUE(HasEntry(log, "[Probe] partition Part00, BINFS \r\n"));
    EXPECT_TRUE(HasEntry(log, "probe 2026-12-05 08:30:00"));  // printf of the clock's start
    EXPECT_FALSE(std::filesystem::exists(dev.Host("\\probe")));
    ExpectNothingHeld();

    // The cue's 100 ms and the 1 ms sleep are the only time that passes.
    EXPECT_EQ(dev.device().Clock().ElapsedMs(), 101u);
    auto sounds = dev.EventsOf("sound");
    ASSERT_EQ(sounds.size(), 1u);
    EXPECT_TRUE(sounds[0]["ok"].get<bool>());
    auto processes = dev.EventsOf("process");
    ASSERT_EQ(processes.size(), 1u);
    EXPECT_TRUE(processes[0]["ok"].get<bool>());
    auto ioctls = dev.EventsOf("ioctl");
    ASSERT_EQ(ioctls.size(), 1u);
    EXPECT_EQ(ioctls[0]["code"], kSetSectorAddr);
    EXPECT_TRUE(ioctls[0]["ok"].get<bool>());
}

// A device that refuses one call: the probe names it, releases everything and removes its folder.
struct RefusalCase {
    const char *name;
    nlohmann::json deviceJson;
    std::string logLine;
};

class ProbeRefused : public testing::TestWithParam<RefusalCase> {};

TEST_P(ProbeRefused, NamesTheCallAndCleansUp)
{
    qs_test::TempDevice dev(GetParam().deviceJson);

    EXPECT_EQ(CeProbe(), 0);

    EXPECT_TRUE(HasEntry(dev.LogEntries(), GetParam().logLine)) << Joined(dev.LogEntries());
    EXPECT_FALSE(HasEntry(dev.LogEntries(), "[Probe] done"));
    EXPECT_FALSE(std::filesystem::exists(dev.Host("\\probe")));
    ExpectNothingHeld();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProbeRefused,
    testing::Values(
        RefusalCase{"NoHeap", {{"heap", {{"limit_bytes", 0}}}}, "[Probe] LocalAlloc fail"},
        RefusalCase{"SectorAddressFault",
                    {{"flash", {{"faults", {{{"code", kSetSectorAddr}}}}}}},
                    "[Probe] DeviceIoControl fail"},
        RefusalCase{"NoStore", {{"store", {{"present", false}}}}, "[Probe] OpenStore fail"},
        RefusalCase{"ProgramRefused",
                    {{"programs", {{"fail", {"\\probe\\probe.exe"}}}}},
                    "[Probe] CreateProcessW fail"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Probe, KeepsAFolderItDidNotMake)
{
    qs_test::TempDevice dev;
    dev.PutFile("\\probe\\keep.txt", "kept");

    EXPECT_EQ(CeProbe(), 0);

    EXPECT_TRUE(HasEntry(dev.LogEntries(), "[Probe] CreateDirectoryW fail, error 183"));
    EXPECT_EQ(dev.ReadFile("\\probe\\keep.txt"), "kept");
    ExpectNothingHeld();
}

}  // namespace
