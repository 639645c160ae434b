// Device folders whose description or saved state is hostile text: the folder is refused with
// one line that names the file, never with another exception or a crash.
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "sim/device.h"
#include "sim/error.h"
#include "tests/tools/tool_run.h"

namespace device_folder_text_test {
namespace {

struct TextRow {
    const char *name;
    std::string deviceJson;
    std::optional<std::string> stateJson;
    std::string file;    // the file the refusal names
    std::string reason;  // what follows its name
};

void PrintTo(const TextRow &row, std::ostream *out)
{
    *out << row.name;
}

class HostileFolderText : public testing::TestWithParam<TextRow> {};

TEST_P(HostileFolderText, IsRefusedWithOneLineNamingTheFile)
{
    const TextRow &row = GetParam();
    qs_test::TempFolder folder;
    std::ofstream(folder.path() / "device.json") << row.deviceJson;
    if (row.stateJson)
        std::ofstream(folder.path() / "state.json") << *row.stateJson;

    try {
        sim::Device::Open(folder.path());
        ADD_FAILURE() << "the folder was opened";
    } catch (const sim::DeviceError &error) {
        EXPECT_EQ(error.what(), (folder.path() / row.file).string() + ": " + row.reason);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, HostileFolderText,
    testing::Values(
        // A number past the range of a double ends the parse with the library's range error.
        TextRow{"NumberOverflowInTheDescription", R"({"heap": {"limit_bytes": 1e999}})",
                std::nullopt, "device.json", "not valid JSON: a number out of range"},
        TextRow{"NegativeNumberOverflowInTheState", "{}", R"({"power": {"update_mode": -1e400}})",
                "state.json", "not valid JSON: a number out of range"},
        TextRow{"NumberOverflowWhereNoNumberBelongs", R"({"files": {"locked": [1E+999]}})",
                std::nullopt, "device.json", "not valid JSON: a number out of range"}),
    [](const testing::TestParamInfo<TextRow> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace device_folder_text_test
