#include "tests/support/journal_text.h"

#include "platform/host/host.h"
#include "sim/device.h"
#include "tests/support/files.h"

namespace qs_test {

namespace {

const std::string kShellLineEnd = "\r\n";

std::string Spelt(const std::string &text)
{
    std::string out;
    for (char c : text)
        out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : c == '\t' ? "\\t" : std::string(1, c);
    return out;
}

std::string ValueText(const nlohmann::ordered_json &value)
{
    return value.is_string() ? value.get<std::string>() : value.dump();
}

bool IsShellLine(const std::string &kind)
{
    return kind == "log" || kind == "stdout";
}

}  // namespace

Lines LogTexts(const Events &events)
{
    Lines lines;
    for (const auto &event : events)
        if (IsShellLine(event["event"]))
            lines.push_back(event["text"].get<std::string>());
    return lines;
}

Lines Transcript(const Events &events)
{
    Lines lines;
    for (const auto &event : events) {
        const std::string kind = event["event"];
        if (IsShellLine(kind)) {
            std::string text = event["text"];
            bool ended = text.ends_with(kShellLineEnd);
            lines.push_back(Spelt(ended ? text.substr(0, text.size() - 2) : text) +
                            (ended ? kShellLineEnd : ""));
            continue;
        }
        std::string line = kind == "ioctl" ? ">" : "> " + kind;
        for (const auto &[key, value] : event.items()) {
            std::string text = ValueText(value);
            // A refused request's output is whatever the caller's buffer held.
            if (key == "seq" || key == "t" || key == "event" || key == "code" || key == "count" ||
                key == "ok" || text.empty() || (key == "out" && !event.value("ok", true)))
                continue;
            if (key == "first")
                line += " " + text + "+" + event["count"].dump();
            else if (kind == "ioctl" && (key == "device" || key == "name"))
                line += " " + text;
            else if (kind == "fault" && key == "what")
                line += " what=" + text.substr(0, text.find(" #"));  // not the call's number
            else
                line += " " + key + "=" + Spelt(text);
        }
        lines.push_back(line + (event.value("ok", true) ? "" : " failed") + kShellLineEnd);
    }
    return lines;
}

Lines Transcript()
{
    return Transcript(ce_host::AttachedDevice().Events().Events());
}

Lines JournalLines(const Events &events)
{
    Lines lines;
    for (const auto &event : events) {
        std::string line = event["t"].dump() + " " + event["event"].get<std::string>();
        for (const auto &[key, value] : event.items()) {
            if (key == "seq" || key == "t" || key == "event")
                continue;
            line += " " + key + "=" +
                    (key == "access" || key == "flags" ? "0x" + Hex(value.get<uint32_t>())
                                                       : Spelt(ValueText(value)));
        }
        lines.push_back(line + kShellLineEnd);
    }
    return lines;
}

}  // namespace qs_test
