// A fresh simulated device in a temporary device folder, attached to the host platform.
#pragma once

#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "sim/device.h"

namespace qs_test {

class TempDevice {
public:
    // deviceJson is written as device.json; every key is optional.
    explicit TempDevice(const nlohmann::json &deviceJson = nlohmann::json::object());
    ~TempDevice();
    TempDevice(const TempDevice &) = delete;
    TempDevice &operator=(const TempDevice &) = delete;

    sim::Device &device() { return *device_; }
    const std::filesystem::path &folder() const { return folder_; }
    std::filesystem::path Host(const std::string &devicePath) const;  // "\A\b.txt" -> root/A/b.txt

    // Saves the device, detaches it and opens the folder again (a reboot).
    void Reload();

    // Lays a file (and its folders) under root/ directly, as a device image would hold it.
    void PutFile(const std::string &devicePath, const std::string &content) const;
    void PutFolder(const std::string &devicePath) const;
    std::string ReadFile(const std::string &devicePath) const;

    // The debug-log entries and stdout lines of this boot, in order.
    std::vector<std::string> LogEntries();
    // One line per control code sent, in order: "LABEL in=.. out=.." (a merged sector transfer:
    // "LABEL first+count"), " failed" when refused. LABEL is the code's name, or "DEVICE CODE"
    // when byName is false. An empty device takes every driver's.
    std::vector<std::string> DescribeIoctls(const std::string &device, bool byName);
    // Events of one kind ("ioctl", "sleep", ...), in order.
    std::vector<nlohmann::ordered_json> EventsOf(const std::string &kind);

private:
    std::filesystem::path folder_;
    std::unique_ptr<sim::Device> device_;
};

// "\\A\\b.txt" -> deviceFolder/root/A/b.txt
std::filesystem::path HostPath(const std::filesystem::path &deviceFolder,
                               const std::string &devicePath);

// A PCM WAV file of the given length: 8 kHz, 8-bit mono, so one millisecond is 8 bytes.
std::string Wave(uint32_t ms);

// Wide literal to std::u16string and back, for comparing what the platform returns.
std::string Narrow(const char16_t *text);

}  // namespace qs_test
