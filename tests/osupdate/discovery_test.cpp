// Finding an update: the root probe with its retries, the root each selector names, the presence
// of the update folder and the NK image, and the choice of one image among several.
#include "osupdate/OSUPDATE.h"
#include "osupdate/update_source.h"
#include "tests/support/expect.h"
#include "tests/support/temp_device.h"

namespace discovery_test {

using nlohmann::json;
using qs_test::Lines;
using qs_test::Narrow;
using qs_test::TempDevice;

struct ProbeRow {
    const char *name;
    std::vector<std::string> files;  // laid under \flashdisk\K275D-Update unless they start with
                                     // a backslash
    uint32_t mountAfterMs = 0;       // of \flashdisk
    DWORD selector = 1;
};

void PrintTo(const ProbeRow &row, std::ostream *os)
{
    *os << row.name;
}

class Probe : public testing::TestWithParam<ProbeRow> {};

// The log, the pauses and the time they took, and the result, against
// tests/golden/osupdate_probe_NAME.log.
TEST_P(Probe, LogPausesAndResultAsGolden)
{
    const ProbeRow &row = GetParam();
    TempDevice device(json{{"files", {{"mount_after_ms", {{"flashdisk", row.mountAfterMs}}}}}});
    ResetShellState();
    for (const std::string &file : row.files)
        device.PutFile(file[0] == '\\' ? file : "\\flashdisk\\K275D-Update\\" + file, "x");
    device.PutFolder("\\flashdisk");

    DWORD result = IsExistImageFile(row.selector);
    Lines seen = qs_test::Transcript();
    seen.push_back("result " + std::to_string(result) + " after " +
                   std::to_string(device.device().Clock().ElapsedMs()) + " ms\r\n");
    qs_test::ExpectGoldenLog(seen, std::string("osupdate_probe_") + row.name);
    qs_test::ExpectNothingHeld();
}

INSTANTIATE_TEST_SUITE_P(
    Table, Probe,
    testing::Values(
        // The root mounts at the n-th attempt after n-1 pauses of 100 ms; the 29th miss gives up.
        ProbeRow{"AtOnce", {"R5nk_240315.bin"}}, ProbeRow{"ThirdAttempt", {"R5nk_240315.bin"}, 200},
        ProbeRow{"LastAttempt", {"R5nk_240315.bin"}, 2800},
        ProbeRow{"Never", {"R5nk_240315.bin"}, 2900},
        ProbeRow{"FolderMissing", {"\\flashdisk\\Other\\R5nk_240315.bin"}},
        ProbeRow{"OnlyEbootImage", {"R5boot_240315.nb0", "R5boot_240315.nb0.crc"}},
        ProbeRow{"NkImageOfOtherCase", {"\\flashdisk\\k275d-update\\r5NK_1.BIN"}},
        ProbeRow{"NkImage", {"R5boot_240315.nb0", "R5nk_240315.bin"}},
        // The probes look on USB for selector 2, on SD for 3, on flashdisk for any other.
        ProbeRow{"SelectorTwo", {"\\USB\\K275D-Update\\R5nk_1.bin", "\\SD\\K275D-Update\\x"}, 0, 2},
        ProbeRow{
            "SelectorThree", {"\\SD\\K275D-Update\\R5nk_1.bin", "\\USB\\K275D-Update\\x"}, 0, 3},
        ProbeRow{"SelectorZero", {"R5nk_1.bin", "\\USB\\K275D-Update\\x"}, 0, 0},
        ProbeRow{"SelectorAllOnes", {"R5nk_1.bin", "\\SD\\K275D-Update\\x"}, 0, 0xFFFFFFFF}),
    [](const auto &info) { return std::string(info.param.name); });

// The installers take selector 2 from SMD; elsewhere they agree with the probes.
TEST(StorageSelector, NamesTheRootOfEachCaller)
{
    for (auto [selector, probe, update] : {std::tuple{1u, "flashdisk", "flashdisk"},
                                           {2u, "USB", "SMD"},
                                           {3u, "SD", "SD"},
                                           {0u, "flashdisk", "flashdisk"},
                                           {4u, "flashdisk", "flashdisk"},
                                           {0xFFFFFFFFu, "flashdisk", "flashdisk"}}) {
        EXPECT_EQ(Narrow(ProbeRootName(selector)), probe) << selector;
        EXPECT_EQ(Narrow(UpdateRootName(selector)), update) << selector;
    }
}

// Each row: the files, then the choice under find_order "name" and under "reverse"; "-" when the
// pattern stays as it was.
TEST(ImageChoice, TakesTheGreatestKeyAndTheFirstOfEqualKeys)
{
    const std::vector<std::array<std::string, 3>> rows = {
        {"R5nk_240315.bin", "R5nk_240315.bin", "R5nk_240315.bin"},
        {"R5nk_240101.bin R5nk_240102.bin", "R5nk_240102.bin", "R5nk_240102.bin"},
        {"R5nk_240101.bin R5nk_240301.bin R5nk_240201.bin", "R5nk_240301.bin", "R5nk_240301.bin"},
        {"R5nk_240101a.bin R5nk_240101b.bin", "R5nk_240101a.bin", "R5nk_240101b.bin"},
        // The seventh character of the key is not compared.
        {"R5nk_2401019.bin R5nk_2401011.bin", "R5nk_2401011.bin", "R5nk_2401019.bin"},
        {"R5nk_7.bin R5nk_240101.bin", "R5nk_7.bin", "R5nk_7.bin"},
        {"R5nk_1.bin R5nk_1.bin1.bin", "R5nk_1.bin1.bin", "R5nk_1.bin1.bin"},
        // The image vanished after the search: the pattern stays.
        {"", "R5nk_*.bin", "R5nk_*.bin"}};
    for (const auto &row : rows) {
        for (bool reverse : {false, true}) {
            SCOPED_TRACE(row[0] + (reverse ? " reverse" : " name"));
            TempDevice device(json{{"files", {{"find_order", reverse ? "reverse" : "name"}}}});
            ResetShellState();
            device.PutFile("\\flashdisk\\K275D-Update\\R5boot_999999.nb0", "x");
            std::istringstream files(row[0]);
            for (std::string file; files >> file;)
                device.PutFile("\\flashdisk\\K275D-Update\\" + file, "x");
            WCHAR path[MAX_PATH];
            PathClear(path);
            PathCopy(path, u"\\flashdisk\\K275D-Update\\R5nk_*.bin");

            GetUpdateFilePath(path, u"\\flashdisk\\K275D-Update");

            std::string expected = "\\flashdisk\\K275D-Update\\" + row[reverse ? 2 : 1];
            EXPECT_EQ(Narrow(path), expected);
            EXPECT_EQ(device.LogEntries(), Lines{"Update File Path : " + expected + " \r\n"});
            qs_test::ExpectNothingHeld();
        }
    }
}

}  // namespace discovery_test
