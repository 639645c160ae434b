// Opening, sharing, reading, seeking and sizes of files.
#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "platform/ce.h"
#include "platform/host/host.h"
#include "tests/support/temp_device.h"

namespace {

using nlohmann::json;

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareBoth = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kShareAll = kShareBoth | 0x00000004u;  // with FILE_SHARE_DELETE
constexpr DWORD kSentinel = 0xBEEF;

HANDLE Open(const char16_t *path, DWORD access, DWORD share = 0, DWORD disposition = OPEN_EXISTING)
{
    return CreateFileW(path, access, share, NULL, disposition, FILE_ATTRIBUTE_NORMAL, NULL);
}

struct ShareCase {
    DWORD firstAccess, firstShare, secondAccess, secondShare;
    bool secondOpens;
};

class Sharing : public testing::TestWithParam<ShareCase> {};

TEST_P(Sharing, SecondOpenMeetsBothShareModes)
{
    qs_test::TempDevice device;
    device.PutFile("\\f.txt", "data");
    const ShareCase &c = GetParam();
    HANDLE first = Open(u"\\f.txt", c.firstAccess, c.firstShare);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    HANDLE second = Open(u"\\F.TXT", c.secondAccess, c.secondShare);
    EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.secondOpens);
    if (second == INVALID_HANDLE_VALUE) {
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    }
    EXPECT_EQ(DeleteFileW(u"\\f.txt"), FALSE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    CloseHandle(second);
    CloseHandle(first);
    EXPECT_EQ(ce_host::Held().handles, 0u);
    EXPECT_TRUE(DeleteFileW(u"\\f.txt"));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Sharing,
    testing::Values(ShareCase{GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, true},
                    ShareCase{GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, kShareBoth, false},
                    ShareCase{GENERIC_READ, 0, GENERIC_READ, kShareBoth, false},
                    ShareCase{GENERIC_WRITE, kShareBoth, GENERIC_READ, FILE_SHARE_READ, false},
                    ShareCase{GENERIC_READ, kShareBoth, GENERIC_WRITE, FILE_SHARE_READ, true},
                    ShareCase{kReadWrite, kShareBoth, kReadWrite, kShareBoth, true},
                    ShareCase{GENERIC_READ, FILE_SHARE_READ, 0, 0, true},
                    // An open file cannot be deleted even when its sharing allows a delete.
                    ShareCase{GENERIC_READ, kShareAll, GENERIC_READ, kShareAll, true},
                    ShareCase{0, kShareAll, GENERIC_WRITE, 0, true}));

TEST(LockedFile, IsHeldElsewhereWithoutSharing)
{
    qs_test::TempDevice device(json{{"files", {{"locked", {"\\flashdisk\\busy.txt"}}}}});
    device.PutFile("\\flashdisk\\busy.txt", "kept");
    const std::pair<const char *, std::function<bool()>> attempts[] = {
        {"open",
         [] {
             return Open(u"\\FlashDisk\\Busy.txt", GENERIC_READ, kShareBoth) !=
                    INVALID_HANDLE_VALUE;
         }},
        {"delete", [] { return DeleteFileW(u"\\flashdisk\\busy.txt"); }},
        {"move", [] { return MoveFileW(u"\\flashdisk\\busy.txt", u"\\flashdisk\\moved.txt"); }},
        {"copy",
         [] { return CopyFileExW(u"flashdisk\\busy.txt", u"\\copy.txt", NULL, NULL, NULL, 0); }}};
    for (const auto &[what, attempt] : attempts) {
        EXPECT_FALSE(attempt()) << what;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION)) << what;
    }
    EXPECT_EQ(device.ReadFile("\\flashdisk\\busy.txt"), "kept");
    EXPECT_FALSE(std::filesystem::exists(device.Host("\\copy.txt")));
}

struct DispositionCase {
    DWORD disposition;
    bool exists;
    DWORD error;  // after the call, success or not; kSentinel: left as it was
    std::string content;
};

class Disposition : public testing::TestWithParam<DispositionCase> {};

TEST_P(Disposition, OpensCreatesOrRefuses)
{
    qs_test::TempDevice device;
    const DispositionCase &c = GetParam();
    if (c.exists)
        device.PutFile("\\f.txt", "old");
    SetLastError(kSentinel);
    HANDLE h = Open(u"\\f.txt", kReadWrite, 0, c.disposition);
    EXPECT_EQ(GetLastError(), c.error);
    bool refused =
        c.error != kSentinel && c.error != ERROR_SUCCESS && c.error != ERROR_ALREADY_EXISTS;
    EXPECT_EQ(h == INVALID_HANDLE_VALUE, refused);
    CloseHandle(h);
    EXPECT_EQ(std::filesystem::exists(device.Host("\\f.txt")), c.exists || !refused);
    EXPECT_EQ(device.ReadFile("\\f.txt"), c.content);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Disposition,
    testing::Values(DispositionCase{CREATE_NEW, true, ERROR_FILE_EXISTS, "old"},
                    DispositionCase{CREATE_NEW, false, kSentinel, ""},
                    DispositionCase{CREATE_ALWAYS, true, ERROR_ALREADY_EXISTS, ""},
                    DispositionCase{CREATE_ALWAYS, false, 0, ""},
                    DispositionCase{OPEN_ALWAYS, true, ERROR_ALREADY_EXISTS, "old"},
                    DispositionCase{OPEN_ALWAYS, false, 0, ""},
                    DispositionCase{OPEN_EXISTING, true, kSentinel, "old"},
                    DispositionCase{OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND, ""},
                    DispositionCase{TRUNCATE_EXISTING, true, kSentinel, ""}));

class OpenFile : public testing::Test {
protected:
    OpenFile() { device_.PutFile("\\f.bin", "0123456789"); }
    std::string Read(HANDLE h, DWORD size)
    {
        std::string buffer(size, '\0');
        DWORD read = 99;
        EXPECT_TRUE(ReadFile(h, buffer.data(), size, &read, NULL));
        return buffer.substr(0, read);
    }
    qs_test::TempDevice device_;
};

TEST_F(OpenFile, ReadsAtTheEndAreShortAndSucceed)
{
    HANDLE h = Open(u"\\f.bin", GENERIC_READ);
    EXPECT_EQ(Read(h, 4), "0123");
    EXPECT_EQ(Read(h, 100), "456789");
    EXPECT_EQ(Read(h, 100), "");
    DWORD written = 99;
    EXPECT_FALSE(WriteFile(h, "x", 1, &written, NULL));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(written, 0u);
    CloseHandle(h);
    EXPECT_EQ(Open(u"\\", GENERIC_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

// The device has no overlapped I/O: without a byte-count pointer nothing is read or written.
TEST_F(OpenFile, ReadAndWriteNeedTheirByteCount)
{
    HANDLE h = Open(u"\\f.bin", kReadWrite);
    char buffer[4] = {'-', '-', '-', '-'};
    EXPECT_FALSE(ReadFile(h, buffer, 4, NULL, NULL));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(std::string(buffer, 4), "----");
    EXPECT_FALSE(WriteFile(h, "abcd", 4, NULL, NULL));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Read(h, 4), "0123");  // the position did not move
    CloseHandle(h);
    EXPECT_EQ(device_.ReadFile("\\f.bin"), "0123456789");
    std::vector<std::string> misuses;
    for (const auto &event : device_.EventsOf("misuse"))
        misuses.push_back(event["call"].get<std::string>() + ": " +
                          event["what"].get<std::string>());
    EXPECT_EQ(misuses, (std::vector<std::string>{"ReadFile: no byte-count pointer",
                                                 "WriteFile: no byte-count pointer"}));
}

TEST_F(OpenFile, SeeksAndRefusesNegativePositions)
{
    HANDLE h = Open(u"\\f.bin", GENERIC_READ);
    const struct {
        LONG distance;
        DWORD method;
        DWORD position;  // INVALID_SET_FILE_POINTER: refused, position kept
    } seeks[] = {{4, FILE_BEGIN, 4},
                 {-5, FILE_CURRENT, INVALID_SET_FILE_POINTER},
                 {2, FILE_CURRENT, 6},
                 {-10, FILE_END, 0},
                 {-11, FILE_END, INVALID_SET_FILE_POINTER},
                 {-1, FILE_BEGIN, INVALID_SET_FILE_POINTER},
                 {20, FILE_BEGIN, 20}};
    DWORD expected = 0;
    for (const auto &seek : seeks) {
        DWORD position = SetFilePointer(h, seek.distance, NULL, seek.method);
        EXPECT_EQ(position, seek.position) << seek.distance;
        EXPECT_EQ(GetLastError(), seek.position == INVALID_SET_FILE_POINTER
                                      ? DWORD(ERROR_NEGATIVE_SEEK)
                                      : DWORD(ERROR_SUCCESS));  // a success clears it
        if (seek.position != INVALID_SET_FILE_POINTER)
            expected = seek.position;
        EXPECT_EQ(SetFilePointer(h, 0, NULL, FILE_CURRENT), expected);
    }
    EXPECT_EQ(Read(h, 4), "");  // past the end
    CloseHandle(h);
}

TEST_F(OpenFile, SizesBeyondFourGibibytesUseTheHighWord)
{
    constexpr uint64_t kSize = (uint64_t{5} << 30) + 3;  // sparse on the host
    std::filesystem::resize_file(device_.Host("\\f.bin"), kSize);
    HANDLE h = Open(u"\\f.bin", GENERIC_READ);
    DWORD high = 0;
    EXPECT_EQ(GetFileSize(h, &high), DWORD(kSize));
    EXPECT_EQ(high, 1u);
    LONG seekHigh = 1;  // one byte before the end, 4 GiB and more from the start
    EXPECT_EQ(SetFilePointer(h, LONG(DWORD(kSize - 1)), &seekHigh, FILE_BEGIN), DWORD(kSize - 1));
    EXPECT_EQ(seekHigh, 1);
    EXPECT_EQ(Read(h, 8).size(), 1u);
    seekHigh = -2;  // 8 GiB back from the end
    EXPECT_EQ(SetFilePointer(h, 0, &seekHigh, FILE_END), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NEGATIVE_SEEK));
    CloseHandle(h);
}

// FILETIME ticks of 2026-12-05T08:30:00Z, where the clock of every test device starts.
constexpr uint64_t kBootTicks = 134409330000000000ull;
constexpr uint64_t kTicksPerMs = 10000;

struct Times {
    uint64_t createdMs, writtenMs;  // after the clock's start
    bool operator==(const Times &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Times &t)
{
    return os << "{created " << t.createdMs << " ms, written " << t.writtenMs << " ms}";
}

Times TimesOf(const char16_t *path)
{
    WIN32_FIND_DATAW data{};
    HANDLE search = FindFirstFileW(path, &data);
    EXPECT_NE(search, INVALID_HANDLE_VALUE) << qs_test::Narrow(path);
    FindClose(search);
    auto ms = [](const FILETIME &t) {
        uint64_t ticks = (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
        return (ticks - kBootTicks) / kTicksPerMs;
    };
    return {ms(data.ftCreationTime), ms(data.ftLastWriteTime)};
}

// Entries take their times from the virtual clock and keep them between boots; a copy takes the
// source's last-write time, a rename keeps both, a folder keeps its creation time.
TEST(FileTimes, ComeFromTheVirtualClockAndLastBetweenBoots)
{
    qs_test::TempDevice device;
    Sleep(1500);
    HANDLE h = Open(u"\\f.txt", GENERIC_WRITE, 0, CREATE_NEW);
    Sleep(2000);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "abc", 3, &written, NULL));
    Sleep(500);
    CloseHandle(h);
    EXPECT_EQ(TimesOf(u"\\f.txt"), (Times{1500, 3500}));
    ASSERT_TRUE(CreateDirectoryW(u"\\dir", NULL));  // at 4000
    Sleep(100);
    CloseHandle(Open(u"\\dir\\g.txt", GENERIC_WRITE, 0, CREATE_NEW));
    EXPECT_EQ(TimesOf(u"\\dir"), (Times{4000, 4000}));
    EXPECT_EQ(TimesOf(u"\\dir\\g.txt"), (Times{4100, 4100}));

    device.Reload();  // the next boot's clock starts again at 08:30:00
    EXPECT_EQ(TimesOf(u"\\f.txt"), (Times{1500, 3500}));
    Sleep(700);
    ASSERT_TRUE(CopyFileExW(u"\\f.txt", u"\\copy.txt", NULL, NULL, NULL, 0));
    EXPECT_EQ(TimesOf(u"\\copy.txt"), (Times{700, 3500}));
    Sleep(50);
    ASSERT_TRUE(MoveFileW(u"\\copy.txt", u"\\moved.txt"));
    EXPECT_EQ(TimesOf(u"\\moved.txt"), (Times{700, 3500}));
    CloseHandle(Open(u"\\f.txt", GENERIC_WRITE, 0, CREATE_ALWAYS));  // replaced, not new
    EXPECT_EQ(TimesOf(u"\\f.txt"), (Times{1500, 750}));
    EXPECT_EQ(TimesOf(u"\\dir"), (Times{4000, 4000}));
}

}  // namespace
