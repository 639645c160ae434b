// What a user of the device sees while application data is handled, as one list in order: the
// debug log, the devices opened and closed, each braille line as the text it reads, the faults
// device.json fired, each folder the program asked for (the path the call received), and last the
// operation's result. Rows keep it whole in tests/golden.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "devkit/braille_reading.h"
#include "platform/host/call_faults.h"
#include "tests/support/expect.h"
#include "tests/support/temp_device.h"

namespace appupdate_story {

// Forgets what happened before the operation: its calls and events alone make the story.
inline void StartStory(qs_test::TempDevice &device)
{
    device.device().Events().Clear();
    ce_host::ResetFallibleCalls();
}

inline qs_test::Lines Story(qs_test::TempDevice &device, DWORD result)
{
    qs_test::Lines story;
    const auto &events = device.device().Events().Events();
    const auto &calls = ce_host::FallibleCalls();
    size_t call = 0;
    for (size_t at = 0; at <= events.size(); ++at) {
        for (; call < calls.size() && calls[call].firstEvent <= at; ++call)
            if (calls[call].call == "CreateDirectoryW")
                story.push_back("CreateDirectoryW " + calls[call].target + "\r\n");
        if (at == events.size())
            break;
        const auto &event = events[at];
        std::string kind = event["event"];
        if (kind == "log")
            story.push_back(event["text"]);
        else if (kind == "open")
            story.push_back("open " + event["device"].get<std::string>() + " access " +
                            qs_test::Hex(event["access"]) + " share " + event["share"].dump() +
                            " disposition " + event["disposition"].dump() + " flags " +
                            event["flags"].dump() + "\r\n");
        else if (kind == "close")
            story.push_back("close " + event["device"].get<std::string>() + "\r\n");
        else if (kind == "braille")
            story.push_back("braille: " + devkit::TextOfBraille(event["text"]) + "\r\n");
        else if (kind == "fault" && event["device"] == "files")
            story.push_back("fault: " + event["what"].get<std::string>() + "\r\n");
    }
    story.push_back("result " + std::to_string(result) + "\r\n");
    return story;
}

// One case of the walks or the installation: the device and the entries laid under its root, an
// operation, and what it must leave. A row's story is tests/golden/appupdate_NAME.log.
struct TreeRow {
    const char *name;
    qs_test::Entries before;
    std::function<DWORD()> run;
    qs_test::Entries changes;  // the root afterwards, against before
    nlohmann::json device = nlohmann::json::object();
    std::vector<std::string> readOnly = {};         // given the read-only and hidden attributes
    std::pair<std::string, std::string> fail = {};  // the first such call on that target fails
};

inline void PrintTo(const TreeRow &row, std::ostream *out)
{
    *out << row.name;
}

class TreeCase : public testing::TestWithParam<TreeRow> {};

inline std::string RowName(const testing::TestParamInfo<TreeRow> &info)
{
    return info.param.name;
}

}  // namespace appupdate_story
