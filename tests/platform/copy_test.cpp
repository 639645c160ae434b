// Copying with progress, overwriting, aborting; the error codes of moving, folders and deleting.
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>

#include <gtest/gtest.h>

#include "platform/ce.h"
#include "platform/host/host.h"
#include "tests/support/temp_device.h"

namespace {

namespace fs = std::filesystem;

// What the progress routine saw, and how it answers on one of its calls (1-based; 0: never).
struct Progress {
    explicit Progress(uint64_t size, size_t answerOnCall = 0, DWORD answer = PROGRESS_CONTINUE,
                      bool setCancel = false)
        : size(size), answerOnCall(answerOnCall), answer(answer), setCancel(setCancel)
    {
    }
    uint64_t size;
    size_t answerOnCall;
    DWORD answer;
    bool setCancel;  // sets *pbCancel instead of answering
    BOOL cancel = FALSE;
    std::vector<uint64_t> done;
    std::vector<DWORD> reasons;
};

DWORD CALLBACK Record(LARGE_INTEGER total, LARGE_INTEGER done, LARGE_INTEGER streamSize,
                      LARGE_INTEGER streamDone, DWORD, DWORD reason, HANDLE, HANDLE, LPVOID data)
{
    auto &progress = *static_cast<Progress *>(data);
    EXPECT_EQ(uint64_t(total.QuadPart), progress.size);
    EXPECT_EQ(streamSize.QuadPart, total.QuadPart);
    EXPECT_EQ(streamDone.QuadPart, done.QuadPart);
    progress.done.push_back(done.QuadPart);
    progress.reasons.push_back(reason);
    if (progress.done.size() != progress.answerOnCall)
        return PROGRESS_CONTINUE;
    progress.cancel = progress.setCancel;
    return progress.setCancel ? PROGRESS_CONTINUE : progress.answer;
}

BOOL Copy(Progress &progress, DWORD flags = 0)
{
    return CopyFileExW(u"\\src.bin", u"\\dst.bin", Record, &progress, &progress.cancel, flags);
}

struct SizeCase {
    uint64_t size;
    std::vector<uint64_t> done;
};

class CopyProgress : public testing::TestWithParam<SizeCase> {};

TEST_P(CopyProgress, FirstAtZeroThenOnePerChunkUpToTheSize)
{
    qs_test::TempDevice device;
    std::string data(GetParam().size, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = char(i * 7 + i / 251);
    device.PutFile("\\src.bin", data);
    ASSERT_TRUE(SetFileAttributesW(u"\\src.bin", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    Progress progress(GetParam().size);
    ASSERT_TRUE(Copy(progress));
    EXPECT_EQ(progress.done, GetParam().done);
    std::vector<DWORD> reasons(progress.done.size(), CALLBACK_CHUNK_FINISHED);
    reasons[0] = CALLBACK_STREAM_SWITCH;
    EXPECT_EQ(progress.reasons, reasons);
    EXPECT_EQ(device.ReadFile("\\dst.bin"), data);
    WIN32_FIND_DATAW found;
    FindClose(FindFirstFileW(u"\\dst.bin", &found));
    EXPECT_EQ(found.dwFileAttributes, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(device.Tree(), (std::set<std::string>{"dst.bin", "src.bin"}));
    EXPECT_EQ(ce_host::Held().handles, 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, CopyProgress,
                         testing::Values(SizeCase{0, {0}}, SizeCase{1, {0, 1}},
                                         SizeCase{65536, {0, 65536}},
                                         SizeCase{65537, {0, 65536, 65537}},
                                         SizeCase{200000, {0, 65536, 131072, 196608, 200000}}));

// Bytes that differ from chunk to chunk, so that a partial copy shows which chunks it holds.
std::string Pattern(size_t size)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = char('a' + (i / 65536) * 3 + i % 3);
    return data;
}

DWORD FoundAttributes(const char16_t *path)
{
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(path, &found);
    if (search == INVALID_HANDLE_VALUE)
        return INVALID_FILE_ATTRIBUTES;
    FindClose(search);
    return found.dwFileAttributes;
}

struct AbortCase {
    const char *name;
    size_t answerOnCall;
    DWORD answer;
    bool setCancel;
    bool destinationExists;
    std::optional<size_t> kept;  // bytes of the source the destination holds; none: deleted
};

class CopyAbort : public testing::TestWithParam<AbortCase> {};

// The destination is emptied before the first byte moves: a cancel deletes it, a stop leaves what
// was copied, and an old destination is gone either way. What is left is a normal file, so the
// next copy replaces it even though the source is read-only and hidden.
TEST_P(CopyAbort, EndsWithRequestAbortedAndNeverKeepsTheOldDestination)
{
    const AbortCase &c = GetParam();
    qs_test::TempDevice device;
    std::string data = Pattern(200000);
    device.PutFile("\\src.bin", data);
    DWORD sourceAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
    ASSERT_TRUE(SetFileAttributesW(u"\\src.bin", sourceAttributes));
    if (c.destinationExists)
        device.PutFile("\\dst.bin", "old");
    Progress progress(200000, c.answerOnCall, c.answer, c.setCancel);
    EXPECT_FALSE(Copy(progress));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_REQUEST_ABORTED));
    EXPECT_EQ(progress.done.size(), c.answerOnCall);
    EXPECT_EQ(ce_host::Held().handles, 0u);
    if (!c.kept) {
        EXPECT_EQ(device.Tree(), std::set<std::string>{"src.bin"});
        return;
    }
    EXPECT_EQ(device.ReadFile("\\dst.bin"), data.substr(0, *c.kept));
    EXPECT_EQ(FoundAttributes(u"\\dst.bin"), DWORD(FILE_ATTRIBUTE_ARCHIVE));
    Progress again(200000);
    EXPECT_TRUE(Copy(again));
    EXPECT_EQ(device.ReadFile("\\dst.bin"), data);
    EXPECT_EQ(FoundAttributes(u"\\dst.bin"), sourceAttributes);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CopyAbort,
    testing::Values(
        AbortCase{"CancelAtStart", 1, PROGRESS_CANCEL, false, false, std::nullopt},
        AbortCase{"CancelAtStartOverExisting", 1, PROGRESS_CANCEL, false, true, std::nullopt},
        AbortCase{"CancelOverExisting", 3, PROGRESS_CANCEL, false, true, std::nullopt},
        AbortCase{"CancelFlag", 2, PROGRESS_CONTINUE, true, false, std::nullopt},
        AbortCase{"CancelFlagOverExisting", 2, PROGRESS_CONTINUE, true, true, std::nullopt},
        AbortCase{"StopAtStartOverExisting", 1, PROGRESS_STOP, false, true, 0},
        AbortCase{"StopAfterAChunk", 2, PROGRESS_STOP, false, false, 65536},
        AbortCase{"StopAfterTwoChunksOverExisting", 3, PROGRESS_STOP, false, true, 131072}),
    [](const auto &info) { return std::string(info.param.name); });

// A write that fails part way (the host's file-size limit stands in for a full volume) ends the
// copy with that error and leaves the bytes written so far.
TEST(CopyFailure, FailedWriteLeavesThePartialDestination)
{
    qs_test::TempDevice device;
    std::string data = Pattern(200000);
    device.PutFile("\\src.bin", data);
    device.PutFile("\\dst.bin", std::string(300000, 'o'));
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 100000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    BOOL copied = CopyFileExW(u"\\src.bin", u"\\dst.bin", NULL, NULL, NULL, 0);
    DWORD error = GetLastError();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedHandler);
    EXPECT_FALSE(copied);
    EXPECT_EQ(error, 112u);  // ERROR_DISK_FULL
    EXPECT_EQ(device.ReadFile("\\dst.bin"), data.substr(0, 100000));
    EXPECT_EQ(FoundAttributes(u"\\dst.bin"), DWORD(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(ce_host::Held().handles, 0u);
}

// Copies of a source that device.json names in files.corrupt_copies come out with one byte
// inverted, as many times as it says; later copies are clean. Each corrupted copy is journaled.
struct CorruptCase {
    const char *name;
    const char *configPath;  // as device.json writes it; the source is \NAND\apps\a.dll
    uint32_t copies;
    uint64_t offset;
    size_t size;
    uint32_t corrupted;  // how many of five copies differ from the source
};

class CopyCorruption : public testing::TestWithParam<CorruptCase> {};

TEST_P(CopyCorruption, InvertsOneByteOfTheFirstCopiesThenCopiesClean)
{
    const CorruptCase &c = GetParam();
    nlohmann::json fault = {{"path", c.configPath}, {"copies", c.copies}, {"offset", c.offset}};
    qs_test::TempDevice device(nlohmann::json{{"files", {{"corrupt_copies", {fault}}}}});
    std::string data = Pattern(c.size);
    device.PutFile("\\NAND\\apps\\a.dll", data);
    std::string corrupt = data;
    if (c.corrupted > 0)
        corrupt[c.offset] = char(corrupt[c.offset] ^ 0xFF);
    for (uint32_t copy = 0; copy < 5; ++copy) {
        SetLastError(ERROR_SUCCESS);
        ASSERT_TRUE(CopyFileExW(u"\\nand\\APPS\\A.DLL", u"\\dst.bin", NULL, NULL, NULL, 0));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
        EXPECT_EQ(device.ReadFile("\\dst.bin"), copy < c.corrupted ? corrupt : data)
            << "copy " << copy;
    }
    std::vector<nlohmann::ordered_json> faults = device.EventsOf("fault");
    ASSERT_EQ(faults.size(), c.corrupted);
    for (const auto &event : faults) {
        EXPECT_EQ(event["device"], "files");
        EXPECT_EQ(event["what"], std::string("copy of ") + c.configPath + " corrupted at byte " +
                                     std::to_string(c.offset));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CopyCorruption,
    testing::Values(CorruptCase{"TwiceThenClean", "\\NAND\\apps\\a.dll", 2, 10, 100, 2},
                    CorruptCase{"PathInOtherCaseAndSlashes", "nand/Apps/A.dll/", 1, 0, 100, 1},
                    CorruptCase{"ByteInALaterChunk", "\\NAND\\apps\\a.dll", 3, 70000, 200000, 3},
                    CorruptCase{"LastByte", "\\NAND\\apps\\a.dll", 1, 99, 100, 1},
                    CorruptCase{"OffsetBeyondTheFile", "\\NAND\\apps\\a.dll", 2, 100, 100, 0},
                    CorruptCase{"OtherSource", "\\NAND\\apps\\b.dll", 2, 10, 100, 0}),
    [](const auto &info) { return std::string(info.param.name); });

// A source named in files.fail_copies fails every copy with ERROR_WRITE_FAULT once after_bytes
// are written: the destination keeps exactly those bytes as a plain file, and the progress
// routine has seen only the chunks finished before the fault.
struct WriteFaultCase {
    const char *name;
    uint64_t afterBytes;
    size_t size;
    std::vector<uint64_t> done;  // what the progress routine saw
    bool fails;
};

class CopyWriteFault : public testing::TestWithParam<WriteFaultCase> {};

TEST_P(CopyWriteFault, LeavesExactlyTheBytesWrittenBeforeIt)
{
    const WriteFaultCase &c = GetParam();
    nlohmann::json fault = {{"path", "\\APP_DATA\\apps\\b.dat"}, {"after_bytes", c.afterBytes}};
    qs_test::TempDevice device(nlohmann::json{{"files", {{"fail_copies", {fault}}}}});
    std::string data = Pattern(c.size);
    device.PutFile("\\APP_DATA\\apps\\b.dat", data);
    ASSERT_TRUE(SetFileAttributesW(u"\\APP_DATA\\apps\\b.dat", FILE_ATTRIBUTE_HIDDEN));
    device.PutFile("\\dst.bin", std::string(300000, 'o'));
    for (int attempt = 0; attempt < 2; ++attempt) {
        Progress progress(c.size);
        BOOL copied = CopyFileExW(u"\\APP_DATA\\apps\\b.dat", u"\\dst.bin", Record, &progress,
                                  &progress.cancel, 0);
        EXPECT_EQ(copied != FALSE, !c.fails);
        EXPECT_EQ(progress.done, c.done);
        EXPECT_EQ(ce_host::Held().handles, 0u);
        if (!c.fails) {
            EXPECT_EQ(device.ReadFile("\\dst.bin"), data);
            EXPECT_TRUE(device.EventsOf("fault").empty());
            return;
        }
        EXPECT_EQ(GetLastError(), 29u);  // ERROR_WRITE_FAULT
        EXPECT_EQ(device.ReadFile("\\dst.bin"), data.substr(0, c.afterBytes));
        EXPECT_EQ(FoundAttributes(u"\\dst.bin"), DWORD(FILE_ATTRIBUTE_ARCHIVE));
    }
    std::vector<nlohmann::ordered_json> faults = device.EventsOf("fault");
    ASSERT_EQ(faults.size(), 2u);
    EXPECT_EQ(faults[1]["what"], "copy of \\APP_DATA\\apps\\b.dat failed after " +
                                     std::to_string(c.afterBytes) + " bytes");
}

INSTANTIATE_TEST_SUITE_P(
    Table, CopyWriteFault,
    testing::Values(
        WriteFaultCase{"InTheSecondChunk", 70000, 200000, {0, 65536}, true},
        WriteFaultCase{"AtTheFirstByte", 0, 200000, {0}, true},
        WriteFaultCase{"AtAChunkBoundary", 65536, 200000, {0, 65536}, true},
        WriteFaultCase{"OneByteShort", 199999, 200000, {0, 65536, 131072, 196608}, true},
        WriteFaultCase{
            "SourceNoLonger", 200000, 200000, {0, 65536, 131072, 196608, 200000}, false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Copy, OverwritesUnlessToldNotToAndQuietStopsTheCalls)
{
    qs_test::TempDevice device;
    device.PutFile("\\src.bin", std::string(100000, 'n'));
    device.PutFile("\\dst.bin", "old");
    Progress progress(100000);
    EXPECT_FALSE(Copy(progress, COPY_FILE_FAIL_IF_EXISTS));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_EXISTS));
    EXPECT_EQ(device.ReadFile("\\dst.bin"), "old");

    Progress quiet(100000, 1, PROGRESS_QUIET);
    EXPECT_TRUE(Copy(quiet));
    EXPECT_EQ(quiet.done, std::vector<uint64_t>{0});
    EXPECT_EQ(device.ReadFile("\\dst.bin"), std::string(100000, 'n'));
}

struct EntryCase {
    const char *name;
    std::function<BOOL()> call;
    DWORD error;             // ERROR_SUCCESS when the call succeeds
    const char *afterwards;  // an entry a success leaves
};

class EntryCalls : public testing::TestWithParam<EntryCase> {};

TEST_P(EntryCalls, SucceedOrFailWithTheirCodeAndChangeNothing)
{
    qs_test::TempDevice device;
    device.PutFile("\\d\\f.txt", "f");
    device.PutFile("\\d\\g.txt", "g");
    device.PutFile("\\d\\sub\\x.txt", "x");
    device.PutFolder("\\empty");
    std::set<std::string> before = device.Tree();
    const EntryCase &c = GetParam();
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(c.call() != FALSE, c.error == ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), c.error);
    if (c.error != ERROR_SUCCESS) {
        EXPECT_EQ(device.Tree(), before);
    } else if (c.afterwards) {
        EXPECT_TRUE(device.Tree().contains(c.afterwards));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, EntryCalls,
    testing::Values(
        EntryCase{"MoveFile", [] { return MoveFileW(u"\\D\\F.txt", u"\\empty\\New.txt"); }, 0,
                  "empty/New.txt"},
        EntryCase{"MoveFolder", [] { return MoveFileW(u"\\d", u"\\empty\\d2"); }, 0,
                  "empty/d2/sub/x.txt"},
        EntryCase{"MoveToOtherCase", [] { return MoveFileW(u"\\d\\f.txt", u"\\d\\F.TXT"); }, 0,
                  "d/F.TXT"},
        EntryCase{"MoveMissing", [] { return MoveFileW(u"\\d\\none", u"\\d\\n"); },
                  ERROR_FILE_NOT_FOUND, nullptr},
        EntryCase{"MoveOntoExisting", [] { return MoveFileW(u"\\d\\f.txt", u"\\d\\G.TXT"); },
                  ERROR_ALREADY_EXISTS, nullptr},
        EntryCase{"MoveIntoMissingFolder", [] { return MoveFileW(u"\\d\\f.txt", u"\\no\\f"); },
                  ERROR_PATH_NOT_FOUND, nullptr},
        EntryCase{"MoveFolderIntoItself", [] { return MoveFileW(u"\\d", u"\\d\\sub\\d"); },
                  ERROR_ACCESS_DENIED, nullptr},
        EntryCase{"CreateFolder", [] { return CreateDirectoryW(u"\\d\\New\\", NULL); }, 0, "d/New"},
        EntryCase{"CreateExistingFolder", [] { return CreateDirectoryW(u"\\D\\SUB", NULL); },
                  ERROR_ALREADY_EXISTS, nullptr},
        EntryCase{"CreateInMissingFolder", [] { return CreateDirectoryW(u"\\no\\x", NULL); },
                  ERROR_PATH_NOT_FOUND, nullptr},
        EntryCase{"RemoveEmptyFolder", [] { return RemoveDirectoryW(u"\\EMPTY"); }, 0, nullptr},
        EntryCase{"RemoveFullFolder", [] { return RemoveDirectoryW(u"\\d\\sub"); },
                  ERROR_DIR_NOT_EMPTY, nullptr},
        EntryCase{"RemoveMissingFolder", [] { return RemoveDirectoryW(u"\\none"); },
                  ERROR_FILE_NOT_FOUND, nullptr},
        EntryCase{"RemoveFile", [] { return RemoveDirectoryW(u"\\d\\f.txt"); }, ERROR_DIRECTORY,
                  nullptr},
        EntryCase{"DeleteFolder", [] { return DeleteFileW(u"\\d\\sub"); }, ERROR_ACCESS_DENIED,
                  nullptr},
        EntryCase{"DeleteMissing", [] { return DeleteFileW(u"\\d\\none"); }, ERROR_FILE_NOT_FOUND,
                  nullptr},
        EntryCase{"DeleteInMissingFolder", [] { return DeleteFileW(u"\\no\\f.txt"); },
                  ERROR_PATH_NOT_FOUND, nullptr},
        EntryCase{"CopyOntoItself",
                  [] { return CopyFileExW(u"\\d\\f.txt", u"\\D\\F.TXT", NULL, NULL, NULL, 0); },
                  ERROR_SHARING_VIOLATION, nullptr}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
