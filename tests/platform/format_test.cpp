// The kernel's debug formatter as the debug log shows it, wsprintfW, and the shell's printf.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ce.h"
#include "platform/host/internal.h"
#include "tests/support/expect.h"
#include "tests/support/temp_device.h"

namespace format_test {
namespace {

// Each kernel call is one log entry; each wsprintfW one line: what it returned, the text, and
// "overrun" when the unit after the terminator was written.
TEST(Format, KernelAndWsprintf)
{
    qs_test::TempDevice device;
    const std::u16string a500(500, u'a'), b2000(2000, u'b');
    NKDbgPrintfW(TEXT("file %s."), TEXT("NK.BIN"));
    NKDbgPrintfW(TEXT("%S|%a|%hs|%ls"), "abc", "de", "g\xE9", TEXT("w"));
    NKDbgPrintfW(TEXT("[%.3s][%6s][%-6S]"), TEXT("abcdef"), TEXT("ab"), "cd");
    NKDbgPrintfW(TEXT("%s %S"), (LPCWSTR) nullptr, (const char *)nullptr);
    NKDbgPrintfW(TEXT("%.2d|%4d|%-4d|%04d"), 7, 7, 7, 7);
    NKDbgPrintfW(TEXT("%05.3d|%-5.3d|"), 7, 7);
    NKDbgPrintfW(TEXT("%*d|%.*d|%*d|"), 5, 42, 4, 42, -4, 7);
    NKDbgPrintfW(TEXT("%x %X %08X|%#x %#X %#06x"), 0xBEEF, 0xBEEF, 0x1F, 0x1F, 0x1F, 0x1F);
    NKDbgPrintfW(TEXT("%B %d %d|100%% done"), 42, 7);
    NKDbgPrintfW(TEXT("%s"), a500.c_str());
    NKDbgPrintfW(TEXT("%d|%5d|%05d|%i"), -42, -42, -42, -2147483647 - 1);
    NKDbgPrintfW(TEXT("%x %u %lu"), -1, -1, 0xFFFFFFFFu);
    NKDbgPrintfW(TEXT("%I64d %I64x %d"), -1234567890123LL, 0x123456789ABCDEF0ULL, 5);
    NKDbgPrintfW(TEXT("%hd %hu"), 0xFFFF, 70000);
    NKDbgPrintfW(TEXT("%c%c%3c"), 'Q', 0x2801, 'z');
    NKDbgPrintfW(TEXT("%p %p"), (void *)0xBEEF, (void *)0x71234ABCDull);
    NKDbgPrintfW(TEXT("line one\r\nline two\r\n"));
    std::vector<std::string> lines = device.LogEntries();
    EXPECT_EQ(lines.back(), "line one\r\nline two\r\n");  // kept whole, as one entry
    lines.pop_back();
    std::vector<WCHAR> buffer(1100, u'#');
    auto w = [&](int written) {
        std::u16string text(buffer.data());
        lines.push_back(std::to_string(written) + " " + ce_host::ToUtf8(text) +
                        (buffer[text.size() + 1] == u'#' ? "" : " overrun"));
        buffer.assign(1100, u'#');
    };
    w(wsprintfW(buffer.data(), TEXT("%5d|%-5d|%05d"), 42, 42, 42));
    w(wsprintfW(buffer.data(), TEXT("%s %S %hs %ls"), TEXT("w"), "n", "h", TEXT("l")));
    w(wsprintfW(buffer.data(), TEXT("%.2s|%4s"), TEXT("xyz"), TEXT("q")));
    w(wsprintfW(buffer.data(), TEXT("%lu %x %#X %i"), 0xFFFFFFFFu, 255, 255, -3));
    w(wsprintfW(buffer.data(), TEXT("%c%C|%q%d|%d"), 0x2801, 'n', 9, 8));
    w(wsprintfW(buffer.data(), TEXT("%s"), (LPCWSTR) nullptr));
    w(wsprintfW(buffer.data(), TEXT("%s"), b2000.c_str()));
    qs_test::ExpectGoldenLog(lines, "platform_format");
}

TEST(Format, EachPrintfIsOneStdoutEntry)
{
    qs_test::TempDevice device;
    EXPECT_EQ(printf("boot %d of %s\n", 3, "NK"), 13);
    EXPECT_EQ(printf("%05.1f%%", 2.5), 6);
    NKDbgPrintfW(TEXT("log\r\n"));
    std::vector<std::string> stdoutTexts;
    for (const auto &event : device.EventsOf("stdout"))
        stdoutTexts.push_back(event["text"]);
    EXPECT_EQ(stdoutTexts, (std::vector<std::string>{"boot 3 of NK\n", "002.5%"}));
    EXPECT_EQ(device.LogEntries(),
              (std::vector<std::string>{"boot 3 of NK\n", "002.5%", "log\r\n"}));
}

}  // namespace
}  // namespace format_test
