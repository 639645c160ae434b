// Device paths: letter case, paths from the root, trailing backslash, length and refused names.
#include <gtest/gtest.h>

#include "platform/host/internal.h"
#include "tests/support/temp_device.h"

namespace {

struct PathCase {
    std::u16string path;
    bool wildcards;
    DWORD error;  // ERROR_SUCCESS when the path resolves
    std::string devicePath;
    bool exists;
};
void PrintTo(const PathCase &c, std::ostream *os)
{
    *os << ce_host::ToUtf8(c.path);
}

class Paths : public testing::TestWithParam<PathCase> {
protected:
    Paths() { device_.PutFile("\\Flash\\Sub\\Data.TXT", "data"); }
    qs_test::TempDevice device_;
};

TEST_P(Paths, ResolveOrRefuse)
{
    const PathCase &c = GetParam();
    ce_host::ResolvedPath resolved;
    SetLastError(0);
    ASSERT_EQ(ce_host::ResolvePath(c.path.c_str(), resolved, c.wildcards), c.error == 0);
    EXPECT_EQ(GetLastError(), c.error);
    if (c.error)
        return;
    EXPECT_EQ(resolved.devicePath, c.devicePath);
    EXPECT_EQ(resolved.exists, c.exists);
    EXPECT_EQ(resolved.hostPath, device_.Host(c.devicePath));
}

const std::u16string kLongest = u"\\" + std::u16string(258, u'n');  // 259 characters

INSTANTIATE_TEST_SUITE_P(
    Table, Paths,
    testing::Values(PathCase{u"\\flash\\SUB\\data.txt", false, 0, "\\Flash\\Sub\\Data.TXT", true},
                    PathCase{u"FLASH\\sub", false, 0, "\\Flash\\Sub", true},
                    PathCase{u"\\flash\\sub\\", false, 0, "\\Flash\\Sub", true},
                    PathCase{u"\\", false, 0, "\\", true},
                    PathCase{u"\\flash\\New.Txt", false, 0, "\\Flash\\New.Txt", false},
                    PathCase{u"\\flash\\*.txt", true, 0, "\\Flash\\*.txt", false},
                    PathCase{kLongest, false, 0, "\\" + std::string(258, 'n'), false},
                    PathCase{kLongest + u"n", false, ERROR_FILENAME_EXCED_RANGE, "", false},
                    PathCase{kLongest.substr(1) + u"n", false, ERROR_FILENAME_EXCED_RANGE, "",
                             false},
                    PathCase{u"\\Flash\\Sub\\Data.TXT\\", false, ERROR_INVALID_NAME, "", false},
                    PathCase{u"\\flash\\missing\\x.txt", false, ERROR_PATH_NOT_FOUND, "", false},
                    PathCase{u"\\flash\\sub\\data.txt\\x", false, ERROR_PATH_NOT_FOUND, "", false},
                    PathCase{u"\\flash\\*.txt", false, ERROR_INVALID_NAME, "", false},
                    PathCase{u"\\fl?sh\\x.txt", true, ERROR_INVALID_NAME, "", false},
                    PathCase{u"\\flash\\a:b", false, ERROR_INVALID_NAME, "", false},
                    PathCase{u"\\flash\\a\"b", true, ERROR_INVALID_NAME, "", false},
                    PathCase{u"\\flash\\a<b>", true, ERROR_INVALID_NAME, "", false},
                    PathCase{u"\\flash\\a|b", true, ERROR_INVALID_NAME, "", false},
                    PathCase{u"\\flash\\a\tb", false, ERROR_INVALID_NAME, "", false},
                    PathCase{u"\\flash\\..\\..", false, ERROR_INVALID_NAME, "", false},
                    PathCase{u"\\flash\\.\\sub", false, ERROR_INVALID_NAME, "", false}));

TEST(PathLetterCase, NewEntryKeepsItsCaseAndIsFoundInAnyCase)
{
    qs_test::TempDevice device;
    ASSERT_TRUE(CreateDirectoryW(u"Update", NULL));
    HANDLE h = CreateFileW(u"\\UPDATE\\NewName.Bin", GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "abc", 3, &written, NULL));
    CloseHandle(h);
    EXPECT_EQ(device.ReadFile("\\Update\\NewName.Bin"), "abc");

    h = CreateFileW(u"update\\newname.bin", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buffer[4] = {};
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(h, buffer, sizeof(buffer), &read, NULL));
    EXPECT_EQ(std::string(buffer, read), "abc");
    CloseHandle(h);
}

}  // namespace
