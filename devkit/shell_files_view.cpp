#include "devkit/shell_files_view.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "devkit/app_data.h"
#include "sim/device.h"
#include "sim/error.h"
#include "sim/unicode.h"

namespace devkit {

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kMacFileSize = 6;

void AppendEscaped(std::string &text, char16_t unit)
{
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\u%04X", unsigned(unit));
    text += escaped;
}

bool IsHighSurrogate(char16_t unit)
{
    return unit >= 0xD800 && unit < 0xDC00;
}

bool IsLowSurrogate(char16_t unit)
{
    return unit >= 0xDC00 && unit < 0xE000;
}

// The entry of a folder that the device finds by name, and its kind without following a link.
std::optional<fs::path> FindEntry(const fs::path &folder, std::string_view name,
                                  fs::file_type &kind)
{
    std::optional<fs::path> entry = FindDeviceEntry(folder, name);
    std::error_code error;
    kind = entry ? fs::symlink_status(*entry, error).type() : fs::file_type::not_found;
    return entry;
}

std::optional<std::string> ReadFile(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad())
        return std::nullopt;
    return content;
}

// What an entry that is not a plain file is, for the line that says why it was not read.
std::string NotAFile(fs::file_type kind)
{
    return kind == fs::file_type::directory ? "a folder, not a file" : "not a plain file";
}

bool MatchesSystemInfo(const std::string &name)
{
    std::string folded = sim::FoldCase(name);
    return folded.size() >= kSystemInfoPrefix.size() + kSystemInfoSuffix.size() &&
           folded.starts_with(sim::FoldCase(std::string(kSystemInfoPrefix))) &&
           folded.ends_with(sim::FoldCase(std::string(kSystemInfoSuffix)));
}

SystemInfoFileView ViewSystemInfo(const fs::directory_entry &entry)
{
    const std::string name = entry.path().filename().string();
    SystemInfoFileView view;
    view.devicePath = "\\" + entry.path().parent_path().filename().string() + "\\" + name;
    size_t start = name.find('_') + 1;
    view.serial = name.substr(start, name.size() - kSystemInfoSuffix.size() - start);
    view.serialIsTenDigits =
        view.serial.size() == 10 && std::all_of(view.serial.begin(), view.serial.end(),
                                                [](char c) { return c >= '0' && c <= '9'; });
    std::error_code error;
    fs::file_type kind = entry.symlink_status(error).type();
    if (kind != fs::file_type::regular) {
        view.problem = NotAFile(kind);
        return view;
    }
    std::optional<std::string> content = ReadFile(entry.path());
    if (!content) {
        view.problem = "unreadable";
        return view;
    }
    view.size = content->size();
    if (content->size() != kMacFileSize) {
        view.problem =
            std::to_string(content->size()) + " bytes, not " + std::to_string(kMacFileSize);
        return view;
    }
    MacAddress mac;
    std::copy(content->begin(), content->end(), mac.begin());
    view.mac = mac;
    return view;
}

std::vector<SystemInfoFileView> ViewSystemInfoFiles(const fs::path &root)
{
    fs::file_type kind;
    std::optional<fs::path> nand = FindEntry(root, "NAND", kind);
    if (kind != fs::file_type::directory)
        return {};
    std::vector<fs::directory_entry> found;
    std::error_code error;
    for (fs::directory_iterator it(*nand, error), end; !error && it != end; it.increment(error))
        if (MatchesSystemInfo(it->path().filename().string()))
            found.push_back(*it);
    if (error)
        throw sim::DeviceError(nand->string() + ": cannot be read: " + error.message());
    std::sort(found.begin(), found.end(), [](const auto &a, const auto &b) {
        std::string left = a.path().filename().string(), right = b.path().filename().string();
        return std::pair(sim::FoldCase(left), left) < std::pair(sim::FoldCase(right), right);
    });
    std::vector<SystemInfoFileView> views;
    for (const fs::directory_entry &entry : found)
        views.push_back(ViewSystemInfo(entry));
    return views;
}

std::optional<BinfsLogView> ViewBinfsLog(const fs::path &root)
{
    fs::file_type kind;
    std::optional<fs::path> flashdisk = FindEntry(root, "flashdisk", kind);
    if (kind != fs::file_type::directory)
        return std::nullopt;
    std::string_view name = kBinfsLogDevicePath.substr(kBinfsLogDevicePath.rfind('\\') + 1);
    std::optional<fs::path> log = FindEntry(*flashdisk, name, kind);
    if (!log)
        return std::nullopt;
    BinfsLogView view;
    view.devicePath = "\\" + flashdisk->filename().string() + "\\" + log->filename().string();
    if (kind != fs::file_type::regular) {
        view.problem = NotAFile(kind);
        return view;
    }
    std::optional<std::string> content = ReadFile(*log);
    if (!content) {
        view.problem = "unreadable";
        return view;
    }
    view.size = content->size();
    view.lines = Utf16LeLines(*content);
    if (content->size() % 2)
        view.problem = "an odd size: the last byte is no UTF-16 character";
    return view;
}

}  // namespace

std::vector<std::string> Utf16LeLines(std::string_view bytes)
{
    std::vector<char16_t> units;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        units.push_back(char16_t(uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8));
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < units.size(); ++i) {
        char16_t unit = units[i];
        if (unit == u'\r' && i + 1 < units.size() && units[i + 1] == u'\n') {
            lines.push_back(std::move(line));
            line.clear();
            ++i;
        } else if (IsHighSurrogate(unit) && i + 1 < units.size() && IsLowSurrogate(units[i + 1])) {
            sim::AppendUtf8(line,
                            0x10000 + (char32_t(unit - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else if (unit < 0x20 || (unit >= 0x7F && unit < 0xA0) || IsHighSurrogate(unit) ||
                   IsLowSurrogate(unit)) {
            AppendEscaped(line, unit);
        } else {
            sim::AppendUtf8(line, unit);
        }
    }
    if (!line.empty())
        lines.push_back(std::move(line));
    return lines;
}

ShellFilesView ViewShellFiles(const fs::path &deviceFolder)
{
    const fs::path root = deviceFolder / "root";
    return {ViewSystemInfoFiles(root), ViewBinfsLog(root), ReadDeviceKey(deviceFolder)};
}

}  // namespace devkit
