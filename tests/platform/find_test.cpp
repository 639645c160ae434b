// Searches: wildcards, entries found by name, dot entries, orders and errors.
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "platform/ce.h"
#include "tests/support/temp_device.h"

namespace {

using nlohmann::json;
using Names = std::vector<std::string>;

// Every name a search returns, or the last error when it finds nothing.
struct Found {
    Names names;
    DWORD error = ERROR_SUCCESS;
    std::vector<WIN32_FIND_DATAW> data;
};

Found Search(const char16_t *pattern)
{
    Found found;
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(pattern, &data);
    if (search == INVALID_HANDLE_VALUE) {
        found.error = GetLastError();
        return found;
    }
    do {
        found.names.push_back(qs_test::Narrow(data.cFileName));
        found.data.push_back(data);
    } while (FindNextFileW(search, &data));
    found.error = GetLastError();
    EXPECT_TRUE(FindClose(search));
    return found;
}

struct FindCase {
    const char16_t *pattern;
    Names names;
    DWORD error;  // after the last name: ERROR_NO_MORE_FILES
};
void PrintTo(const FindCase &c, std::ostream *os)
{
    *os << qs_test::Narrow(c.pattern);
}

class Find : public testing::TestWithParam<FindCase> {
protected:
    Find()
    {
        for (const char *file : {"b.txt", "A.TXT", "noext", "c.dat"})
            device_.PutFile(std::string("\\dir\\") + file, "x");
        device_.PutFolder("\\dir\\Sub");
    }
    qs_test::TempDevice device_;
};

TEST_P(Find, NamesAndErrors)
{
    Found found = Search(GetParam().pattern);
    EXPECT_EQ(found.names, GetParam().names);
    EXPECT_EQ(found.error, GetParam().error);
}

const Names kAll = {".", "..", "A.TXT", "b.txt", "c.dat", "noext", "Sub"};

INSTANTIATE_TEST_SUITE_P(
    Table, Find,
    testing::Values(FindCase{u"\\dir\\*", kAll, ERROR_NO_MORE_FILES},
                    FindCase{u"dir\\*.*", kAll, ERROR_NO_MORE_FILES},
                    FindCase{u"\\DIR\\*.txt", {"A.TXT", "b.txt"}, ERROR_NO_MORE_FILES},
                    FindCase{u"\\dir\\?.tXt", {"A.TXT", "b.txt"}, ERROR_NO_MORE_FILES},
                    FindCase{u"\\dir\\??ext", {"noext"}, ERROR_NO_MORE_FILES},
                    FindCase{u"\\dir\\noext.*", {"noext"}, ERROR_NO_MORE_FILES},
                    FindCase{u"\\dir\\NOEXT", {"noext"}, ERROR_NO_MORE_FILES},
                    FindCase{u"\\dir\\sub", {"Sub"}, ERROR_NO_MORE_FILES},
                    FindCase{u"\\dir", {"dir"}, ERROR_NO_MORE_FILES},
                    FindCase{u"\\dir\\sub\\*", {".", ".."}, ERROR_NO_MORE_FILES},
                    FindCase{u"\\*", {"dir"}, ERROR_NO_MORE_FILES},
                    FindCase{u"\\dir\\*.zip", {}, ERROR_FILE_NOT_FOUND},
                    FindCase{u"\\dir\\gone.txt", {}, ERROR_FILE_NOT_FOUND},
                    FindCase{u"\\nodir\\*", {}, ERROR_PATH_NOT_FOUND},
                    FindCase{u"\\d*\\*", {}, ERROR_INVALID_NAME},
                    // Only the folder calls take a trailing backslash.
                    FindCase{u"\\dir\\", {}, ERROR_FILE_NOT_FOUND},
                    FindCase{u"\\dir\\sub\\", {}, ERROR_FILE_NOT_FOUND},
                    FindCase{u"\\nodir\\", {}, ERROR_FILE_NOT_FOUND},
                    FindCase{u"\\", {}, ERROR_FILE_NOT_FOUND}));

TEST(FindData, AttributesSizeAndTimes)
{
    qs_test::TempDevice device;
    device.PutFile("\\d\\f.bin", std::string(70000, 'x'));
    device.PutFolder("\\d\\sub");
    const timespec times[2] = {{1577836800, 0}, {1577836800, 0}};  // 2020-01-01T00:00:00Z
    ASSERT_EQ(utimensat(AT_FDCWD, device.Host("\\d\\f.bin").c_str(), times, 0), 0);

    Found found = Search(u"\\d\\*");
    ASSERT_EQ(found.names, (Names{".", "..", "f.bin", "sub"}));
    EXPECT_EQ(found.data[0].dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
    const WIN32_FIND_DATAW &file = found.data[2];
    EXPECT_EQ(file.dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(file.nFileSizeHigh, 0u);
    EXPECT_EQ(file.nFileSizeLow, 70000u);
    uint64_t written =
        (uint64_t{file.ftLastWriteTime.dwHighDateTime} << 32) | file.ftLastWriteTime.dwLowDateTime;
    EXPECT_EQ(written, 132223104000000000ull);
    EXPECT_EQ(found.data[3].dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
}

struct OrderCase {
    const char *order;
    Names names;
};

class FindOrder : public testing::TestWithParam<OrderCase> {};

// m and k are laid on disk; z, a and b are created through the platform in that order, and z is
// then renamed to c, which keeps its place.
TEST_P(FindOrder, EntriesComeInTheConfiguredOrder)
{
    qs_test::TempDevice device(
        json{{"files", {{"find_order", GetParam().order}, {"dot_entries", false}}}});
    device.PutFile("\\d\\m.txt", "");
    device.PutFile("\\d\\k.txt", "");
    for (const char16_t *name : {u"\\d\\z.txt", u"\\d\\a.txt"})
        CloseHandle(CreateFileW(name, GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL));
    ASSERT_TRUE(CreateDirectoryW(u"\\d\\b", NULL));
    ASSERT_TRUE(MoveFileW(u"\\d\\z.txt", u"\\d\\c.txt"));
    EXPECT_EQ(Search(u"\\d\\*").names, GetParam().names);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FindOrder,
    testing::Values(OrderCase{"name", {"a.txt", "b", "c.txt", "k.txt", "m.txt"}},
                    OrderCase{"reverse", {"m.txt", "k.txt", "c.txt", "b", "a.txt"}},
                    OrderCase{"created", {"k.txt", "m.txt", "c.txt", "a.txt", "b"}}));

}  // namespace
