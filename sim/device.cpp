#include "sim/device.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "sim/error.h"
#include "sim/state_check.h"
#include "sim/standard_drivers.h"

namespace sim {

namespace fs = std::filesystem;

std::string FoldCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

bool CaselessLess::operator()(const std::string &a, const std::string &b) const
{
    return FoldCase(a) < FoldCase(b);
}

std::string ReadWholeFile(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in || !fs::is_regular_file(file))
        throw DeviceError(file.string() + ": cannot be read");
    std::stringstream content;
    content << in.rdbuf();
    if (in.bad())
        throw DeviceError(file.string() + ": cannot be read");
    return content.str();
}

void WriteFileAtomically(const fs::path &file, const std::string &content)
{
    fs::path temporary = file;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << content;
        out.flush();
        if (!out)
            throw DeviceError(file.string() + ": cannot be written");
    }
    fs::rename(temporary, file);
}

Device::Device(fs::path folder, DeviceConfig config, nlohmann::json state)
    : folder_(std::move(folder)),
      config_(std::move(config)),
      state_(std::move(state)),
      clock_(config_.clock.utc, config_.clock.localOffsetMinutes),
      storeFaults_(config_.store.faults, {}, "store")
{
    journal_.SetTimeSource([this] { return clock_.ElapsedMs(); });
}

std::unique_ptr<Device> Device::Open(const fs::path &folder)
{
    std::error_code error;
    if (!fs::is_directory(folder, error))
        throw DeviceError(folder.string() + ": no such device folder");
    fs::path configFile = folder / "device.json";
    DeviceConfig config = fs::exists(configFile) ? DeviceConfig::Load(configFile) : DeviceConfig();
    nlohmann::json state = LoadStateFile(folder / "state.json");
    fs::create_directories(folder / "root", error);
    if (error)
        throw DeviceError((folder / "root").string() + ": " + error.message());
    std::unique_ptr<Device> device(new Device(folder, std::move(config), std::move(state)));
    AddStandardDrivers(*device);
    return device;
}

std::unique_ptr<Device> Device::Create(const fs::path &folder, const nlohmann::json &deviceJson)
{
    DeviceConfig::FromJson(deviceJson);  // refuse a bad description before writing anything
    fs::create_directories(folder);
    WriteFileAtomically(folder / "device.json", deviceJson.dump(2) + "\n");
    return Open(folder);
}

void Device::AppendDebugLog(const std::string &text)
{
    debugLog_ += text;
    journal_.Log(text);
}

nlohmann::json &Device::StateSection(const std::string &key)
{
    nlohmann::json &section = state_[key];
    if (!section.is_object())
        section = nlohmann::json::object();
    return section;
}

void Device::AddDriver(std::unique_ptr<Driver> driver, bool present)
{
    std::string key = driver->StateKey();
    if (!key.empty() && state_.contains(key))
        driver->LoadState(state_[key]);
    driver->AttachJournal(&journal_);
    std::string name = driver->Name();
    drivers_[name] = std::move(driver);
    if (present)
        absent_.erase(name);
    else
        absent_.insert(name);
}

Driver *Device::FindDriver(const std::string &name)
{
    Driver *driver = InstalledDriver(name);
    if (driver && absent_.contains(name)) {
        journal_.Fault(driver->Name(), "absent: device.json marks it not present");
        return nullptr;
    }
    return driver;
}

Driver *Device::InstalledDriver(const std::string &name)
{
    auto found = drivers_.find(name);
    return found == drivers_.end() ? nullptr : found->second.get();
}

void Device::Save()
{
    for (const auto &[name, driver] : drivers_)
        driver->Flush();
    nlohmann::json state = state_;
    for (const auto &[name, driver] : drivers_)
        if (!driver->StateKey().empty())
            state[driver->StateKey()] = driver->SaveState();
    WriteFileAtomically(folder_ / "state.json", state.dump(2) + "\n");
    WriteFileAtomically(folder_ / "debug.log", debugLog_);
    WriteFileAtomically(folder_ / "journal.jsonl", journal_.ToJsonLines());
}

}  // namespace sim
