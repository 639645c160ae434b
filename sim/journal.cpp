#include "sim/journal.h"

namespace sim {

std::string ToHex(std::span<const uint8_t> bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (uint8_t byte : bytes) {
        hex.push_back(digits[byte >> 4]);
        hex.push_back(digits[byte & 0xF]);
    }
    return hex;
}

Journal::Event &Journal::Append(const char *kind)
{
    Event event = {{"seq", events_.size() + 1}, {"t", now_ ? now_() : 0}, {"event", kind}};
    events_.push_back(std::move(event));
    return events_.back();
}

void Journal::Emit(const char *kind, const Event &fields)
{
    Event &event = Append(kind);
    event.update(fields);
    if (listener_)
        listener_(event);
}

void Journal::Log(const std::string &text)
{
    Emit("log", {{"text", text}});
}
void Journal::Stdout(const std::string &text)
{
    Emit("stdout", {{"text", text}});
}
void Journal::Open(const std::string &device, uint32_t access, uint32_t share, uint32_t disposition,
                   uint32_t flags)
{
    Emit("open", {{"device", device},
                  {"access", access},
                  {"share", share},
                  {"disposition", disposition},
                  {"flags", flags}});
}
void Journal::Close(const std::string &device)
{
    Emit("close", {{"device", device}});
}
void Journal::Sleep(uint32_t ms)
{
    Emit("sleep", {{"ms", ms}});
}
void Journal::Leak(const std::string &what)
{
    Emit("leak", {{"what", what}});
}
void Journal::Fault(const std::string &device, const std::string &what, const std::string &lasting)
{
    Event fields = {{"device", device}, {"what", what}};
    if (!lasting.empty())
        fields["lasting"] = lasting;
    Emit("fault", fields);
}
void Journal::Error(const std::string &what)
{
    Emit("error", {{"what", what}});
}
void Journal::PowerCut(uint64_t index, const std::string &op, uint32_t block,
                       std::optional<uint32_t> sector, const std::string &outcome)
{
    Event fields = {{"operation", index}, {"op", op}, {"block", block}};
    if (sector)
        fields["sector"] = *sector;
    fields["outcome"] = outcome;
    Emit("power_cut", fields);
}
void Journal::FilePowerCut(uint64_t change, const std::string &call, const std::string &kind,
                           const std::string &target, const std::string &outcome, uint64_t landed)
{
    Event fields = {{"change", change}, {"call", call},       {"kind", kind},
                    {"target", target}, {"outcome", outcome}, {"landed", landed}};
    Emit("file_power_cut", fields);
}
void Journal::Misuse(const std::string &call, const std::string &what)
{
    Emit("misuse", {{"call", call}, {"what", what}});
}

void Journal::Sound(const std::string &path, bool ok)
{
    Emit("sound", {{"path", path}, {"ok", ok}});
}

void Journal::Process(const std::string &path, bool ok)
{
    Emit("process", {{"path", path}, {"ok", ok}});
}

void Journal::Braille(std::span<const uint8_t> cells, const std::string &text)
{
    Emit("braille", {{"cells", ToHex(cells)}, {"text", text}});
}

void Journal::Store(const std::string &call, const std::string &detail, bool ok, uint32_t error)
{
    Event fields = {{"call", call}, {"detail", detail}, {"ok", ok}};
    if (!ok)
        fields["error"] = error;
    Emit("store", fields);
}

void Journal::Violation(const std::string &device, const std::string &what, const std::string &kind)
{
    Event fields = {{"device", device}, {"what", what}};
    if (!kind.empty())
        fields["kind"] = kind;
    Emit("violation", fields);
}

void Journal::Ioctl(const std::string &device, uint32_t code, const std::string &name,
                    std::span<const uint8_t> in, std::span<const uint8_t> out, bool ok,
                    std::optional<uint32_t> transferSector)
{
    if (transferSector && !events_.empty()) {
        Event &last = events_.back();
        if (last["event"] == "ioctl" && last.contains("first") && last["device"] == device &&
            last["code"] == code && last["ok"] == ok &&
            last["first"].get<uint64_t>() + last["count"].get<uint64_t>() == *transferSector) {
            last["count"] = last["count"].get<uint64_t>() + 1;
            return;
        }
    }
    Event fields = {{"device", device}, {"code", code}, {"name", name}};
    if (transferSector) {
        fields["first"] = *transferSector;
        fields["count"] = 1;
    } else {
        fields["in"] = ToHex(in);
        fields["out"] = ToHex(out);
    }
    fields["ok"] = ok;
    Emit("ioctl", fields);
}

std::string Journal::ToJsonLines() const
{
    std::string text;
    for (const Event &event : events_) {
        text += event.dump();
        text += '\n';
    }
    return text;
}

}  // namespace sim
