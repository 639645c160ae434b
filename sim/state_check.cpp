#include "sim/state_check.h"

#include "sim/device.h"
#include "sim/error.h"
#include "sim/json_reader.h"

namespace sim {

namespace {

// The attribute bits the file layer keeps: read-only, hidden, system, archive.
constexpr uint32_t kKeptAttributes = 0x01 | 0x02 | 0x04 | 0x20;

void Words(JsonReader &section, std::initializer_list<const char *> keys)
{
    for (const char *key : keys)
        section.OptionalUint32(key);
}

// An object whose every value passes `check`, keyed by device path.
template <typename Check>
void PathRecords(JsonReader &files, const char *key, Check check)
{
    const nlohmann::json *records = files.Optional(key);
    if (!records)
        return;
    if (!records->is_object())
        throw DeviceError(files.Where(key) + ": expected an object keyed by device path");
    for (const auto &[path, value] : records->items())
        if (!check(value))
            throw DeviceError(files.Where(key) + "." + path + ": not a value this record holds");
}

void CheckFiles(JsonReader &files)
{
    PathRecords(files, "attributes", [](const nlohmann::json &value) {
        return value.is_number_unsigned() && value.get<uint64_t>() <= 0xFFFFFFFF &&
               (value.get<uint32_t>() & ~kKeptAttributes) == 0;
    });
    PathRecords(files, "created", [](const nlohmann::json &value) {
        return value.is_number_unsigned() && value.get<uint64_t>() >= 1;
    });
    uint64_t next = 1;
    files.Uint64("next_created", next);
}

}  // namespace

void CheckState(const nlohmann::json &state)
{
    JsonReader root(state, "");
    root.Object("power", [](JsonReader &power) {
        Words(power, {"update_mode", "app_execute_flag", "restart_requests"});
    });
    root.Object("peripheral", [](JsonReader &peripheral) {
        Words(peripheral, {"power_control", "reset_control"});
    });
    root.Object("files", CheckFiles);
    // Folders from before the flash flags became per boot still carry them; they are read as
    // valid and no longer written.
    root.Object("flash", [](JsonReader &flash) {
        bool flag = false;
        for (const char *key : {"eboot_flag", "toc_flag", "nk_flag"})
            flash.Bool(key, flag);
    });
    root.RejectUnknown();
}

nlohmann::json LoadStateFile(const std::filesystem::path &file)
{
    if (!std::filesystem::exists(file))
        return nlohmann::json::object();
    std::string text = ReadWholeFile(file);  // its message names the file already
    nlohmann::json state;
    try {
        state = ParseJsonDocument(text);
        CheckState(state);
    } catch (const DeviceError &e) {
        throw DeviceError(file.string() + ": " + e.what());
    }
    state.erase("flash");  // flags of older folders: the flags no longer outlive a boot
    return state;
}

}  // namespace sim
