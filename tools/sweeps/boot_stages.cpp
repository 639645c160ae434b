#include "tools/sweeps/boot_stages.h"

#include <string_view>

namespace qs_tools {

namespace {

using Event = sim::Journal::Event;

bool IsEvent(const Event &e, std::string_view kind)
{
    return e.value("event", "") == kind;
}

bool LogStarts(const Event &e, std::string_view prefix)
{
    return IsEvent(e, "log") && e.value("text", "").starts_with(prefix);
}

bool LogHolds(const Event &e, std::string_view part)
{
    return IsEvent(e, "log") && e.value("text", "").find(part) != std::string::npos;
}

bool IsControl(const Event &e, std::string_view device, std::string_view name)
{
    return IsEvent(e, "ioctl") && e.value("device", "") == device && e.value("name", "") == name;
}

bool Opens(const Event &e, std::string_view device)
{
    return IsEvent(e, "open") && e.value("device", "") == device;
}

bool PlaysCue(const Event &e, std::string_view cue)
{
    return IsEvent(e, "sound") && e.value("path", "").ends_with(cue);
}

bool UpdateModeOn(const Event &e)
{
    return (IsControl(e, "PWR1:", "SET_OS_UPDATE_MODE") && e.value("in", "") != "00000000") ||
           PlaysCue(e, "\\update_start.wav");
}

struct Stage {
    const char *name;
    // The stage it may follow at the earliest, for a mark that also occurs before it; none when
    // it may follow any.
    const char *after;
    bool (*begins)(const Event &);
};

// In the boot sequence's order. Optional stages (an image update, application data) are passed
// over when their mark never comes.
constexpr Stage kStages[] = {
    {"start", nullptr, [](const Event &e) { return LogStarts(e, "QuorShell Start"); }},
    {"image search", nullptr,
     [](const Event &e) { return LogStarts(e, "[QuorShell]IsExistImageFile ++"); }},
    {"update start", nullptr, UpdateModeOn},
    {"OS update", nullptr,
     [](const Event &e) { return LogHolds(e, "[QuorShell]UpdateSystemImage ++"); }},
    {"boot-loader check", nullptr,
     [](const Event &e) { return LogStarts(e, "Find EBoot Image Path"); }},
    {"boot-loader write", nullptr,
     [](const Event &e) { return LogStarts(e, "WriteEBootImage ++"); }},
    {"NK check", nullptr,
     [](const Event &e) {
         return LogStarts(e, "WriteEBootImage --") ||
                LogStarts(e, "OSUPDATE: CheckImageSignature ++");
     }},
    {"NK load", nullptr, [](const Event &e) { return LogStarts(e, "Open OS update image file"); }},
    {"NK write", nullptr, [](const Event &e) { return LogStarts(e, "[QuorShell] WriteNK ++"); }},
    {"TOC write", nullptr, [](const Event &e) { return LogStarts(e, "+ TOC_Write"); }},
    {"app data search", nullptr,
     [](const Event &e) { return LogStarts(e, "QuorShell: +IsExistAPPS"); }},
    {"update start", "app data search", UpdateModeOn},
    {"app data install", nullptr,
     [](const Event &e) { return LogStarts(e, "QuorShell: CopyAPPFiles ++"); }},
    {"update folder removal", nullptr,
     [](const Event &e) {
         return LogStarts(e, "OSUPDATE: CopyAPPFiles --") ||
                LogStarts(e, "QuorShell: -IsExistAPPS FALSE");
     }},
    {"serial number", "update folder removal", [](const Event &e) { return Opens(e, "DSK1:"); }},
    {"update close", "serial number",
     [](const Event &e) {
         return PlaysCue(e, "\\success.wav") || PlaysCue(e, "\\updatefail.wav") ||
                PlaysCue(e, "\\reboot.wav");
     }},
    {"update mode off", "serial number",
     [](const Event &e) {
         return (Opens(e, "PWR1:") && e.value("flags", 0u) == 0) ||
                IsControl(e, "PWR1:", "SET_OS_UPDATE_MODE");
     }},
    {"BINFS check", "serial number", [](const Event &e) { return IsEvent(e, "store"); }},
    {"boot key", "BINFS check",
     [](const Event &e) {
         return Opens(e, "PWR1:") || IsControl(e, "PWR1:", "PWR_IOCTL_GET_BOOT_KEY_STATUS");
     }},
    {"launch", nullptr, [](const Event &e) { return LogStarts(e, "[QuorShell] BootKeyStat"); }},
    {"app-execute flag", "launch",
     [](const Event &e) {
         return Opens(e, "PWR1:") || IsControl(e, "PWR1:", "SET_APP_EXECUTE_FLAG");
     }},
    {"end", nullptr, [](const Event &e) { return LogStarts(e, "QuorShell End"); }},
};

constexpr size_t kStageCount = sizeof kStages / sizeof kStages[0];

// Where a stage may begin at the earliest: the first stage of its `after` name.
size_t EarliestFollowed(const Stage &stage)
{
    if (!stage.after)
        return 0;
    for (size_t i = 0; i < kStageCount; ++i)
        if (std::string_view(kStages[i].name) == stage.after)
            return i;
    return kStageCount;
}

}  // namespace

std::vector<std::string> StagesAlong(const std::vector<Event> &events)
{
    std::vector<std::string> stages{kStages[0].name};
    size_t current = 0;
    for (const Event &event : events) {
        for (size_t next = current + 1; next < kStageCount; ++next) {
            if (EarliestFollowed(kStages[next]) <= current && kStages[next].begins(event)) {
                current = next;
                break;
            }
        }
        stages.push_back(kStages[current].name);
    }
    return stages;
}

}  // namespace qs_tools
