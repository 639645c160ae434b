// What a boot still holds: handles and heap blocks, the heap limit and peak.
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
    int notABlock = 0;
    EXPECT_EQ(LocalFree(&notABlock), &notABlock);  // failure gives the block back
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
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
