// The virtual clock, sound cues and program starts.
#include <gtest/gtest.h>

#include "platform/ce.h"
#include "platform/host/host.h"
#include "platform/host/internal.h"
#include "tests/support/temp_device.h"

namespace {

using nlohmann::json;

std::string Stamp(const SYSTEMTIME &t)
{
    char text[96];
    snprintf(text, sizeof(text), "%04d-%02d-%02d %d %02d:%02d:%02d.%03d", t.wYear, t.wMonth, t.wDay,
             t.wDayOfWeek, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    return text;
}

TEST(VirtualClock, SleepMovesTheClockAndIsJournaled)
{
    qs_test::TempDevice device(json{{"clock", {{"utc", "2026-12-31T23:59:59Z"}}}});
    SYSTEMTIME t;
    GetSystemTime(&t);
    EXPECT_EQ(Stamp(t), "2026-12-31 4 23:59:59.000");
    Sleep(100);
    Sleep(1250);
    GetSystemTime(&t);
    EXPECT_EQ(Stamp(t), "2027-01-01 5 00:00:00.350");
    auto sleeps = device.EventsOf("sleep");
    ASSERT_EQ(sleeps.size(), 2u);
    EXPECT_EQ(sleeps[0]["ms"], 100);
    EXPECT_EQ(sleeps[1]["ms"], 1250);
    EXPECT_EQ(sleeps[1]["t"], 100);  // an event carries the time at which it began
}

struct OffsetCase {
    int minutes;
    const char *local;
};

class LocalTime : public testing::TestWithParam<OffsetCase> {};

TEST_P(LocalTime, AppliesTheOffset)
{
    qs_test::TempDevice device(
        json{{"clock",
              {{"utc", "2026-03-01T00:30:00Z"}, {"local_offset_minutes", GetParam().minutes}}}});
    SYSTEMTIME t;
    GetLocalTime(&t);
    EXPECT_EQ(Stamp(t), GetParam().local);
}

INSTANTIATE_TEST_SUITE_P(Table, LocalTime,
                         testing::Values(OffsetCase{0, "2026-03-01 0 00:30:00.000"},
                                         OffsetCase{540, "2026-03-01 0 09:30:00.000"},
                                         OffsetCase{-60, "2026-02-28 6 23:30:00.000"}));

TEST(Sound, PlayingACueTakesItsDuration)
{
    qs_test::TempDevice device;
    device.PutFile("\\windows\\success.wav", qs_test::Wave(750));
    device.PutFile("\\windows\\broken.wav", "not a wave");
    EXPECT_TRUE(PlaySoundW(u"\\WINDOWS\\Success.wav", NULL, 0));
    EXPECT_FALSE(PlaySoundW(u"\\windows\\missing.wav", NULL, 0));
    EXPECT_FALSE(PlaySoundW(u"\\windows\\broken.wav", NULL, 0));
    SYSTEMTIME t;
    GetSystemTime(&t);
    EXPECT_EQ(t.wSecond, 0);
    EXPECT_EQ(t.wMilliseconds, 750);
    auto sounds = device.EventsOf("sound");
    ASSERT_EQ(sounds.size(), 3u);
    EXPECT_EQ(sounds[0]["path"], "\\windows\\success.wav");
    EXPECT_EQ(sounds[0]["ok"], true);
    EXPECT_EQ(sounds[1]["ok"], false);
    EXPECT_EQ(sounds[2]["ok"], false);
}

struct ProgramCase {
    const char *path;
    bool starts;
    DWORD error;
};

class ProgramStart : public testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramStart, StartsOnlyPresentProgramsNotListedAsFailing)
{
    qs_test::TempDevice device(json{{"programs", {{"fail", {"\\windows\\broken.exe"}}}}});
    device.PutFile("\\NAND\\APPS\\LumTask.exe", "MZ");
    device.PutFile("\\windows\\broken.exe", "MZ");
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info;
    memset(&info, 0, sizeof(info));
    BOOL started =
        CreateProcessW(reinterpret_cast<LPCWSTR>(ce_host::FromUtf8(GetParam().path).c_str()), NULL,
                       NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info);
    EXPECT_EQ(started != FALSE, GetParam().starts);
    auto processes = device.EventsOf("process");
    ASSERT_EQ(processes.size(), 1u);
    EXPECT_EQ(processes[0]["ok"], GetParam().starts);
    if (started) {
        EXPECT_EQ(processes[0]["path"], "\\NAND\\APPS\\LumTask.exe");
        EXPECT_EQ(ce_host::Held().handles, 2u);  // the process and its thread
        EXPECT_TRUE(CloseHandle(info.hProcess));
        EXPECT_TRUE(CloseHandle(info.hThread));
    } else {
        EXPECT_EQ(GetLastError(), GetParam().error);
        EXPECT_EQ(info.hProcess, nullptr);
    }
    EXPECT_EQ(ce_host::Held().handles, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ProgramStart,
    testing::Values(ProgramCase{"\\nand\\apps\\lumtask.exe", true, 0},
                    ProgramCase{"\\NAND\\APPS\\Missing.exe", false, ERROR_FILE_NOT_FOUND},
                    ProgramCase{"\\Nowhere\\x.exe", false, ERROR_PATH_NOT_FOUND},
                    ProgramCase{"\\NAND\\APPS", false, ERROR_ACCESS_DENIED},
                    ProgramCase{"\\windows\\broken.exe", false, ERROR_BAD_EXE_FORMAT}));

}  // namespace
