// What a boot still holds (handles, heap blocks, the heap limit and peak), heap misuse, and the
// last-error code that successful calls leave.
#include <functional>
#include <optional>

#include <gtest/gtest.h>

#include "platform/ce.h"
#include "platform/host/host.h"
#include "tests/support/temp_device.h"

namespace {

using nlohmann::json;

TEST(Bookkeeping, LeakedHandleAndHeapBlockAreReported)
{
    qs_test::TempDevice device;
    device.PutFile("\\NAND\\notes.txt", "abc");
    HANDLE file = CreateFileW(u"\\NAND\\notes.txt", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    HLOCAL block = LocalAlloc(LMEM_FIXED, 512);
    ASSERT_NE(block, nullptr);

    ce_host::Holdings held = ce_host::Held();
    EXPECT_EQ(held.handles, 1u);
    EXPECT_EQ(held.heapBlocks, 1u);
    EXPECT_EQ(held.heapBytes, 512u);
    EXPECT_EQ(ce_host::ReportLeaks(), 2u);
    std::vector<std::string> leaks;
    for (const auto &event : device.EventsOf("leak"))
        leaks.push_back(event["what"]);
    EXPECT_EQ(leaks,
              (std::vector<std::string>{"file \\NAND\\notes.txt", "heap block of 512 bytes"}));

    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(LocalFree(block), nullptr);
    EXPECT_EQ(ce_host::Held().handles, 0u);
    EXPECT_EQ(ce_host::Held().heapBlocks, 0u);
    EXPECT_TRUE(ce_host::DescribeHeld().empty());
}

TEST(Bookkeeping, ClosingTwiceOrANullHandleFails)
{
    qs_test::TempDevice device;
    device.PutFile("\\a.txt", "");
    HANDLE file = CreateFileW(u"\\a.txt", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(NULL));
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
}

TEST(Bookkeeping, HeapLimitRefusesAnAllocationAndKeepsThePeak)
{
    qs_test::TempDevice device(json{{"heap", {{"limit_bytes", 1000}}}});
    HLOCAL a = LocalAlloc(LMEM_FIXED, 600);
    ASSERT_NE(a, nullptr);
    SetLastError(0);
    EXPECT_EQ(LocalAlloc(LMEM_FIXED, 401), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
    HLOCAL b = LocalAlloc(LPTR, 400);  // exactly up to the limit
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(static_cast<BYTE *>(b)[399], 0);  // LPTR zeroes the block
    LocalFree(a);
    LocalFree(b);
    EXPECT_EQ(ce_host::Held().heapBytes, 0u);
    EXPECT_EQ(ce_host::Held().peakHeapBytes, 1000u);
}

TEST(Bookkeeping, ZeroByteAllocationIsAValidBlock)
{
    qs_test::TempDevice device(json{{"heap", {{"limit_bytes", 0}}}});
    HLOCAL a = LocalAlloc(LMEM_FIXED, 0);
    HLOCAL b = LocalAlloc(LMEM_FIXED, 0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(ce_host::Held().heapBlocks, 2u);
    EXPECT_EQ(LocalFree(a), nullptr);
    EXPECT_EQ(LocalFree(b), nullptr);
}

std::vector<std::string> Misuses(qs_test::TempDevice &device)
{
    std::vector<std::string> seen;
    for (const auto &event : device.EventsOf("misuse"))
        seen.push_back(event["call"].get<std::string>() + ": " + event["what"].get<std::string>());
    return seen;
}

// Freeing what is not a live block, or asking for a movable block, fails and is journaled; the
// failed free gives the pointer back.
TEST(Bookkeeping, HeapMisuseFailsAndIsJournaled)
{
    qs_test::TempDevice device;
    int notABlock = 0;
    EXPECT_EQ(LocalFree(&notABlock), &notABlock);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    HLOCAL block = LocalAlloc(LMEM_FIXED, 16);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(LocalFree(block), nullptr);
    EXPECT_EQ(LocalFree(block), block);  // freed twice
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    for (UINT flags : {0x0002u /* LMEM_MOVEABLE */, 0x0042u /* LHND */, 0x2000u}) {
        SetLastError(0);
        EXPECT_EQ(LocalAlloc(flags, 16), nullptr) << flags;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER)) << flags;
    }
    EXPECT_EQ(ce_host::Held().heapBlocks, 0u);
    EXPECT_EQ(Misuses(device),
              (std::vector<std::string>{"LocalFree: not a live heap block",
                                        "LocalFree: not a live heap block",
                                        "LocalAlloc: flags 2: only LMEM_FIXED and LMEM_ZEROINIT",
                                        "LocalAlloc: flags 66: only LMEM_FIXED and LMEM_ZEROINIT",
                                        "LocalAlloc: flags 8192: only LMEM_FIXED and "
                                        "LMEM_ZEROINIT"}));
    EXPECT_NE(LocalAlloc(LMEM_ZEROINIT, 16), nullptr);  // LMEM_FIXED is 0
    EXPECT_EQ(Misuses(device).size(), 5u);
}

struct LimitCase {
    const char *name;
    json heap;
    uint64_t fits;  // the largest allocation that succeeds
    bool limited;   // one byte more fails
};

class HeapLimit : public testing::TestWithParam<LimitCase> {};

TEST_P(HeapLimit, DefaultsToADeviceSizedRamAndNullLiftsIt)
{
    qs_test::TempDevice device(json{{"heap", GetParam().heap}});
    HLOCAL held = LocalAlloc(LMEM_FIXED, GetParam().fits);
    ASSERT_NE(held, nullptr);
    HLOCAL more = LocalAlloc(LMEM_FIXED, 1);
    EXPECT_EQ(more == nullptr, GetParam().limited);
    if (!more) {
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
    }
    LocalFree(more);
    LocalFree(held);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HeapLimit,
    testing::Values(LimitCase{"Absent", json::object(), 64u << 20, true},
                    LimitCase{"Given", json{{"limit_bytes", 4096}}, 4096, true},
                    LimitCase{"Null", json{{"limit_bytes", nullptr}}, 64u << 20, false}),
    [](const auto &info) { return std::string(info.param.name); });

// Each boot is a freshly started device: the same calls give the same handle values and ids.
TEST(Bookkeeping, CountersStartAfreshOnEachAttach)
{
    qs_test::TempDevice device;
    device.PutFile("\\NAND\\app.exe", "MZ");
    std::vector<uintptr_t> boots[2];
    for (auto &seen : boots) {
        HANDLE file =
            CreateFileW(u"\\NAND\\app.exe", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        ASSERT_TRUE(CreateProcessW(u"\\NAND\\app.exe", NULL, NULL, NULL, FALSE, 0, NULL, NULL,
                                   &startup, &process));
        seen = {reinterpret_cast<uintptr_t>(file), reinterpret_cast<uintptr_t>(process.hProcess),
                reinterpret_cast<uintptr_t>(process.hThread), process.dwProcessId,
                process.dwThreadId};
        device.Reload();
    }
    EXPECT_EQ(boots[0], boots[1]);
}

TEST(Bookkeeping, AttachingANewBootStartsEmpty)
{
    qs_test::TempDevice device;
    LocalAlloc(LMEM_FIXED, 64);
    device.Reload();
    EXPECT_EQ(ce_host::Held().heapBlocks, 0u);
    EXPECT_EQ(ce_host::Held().peakHeapBytes, 0u);
}

}  // namespace

namespace {

constexpr DWORD kSentinel = 0xBEEF;

struct SuccessCase {
    const char *name;
    std::function<bool()> call;      // made with the sentinel as the last error; true on success
    std::optional<DWORD> setsError;  // the value a success documents, else the sentinel stays
};

class SuccessKeepsLastError : public testing::TestWithParam<SuccessCase> {
protected:
    SuccessKeepsLastError()
    {
        device_.PutFile("\\d\\f.txt", "0123456789");
        device_.PutFile("\\d\\cue.wav", qs_test::Wave(5));
        device_.PutFile("\\d\\app.exe", "MZ");
        device_.PutFolder("\\d\\empty");
    }
    qs_test::TempDevice device_;
};

HANDLE OpenF(DWORD access = GENERIC_READ | GENERIC_WRITE)
{
    return CreateFileW(u"\\d\\f.txt", access, 0, NULL, OPEN_EXISTING, 0, NULL);
}

// Closes what an open gave without disturbing the last error the open left.
bool Opened(HANDLE h)
{
    DWORD error = GetLastError();
    bool ok = h != INVALID_HANDLE_VALUE && CloseHandle(h);
    SetLastError(error);
    return ok;
}

TEST_P(SuccessKeepsLastError, UnlessTheCallDocumentsAValue)
{
    SetLastError(kSentinel);
    ASSERT_TRUE(GetParam().call());
    EXPECT_EQ(GetLastError(), GetParam().setsError.value_or(kSentinel));
}

// Each call opens what it needs first and sets the sentinel just before the call under test.
template <typename F>
std::function<bool()> WithFile(F &&call)
{
    return [call] {
        HANDLE h = OpenF();
        SetLastError(kSentinel);
        bool ok = call(h);
        DWORD error = GetLastError();
        CloseHandle(h);
        SetLastError(error);
        return ok;
    };
}

INSTANTIATE_TEST_SUITE_P(
    Table, SuccessKeepsLastError,
    testing::Values(
        SuccessCase{"OpenExisting", [] { return Opened(OpenF()); }, std::nullopt},
        SuccessCase{"CreateNew",
                    [] {
                        return Opened(CreateFileW(u"\\d\\n.txt", GENERIC_WRITE, 0, NULL, CREATE_NEW,
                                                  0, NULL));
                    },
                    std::nullopt},
        SuccessCase{"TruncateExisting",
                    [] {
                        return Opened(CreateFileW(u"\\d\\f.txt", GENERIC_WRITE, 0, NULL,
                                                  TRUNCATE_EXISTING, 0, NULL));
                    },
                    std::nullopt},
        SuccessCase{"CreateAlwaysOverExisting",
                    [] {
                        return Opened(CreateFileW(u"\\d\\f.txt", GENERIC_WRITE, 0, NULL,
                                                  CREATE_ALWAYS, 0, NULL));
                    },
                    ERROR_ALREADY_EXISTS},
        SuccessCase{"CreateAlwaysNew",
                    [] {
                        return Opened(CreateFileW(u"\\d\\n.txt", GENERIC_WRITE, 0, NULL,
                                                  CREATE_ALWAYS, 0, NULL));
                    },
                    ERROR_SUCCESS},
        SuccessCase{"OpenAlwaysNew",
                    [] {
                        return Opened(CreateFileW(u"\\d\\n.txt", GENERIC_WRITE, 0, NULL,
                                                  OPEN_ALWAYS, 0, NULL));
                    },
                    ERROR_SUCCESS},
        SuccessCase{"OpenAlwaysExisting",
                    [] {
                        return Opened(CreateFileW(u"\\d\\f.txt", GENERIC_READ, 0, NULL, OPEN_ALWAYS,
                                                  0, NULL));
                    },
                    ERROR_ALREADY_EXISTS},
        SuccessCase{"Read", WithFile([](HANDLE h) {
                        char buffer[4];
                        DWORD read = 0;
                        return ReadFile(h, buffer, 4, &read, NULL) && read == 4;
                    }),
                    std::nullopt},
        SuccessCase{"ReadAtTheEnd", WithFile([](HANDLE h) {
                        char buffer[40];
                        DWORD read = 0;
                        return ReadFile(h, buffer, 40, &read, NULL) && read == 10;
                    }),
                    std::nullopt},
        SuccessCase{"Write", WithFile([](HANDLE h) {
                        DWORD written = 0;
                        return WriteFile(h, "ab", 2, &written, NULL) && written == 2;
                    }),
                    std::nullopt},
        SuccessCase{"SetFilePointer",
                    WithFile([](HANDLE h) { return SetFilePointer(h, 3, NULL, FILE_BEGIN) == 3; }),
                    ERROR_SUCCESS},
        SuccessCase{"GetFileSize", WithFile([](HANDLE h) { return GetFileSize(h, NULL) == 10; }),
                    ERROR_SUCCESS},
        SuccessCase{"CloseHandle",
                    [] {
                        HANDLE h = OpenF();
                        SetLastError(kSentinel);
                        return CloseHandle(h) != FALSE;
                    },
                    std::nullopt},
        SuccessCase{"FindFirstAndNext",
                    [] {
                        WIN32_FIND_DATAW data;
                        HANDLE search = FindFirstFileW(u"\\d\\*", &data);
                        return search != INVALID_HANDLE_VALUE && FindNextFileW(search, &data) &&
                               FindClose(search);
                    },
                    std::nullopt},
        SuccessCase{"Copy",
                    [] { return CopyFileExW(u"\\d\\f.txt", u"\\d\\c.txt", NULL, NULL, NULL, 0); },
                    std::nullopt},
        SuccessCase{"CopyOverExisting",
                    [] { return CopyFileExW(u"\\d\\f.txt", u"\\d\\cue.wav", NULL, NULL, NULL, 0); },
                    std::nullopt},
        SuccessCase{"Move", [] { return MoveFileW(u"\\d\\f.txt", u"\\d\\m.txt"); }, std::nullopt},
        SuccessCase{"Delete", [] { return DeleteFileW(u"\\d\\f.txt"); }, std::nullopt},
        SuccessCase{"CreateFolder", [] { return CreateDirectoryW(u"\\d\\new", NULL); },
                    std::nullopt},
        SuccessCase{"RemoveFolder", [] { return RemoveDirectoryW(u"\\d\\empty"); }, std::nullopt},
        SuccessCase{"SetAttributes",
                    [] { return SetFileAttributesW(u"\\d\\f.txt", FILE_ATTRIBUTE_HIDDEN); },
                    std::nullopt},
        SuccessCase{"HeapAllocAndFree",
                    [] { return LocalFree(LocalAlloc(LMEM_FIXED, 8)) == nullptr; }, std::nullopt},
        SuccessCase{"PlaySound", [] { return PlaySoundW(u"\\d\\cue.wav", NULL, 0); }, std::nullopt},
        SuccessCase{"StartProgram",
                    [] {
                        STARTUPINFOW startup{};
                        startup.cb = sizeof(startup);
                        PROCESS_INFORMATION process{};
                        return CreateProcessW(u"\\d\\app.exe", NULL, NULL, NULL, FALSE, 0, NULL,
                                              NULL, &startup, &process) &&
                               CloseHandle(process.hThread) && CloseHandle(process.hProcess);
                    },
                    std::nullopt},
        SuccessCase{"DriverOpenAndControl",
                    [] {
                        HANDLE h = CreateFileW(u"PWR1:", GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                               OPEN_EXISTING, 0, NULL);
                        DWORD serial = 0, returned = 0;
                        return h != INVALID_HANDLE_VALUE &&
                               DeviceIoControl(h, 1281 /* GET_SN */, NULL, 0, &serial,
                                               sizeof(serial), &returned, NULL) &&
                               CloseHandle(h);
                    },
                    std::nullopt}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
