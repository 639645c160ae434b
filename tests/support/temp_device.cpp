#include "tests/support/temp_device.h"

#include "tests/support/journal_text.h"

#include <fstream>
#include <random>
#include <sstream>

#include "platform/host/host.h"
#include "platform/host/internal.h"

namespace qs_test {

namespace fs = std::filesystem;

namespace {

fs::path NewTempFolder()
{
    std::random_device random;
    for (;;) {
        fs::path candidate = fs::temp_directory_path() / ("qs-device-" + std::to_string(random()));
        if (fs::create_directory(candidate))
            return candidate;
    }
}

}  // namespace

TempDevice::TempDevice(const nlohmann::json &deviceJson) : folder_(NewTempFolder())
{
    device_ = sim::Device::Create(folder_, deviceJson);
    ce_host::Attach(*device_);
}

TempDevice::~TempDevice()
{
    ce_host::Detach();
    device_.reset();
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

fs::path HostPath(const fs::path &deviceFolder, const std::string &devicePath)
{
    fs::path path = deviceFolder / "root";
    std::stringstream parts(devicePath);
    std::string part;
    while (std::getline(parts, part, '\\'))
        if (!part.empty())
            path /= part;
    return path;
}

fs::path TempDevice::Host(const std::string &devicePath) const
{
    return HostPath(folder_, devicePath);
}

void TempDevice::Reload()
{
    ce_host::Detach();
    device_->Save();
    device_.reset();
    device_ = sim::Device::Open(folder_);
    ce_host::Attach(*device_);
}

void TempDevice::PutFile(const std::string &devicePath, const std::string &content) const
{
    fs::path file = Host(devicePath);
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
}

void TempDevice::PutFolder(const std::string &devicePath) const
{
    fs::create_directories(Host(devicePath));
}

std::string TempDevice::ReadFile(const std::string &devicePath) const
{
    std::ifstream in(Host(devicePath), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string Wave(uint32_t ms)
{
    auto u32 = [](uint32_t v) {
        return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    };
    auto u16 = [](uint16_t v) { return std::string{char(v), char(v >> 8)}; };
    uint32_t data = ms * 8;
    return "RIFF" + u32(36 + data) + "WAVE" + "fmt " + u32(16) + u16(1) + u16(1) + u32(8000) +
           u32(8000) + u16(1) + u16(8) + "data" + u32(data) + std::string(data, '\x80');
}

std::vector<std::string> TempDevice::LogEntries()
{
    return LogTexts(device_->Events().Events());
}

std::vector<nlohmann::ordered_json> TempDevice::EventsOf(const std::string &kind)
{
    std::vector<nlohmann::ordered_json> found;
    for (const auto &event : device_->Events().Events())
        if (event["event"] == kind)
            found.push_back(event);
    return found;
}

std::vector<std::string> TempDevice::DescribeIoctls(const std::string &device, bool byName)
{
    std::vector<std::string> calls;
    for (const auto &event : EventsOf("ioctl")) {
        if (!device.empty() && event["device"] != device)
            continue;
        std::string call = byName ? event["name"].get<std::string>()
                                  : event["device"].get<std::string>() + " " +
                                        std::to_string(event["code"].get<uint32_t>());
        if (event.contains("first")) {
            call += " " + std::to_string(event["first"].get<uint32_t>()) + "+" +
                    std::to_string(event["count"].get<uint32_t>());
        } else {
            if (!event["in"].get<std::string>().empty())
                call += " in=" + event["in"].get<std::string>();
            if (!event["out"].get<std::string>().empty())
                call += " out=" + event["out"].get<std::string>();
        }
        if (event["ok"] == false)
            call += " failed";
        calls.push_back(call);
    }
    return calls;
}

std::string Narrow(const char16_t *text)
{
    return ce_host::ToUtf8(ce_host::View(text));
}

}  // namespace qs_test
