// The whole debug log of a boot of a factory-made device, line for line, against
// tests/golden/scenario_whole_NAME.log: an installation of application data, starting at its own
// time, so the times in the log are its own. The boot table (tests/shell/boot_test.cpp) keeps the
// whole journal of a start with nothing offered and of an operating-system update.
#include <gtest/gtest.h>

#include "tests/scenarios/scenario_device.h"
#include "tests/support/expect.h"

namespace whole_log_test {
namespace {

using namespace scenario;

struct LogRow {
    const char *name;
    const char *utc;  // the clock's start
    bool image;       // the NK image into blocks 6 to 8 and the boot loader into blocks 0 to 4
    bool apps;        // sixteen files in nested folders below the four folders
};

void PrintTo(const LogRow &row, std::ostream *out)
{
    *out << row.name;
}

class WholeLog : public testing::TestWithParam<LogRow> {};

TEST_P(WholeLog, AsGolden)
{
    const LogRow &row = GetParam();
    ScenarioDevice device;
    device.Configure({{"clock", {{"utc", row.utc}}}});
    devkit::PackageFiles files{.nk = std::nullopt, .eboot = std::nullopt, .key = "240315"};
    if (row.image) {
        files.nk = device.WriteNk("nk.bin", NkLayout());
        files.eboot = device.WriteNb0();
    }
    if (row.apps)
        files.appData = device.WriteApps();
    if (row.image || row.apps)
        device.Offer(files);
    qs_tools::BootReport report = device.Boot();
    EXPECT_EQ(report.exitStatus, 0) << report.printed;
    qs_test::ExpectGoldenLog(SplitLines(device.DebugLog()),
                             std::string("scenario_whole_") + row.name);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, WholeLog,
    testing::Values(LogRow{"ApplicationDataBoot", "2028-02-29T09:15:59Z", false, true}),
    [](const testing::TestParamInfo<LogRow> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace whole_log_test
