// A late volume: its root folder is not there for any call until the virtual clock reaches its
// mount time, on every boot.
#include <functional>

#include <gtest/gtest.h>

#include "platform/ce.h"
#include "platform/host/host.h"
#include "tests/support/call_probes.h"
#include "tests/support/temp_device.h"

namespace {

using nlohmann::json;
using Names = std::vector<std::string>;

constexpr DWORD kSentinel = 0xBEEF;

using qs_test::Finds;
using qs_test::Opens;
using qs_test::Starts;

struct LateCase {
    const char *name;
    std::function<BOOL()> call;
    DWORD errorBefore;  // while flashdisk is not mounted
    DWORD errorAfter;   // once it is: ERROR_SUCCESS when the call succeeds
};

class LateVolume : public testing::TestWithParam<LateCase> {
protected:
    LateVolume() : device_(json{{"files", {{"mount_after_ms", {{"flashdisk", 250}}}}}})
    {
        device_.PutFile("\\flashdisk\\x.txt", "x");
        device_.PutFile("\\flashdisk\\prog.exe", "MZ");
        device_.PutFile("\\flashdisk\\cue.wav", qs_test::Wave(10));
        device_.PutFolder("\\flashdisk\\empty");
        device_.PutFile("\\windows\\w.txt", "w");
    }
    qs_test::TempDevice device_;
};

// Refused at once and 1 ms before the mount time, with the disk untouched; from the mount time
// the same call does what it does on any folder, and a success keeps the last error.
TEST_P(LateVolume, IsMissingUntilItsMountTime)
{
    const LateCase &c = GetParam();
    std::set<std::string> before = device_.Tree();
    for (DWORD pause : {0u, 249u}) {
        Sleep(pause);
        SetLastError(kSentinel);
        EXPECT_FALSE(c.call()) << "after " << pause << " ms";
        EXPECT_EQ(GetLastError(), c.errorBefore) << "after " << pause << " ms";
        EXPECT_EQ(device_.Tree(), before);
    }
    Sleep(1);
    SetLastError(kSentinel);
    EXPECT_EQ(c.call() != FALSE, c.errorAfter == ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), c.errorAfter == ERROR_SUCCESS ? kSentinel : c.errorAfter);
    EXPECT_EQ(ce_host::Held().handles, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LateVolume,
    testing::Values(
        LateCase{"FindVolume", [] { return Finds(u"\\flashdisk"); }, 2, 0},
        LateCase{"FindBeneath", [] { return Finds(u"FlashDisk\\*.txt"); }, 3, 0},
        LateCase{"OpenVolume", [] { return Opens(u"\\FLASHDISK", GENERIC_READ, OPEN_EXISTING); }, 2,
                 ERROR_ACCESS_DENIED},
        LateCase{"OpenBeneath",
                 [] { return Opens(u"\\flashdisk\\x.txt", GENERIC_READ, OPEN_EXISTING); }, 3, 0},
        LateCase{"CreateBeneath",
                 [] { return Opens(u"\\flashdisk\\new.txt", GENERIC_WRITE, CREATE_NEW); }, 3, 0},
        LateCase{"SetAttributes",
                 [] { return SetFileAttributesW(u"\\flashdisk\\x.txt", FILE_ATTRIBUTE_HIDDEN); }, 3,
                 0},
        LateCase{"CreateFolder", [] { return CreateDirectoryW(u"\\flashdisk\\new", NULL); }, 3, 0},
        LateCase{"CreateVolumeFolder", [] { return CreateDirectoryW(u"\\flashdisk", NULL); }, 2,
                 ERROR_ALREADY_EXISTS},
        LateCase{"RemoveFolder", [] { return RemoveDirectoryW(u"\\flashdisk\\empty\\"); }, 3, 0},
        LateCase{"RemoveVolume", [] { return RemoveDirectoryW(u"\\flashdisk"); }, 2,
                 ERROR_DIR_NOT_EMPTY},
        LateCase{"Delete", [] { return DeleteFileW(u"\\flashdisk\\x.txt"); }, 3, 0},
        LateCase{"CopyFrom",
                 [] {
                     return CopyFileExW(u"\\flashdisk\\x.txt", u"\\windows\\y.txt", NULL, NULL,
                                        NULL, 0);
                 },
                 3, 0},
        LateCase{"CopyTo",
                 [] {
                     return CopyFileExW(u"\\windows\\w.txt", u"\\flashdisk\\w.txt", NULL, NULL,
                                        NULL, 0);
                 },
                 3, 0},
        LateCase{"MoveFrom", [] { return MoveFileW(u"\\flashdisk\\x.txt", u"\\windows\\x.txt"); },
                 3, 0},
        LateCase{"MoveTo", [] { return MoveFileW(u"\\windows\\w.txt", u"\\flashdisk\\w.txt"); }, 3,
                 0},
        LateCase{"MoveVolume", [] { return MoveFileW(u"\\flashdisk", u"\\windows\\f"); }, 2, 0},
        LateCase{"StartProgram", [] { return Starts(u"\\flashdisk\\prog.exe"); }, 3, 0},
        LateCase{"PlaySound", [] { return PlaySoundW(u"\\flashdisk\\cue.wav", NULL, 0); }, 3, 0}),
    [](const auto &info) { return std::string(info.param.name); });

std::vector<std::string> RootListing()
{
    std::vector<std::string> names;
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(u"\\*", &data);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do
        names.push_back(qs_test::Narrow(data.cFileName));
    while (FindNextFileW(search, &data));
    FindClose(search);
    return names;
}

// The root's listing leaves the volume out until it mounts, and each boot starts over; searching
// does not bring the mount nearer, only the clock does.
TEST(LateVolumeListing, RootListsTheVolumeFromItsMountTimeOnEachBoot)
{
    qs_test::TempDevice device(json{{"files", {{"mount_after_ms", {{"FlashDisk", 250}}}}}});
    device.PutFolder("\\flashdisk");
    device.PutFolder("\\windows");
    for (int boot = 0; boot < 2; ++boot) {
        for (int search = 0; search < 30; ++search)
            ASSERT_EQ(RootListing(), Names{"windows"});
        Sleep(250);
        EXPECT_EQ(RootListing(), (Names{"flashdisk", "windows"}));
        device.Reload();
    }
}

}  // namespace
