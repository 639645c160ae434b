// The device folder is the device's alone: a symbolic link or a special file below root/ is refused
// and journaled, and nothing outside the folder is read, written or listed through it.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "platform/ce.h"
#include "platform/host/host.h"
#include "tests/support/call_probes.h"
#include "tests/support/temp_device.h"

namespace {

namespace fs = std::filesystem;

using qs_test::Finds;
using qs_test::Opens;
using qs_test::Starts;

BOOL Copies(const char16_t *from, const char16_t *to)
{
    return CopyFileExW(from, to, NULL, NULL, NULL, 0);
}

// Every entry and file content under a host folder, so that a call can be shown to have left it.
std::map<std::string, std::string> Snapshot(const fs::path &folder)
{
    std::map<std::string, std::string> seen;
    for (const auto &entry : fs::recursive_directory_iterator(folder)) {
        std::string content = "<" + std::to_string(int(entry.symlink_status().type())) + ">";
        if (entry.is_regular_file() && !entry.is_symlink()) {
            std::ifstream in(entry.path(), std::ios::binary);
            content.assign(std::istreambuf_iterator<char>(in), {});
        }
        seen[entry.path().lexically_relative(folder).string()] = content;
    }
    return seen;
}

// root/NAND/x links to a file outside the device folder, root/NAND/d to a folder outside it, and
// root/NAND/pipe is a fifo; root/NAND/ok.txt is a plain file.
class FolderSafety : public testing::Test {
protected:
    FolderSafety() : outside_(device_.folder().string() + "-outside")
    {
        fs::create_directories(outside_ / "dir" / "sub");
        std::ofstream(outside_ / "secret.txt") << "secret";
        std::ofstream(outside_ / "dir" / "inner.txt") << "inner";
        std::ofstream(outside_ / "dir" / "prog.exe") << "MZ";
        std::ofstream(outside_ / "dir" / "cue.wav") << qs_test::Wave(10);
        device_.PutFile("\\NAND\\ok.txt", "ok");
        fs::create_symlink(outside_ / "secret.txt", device_.Host("\\NAND\\x"));
        fs::create_directory_symlink(outside_ / "dir", device_.Host("\\NAND\\d"));
        ::mkfifo(device_.Host("\\NAND\\pipe").c_str(), 0666);
    }
    ~FolderSafety() override
    {
        std::error_code ignored;
        fs::remove_all(outside_, ignored);
    }

    qs_test::TempDevice device_;
    fs::path outside_;
};

struct SafetyCase {
    const char *name;
    std::function<BOOL()> call;
};

class FolderSafetyCall : public FolderSafety, public testing::WithParamInterface<SafetyCase> {};

TEST_P(FolderSafetyCall, IsRefusedAndJournaledAndTheOutsideIsUntouched)
{
    auto outsideBefore = Snapshot(outside_);
    auto rootBefore = Snapshot(device_.Host("\\"));
    SetLastError(0);
    EXPECT_FALSE(GetParam().call());
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    auto violations = device_.EventsOf("violation");
    ASSERT_FALSE(violations.empty());
    EXPECT_EQ(violations[0]["device"], "files");
    std::string what = violations[0]["what"];
    EXPECT_TRUE(what.starts_with("\\NAND\\x ") || what.starts_with("\\NAND\\d ") ||
                what.starts_with("\\NAND\\pipe "))
        << what;
    EXPECT_EQ(Snapshot(outside_), outsideBefore);
    EXPECT_EQ(Snapshot(device_.Host("\\")), rootBefore);
    EXPECT_EQ(ce_host::Held().handles, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FolderSafetyCall,
    testing::Values(
        SafetyCase{"OpenForRead", [] { return Opens(u"\\NAND\\x", GENERIC_READ, OPEN_EXISTING); }},
        SafetyCase{"OpenForWrite",
                   [] { return Opens(u"\\NAND\\X", GENERIC_WRITE, OPEN_EXISTING); }},
        SafetyCase{"CreateAlways",
                   [] { return Opens(u"\\NAND\\x", GENERIC_WRITE, CREATE_ALWAYS); }},
        SafetyCase{"OpenAlways", [] { return Opens(u"\\NAND\\x", GENERIC_WRITE, OPEN_ALWAYS); }},
        SafetyCase{"Truncate",
                   [] { return Opens(u"\\NAND\\x", GENERIC_WRITE, TRUNCATE_EXISTING); }},
        SafetyCase{"OpenThroughFolder",
                   [] { return Opens(u"\\NAND\\d\\inner.txt", GENERIC_READ, OPEN_EXISTING); }},
        SafetyCase{"CreateThroughFolder",
                   [] { return Opens(u"\\NAND\\d\\new.txt", GENERIC_WRITE, CREATE_NEW); }},
        SafetyCase{"OpenFifo", [] { return Opens(u"\\NAND\\pipe", GENERIC_READ, OPEN_EXISTING); }},
        SafetyCase{"CopyOnto", [] { return Copies(u"\\NAND\\ok.txt", u"\\NAND\\x"); }},
        SafetyCase{"CopyFrom", [] { return Copies(u"\\NAND\\x", u"\\NAND\\copy.txt"); }},
        SafetyCase{"CopyIntoFolder", [] { return Copies(u"\\NAND\\ok.txt", u"\\NAND\\d\\c"); }},
        SafetyCase{"Delete", [] { return DeleteFileW(u"\\NAND\\x"); }},
        SafetyCase{"DeleteThroughFolder", [] { return DeleteFileW(u"\\NAND\\d\\inner.txt"); }},
        SafetyCase{"DeleteFifo", [] { return DeleteFileW(u"\\NAND\\pipe"); }},
        SafetyCase{"MoveLink", [] { return MoveFileW(u"\\NAND\\x", u"\\NAND\\y"); }},
        SafetyCase{"MoveOntoLink", [] { return MoveFileW(u"\\NAND\\ok.txt", u"\\NAND\\x"); }},
        SafetyCase{"MoveIntoFolder", [] { return MoveFileW(u"\\NAND\\ok.txt", u"\\NAND\\d\\o"); }},
        SafetyCase{"SetAttributes",
                   [] { return SetFileAttributesW(u"\\NAND\\x", FILE_ATTRIBUTE_READONLY); }},
        SafetyCase{"SetAttributesThroughFolder",
                   [] { return SetFileAttributesW(u"\\NAND\\d\\inner.txt", 0); }},
        SafetyCase{"RemoveFolderBeneath", [] { return RemoveDirectoryW(u"\\NAND\\d\\sub"); }},
        SafetyCase{"RemoveLinkedFolder", [] { return RemoveDirectoryW(u"\\NAND\\d\\"); }},
        SafetyCase{"CreateFolderBeneath", [] { return CreateDirectoryW(u"\\NAND\\d\\n", NULL); }},
        SafetyCase{"FindBeneath", [] { return Finds(u"\\NAND\\d\\*"); }},
        SafetyCase{"FindLink", [] { return Finds(u"\\NAND\\x"); }},
        SafetyCase{"StartProgram", [] { return Starts(u"\\NAND\\d\\prog.exe"); }},
        SafetyCase{"PlaySound", [] { return PlaySoundW(u"\\NAND\\d\\cue.wav", NULL, 0); }}),
    [](const auto &info) { return std::string(info.param.name); });

// A search lists only plain files and folders: every other call refuses the rest, so offering
// their names would only lead the caller into a refusal.
TEST_F(FolderSafety, SearchLeavesOutLinksAndSpecialFiles)
{
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(u"\\NAND\\*", &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    std::vector<std::string> names;
    do
        names.push_back(qs_test::Narrow(data.cFileName));
    while (FindNextFileW(search, &data));
    FindClose(search);
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "ok.txt"}));
    EXPECT_TRUE(device_.EventsOf("violation").empty());
}

// A folder whose own name is a link is refused as a whole, even where the call would only read.
TEST(FolderSafetyRoot, LinkedVolumeIsRefused)
{
    qs_test::TempDevice device;
    fs::path outside = device.folder().string() + "-volume";
    fs::create_directories(outside);
    std::ofstream(outside / "f.txt") << "f";
    fs::create_directory_symlink(outside, device.Host("\\flashdisk"));
    EXPECT_FALSE(Opens(u"\\flashdisk\\f.txt", GENERIC_READ, OPEN_EXISTING));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(DeleteFileW(u"\\flashdisk\\f.txt"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(fs::exists(outside / "f.txt"));
    EXPECT_EQ(device.EventsOf("violation").size(), 2u);
    fs::remove_all(outside);
}

}  // namespace
