// Attributes: what searches report, what they refuse, and that they last between boots.
#include <functional>

#include <gtest/gtest.h>

#include "platform/ce.h"
#include "tests/support/temp_device.h"

namespace {

DWORD AttributesOf(const char16_t *path)
{
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(path, &data);
    if (search == INVALID_HANDLE_VALUE)
        return INVALID_FILE_ATTRIBUTES;
    FindClose(search);
    return data.dwFileAttributes;
}

bool Opens(DWORD access, DWORD disposition, DWORD flags = FILE_ATTRIBUTE_NORMAL)
{
    HANDLE h = CreateFileW(u"\\f.txt", access, 0, NULL, disposition, flags, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(h);
    return true;
}

bool CopiesOnto()
{
    return CopyFileExW(u"\\source.txt", u"\\f.txt", NULL, NULL, NULL, 0);
}

struct GuardCase {
    const char *name;
    DWORD attributes;  // of \f.txt
    std::function<bool()> attempt;
    bool refused;
};

class Guard : public testing::TestWithParam<GuardCase> {};

TEST_P(Guard, RefusesWithAccessDeniedAndKeepsTheFile)
{
    qs_test::TempDevice device;
    device.PutFile("\\f.txt", "kept");
    device.PutFile("\\source.txt", "new");
    ASSERT_TRUE(SetFileAttributesW(u"\\f.txt", GetParam().attributes));
    EXPECT_EQ(GetParam().attempt(), !GetParam().refused);
    if (GetParam().refused) {
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
        EXPECT_EQ(device.ReadFile("\\f.txt"), "kept");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Guard,
    testing::Values(
        GuardCase{"ReadOnlyOpenForWrite", FILE_ATTRIBUTE_READONLY,
                  [] { return Opens(GENERIC_WRITE, OPEN_EXISTING); }, true},
        GuardCase{"ReadOnlyOpenForRead", FILE_ATTRIBUTE_READONLY,
                  [] { return Opens(GENERIC_READ, OPEN_EXISTING); }, false},
        GuardCase{"ReadOnlyOverwrite", FILE_ATTRIBUTE_READONLY,
                  [] { return Opens(GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_READONLY); },
                  true},
        GuardCase{"ReadOnlyTruncate", FILE_ATTRIBUTE_READONLY,
                  [] { return Opens(GENERIC_WRITE, TRUNCATE_EXISTING); }, true},
        GuardCase{"ReadOnlyDelete", FILE_ATTRIBUTE_READONLY,
                  [] { return DeleteFileW(u"\\F.txt") != FALSE; }, true},
        GuardCase{"ReadOnlyCopyOnto", FILE_ATTRIBUTE_READONLY, CopiesOnto, true},
        GuardCase{"HiddenCopyOnto", FILE_ATTRIBUTE_HIDDEN, CopiesOnto, true},
        GuardCase{"SystemCopyOnto", FILE_ATTRIBUTE_SYSTEM, CopiesOnto, true},

        GuardCase{"HiddenOverwriteUnsaid", FILE_ATTRIBUTE_HIDDEN,
                  [] { return Opens(GENERIC_WRITE, CREATE_ALWAYS); }, true},
        GuardCase{"HiddenOverwriteSaid", FILE_ATTRIBUTE_HIDDEN,
                  [] { return Opens(GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN); },
                  false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Attributes, ReportedKeptBetweenBootsAndCleared)
{
    qs_test::TempDevice device;
    device.PutFile("\\laid.txt", "");
    device.PutFolder("\\folder");
    HANDLE h =
        CreateFileW(u"\\new.txt", GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, NULL);
    CloseHandle(h);
    EXPECT_EQ(AttributesOf(u"\\new.txt"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(AttributesOf(u"\\laid.txt"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(AttributesOf(u"\\folder"), FILE_ATTRIBUTE_DIRECTORY);

    ASSERT_TRUE(SetFileAttributesW(u"\\LAID.TXT", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM));
    device.Reload();
    EXPECT_EQ(AttributesOf(u"\\laid.txt"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM);
    EXPECT_FALSE(DeleteFileW(u"\\laid.txt"));
    ASSERT_TRUE(SetFileAttributesW(u"\\laid.txt", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(AttributesOf(u"\\laid.txt"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(DeleteFileW(u"\\laid.txt"));

    EXPECT_FALSE(SetFileAttributesW(u"\\laid.txt", FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(SetFileAttributesW(u"\\gone\\laid.txt", FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
}

TEST(Attributes, FollowTheirEntryThroughMovesAndGoWithIt)
{
    qs_test::TempDevice device;
    device.PutFile("\\d\\sub\\f.txt", "");
    ASSERT_TRUE(SetFileAttributesW(u"\\d\\sub\\f.txt", FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(MoveFileW(u"\\D", u"\\e"));
    EXPECT_EQ(AttributesOf(u"\\e\\sub\\f.txt"), FILE_ATTRIBUTE_HIDDEN);
    ASSERT_TRUE(DeleteFileW(u"\\e\\sub\\f.txt"));
    device.PutFile("\\e\\sub\\f.txt", "");
    device.PutFile("\\d\\sub\\f.txt", "");
    EXPECT_EQ(AttributesOf(u"\\e\\sub\\f.txt"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(AttributesOf(u"\\d\\sub\\f.txt"), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
