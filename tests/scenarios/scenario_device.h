// A factory-made device in a temporary device folder, booted whole through the runner, and what
// a boot left in the folder: the debug log, the journal, the flash and the files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "devkit/app_tree.h"
#include "devkit/bin_image.h"
#include "devkit/device_maker.h"
#include "devkit/nb0_image.h"
#include "devkit/toc_record.h"
#include "devkit/update_package.h"
#include "sim/flash_array.h"
#include "tests/support/temp_device.h"
#include "tests/tools/tool_run.h"
#include "tools/runner/boot_runner.h"

namespace scenario {

namespace fs = std::filesystem;
using Json = nlohmann::json;

inline const std::string kMainApplication = devkit::kMainApplication;
inline const std::string kFunctionTest = devkit::kFunctionTestProgram;
inline const std::string kApps = "\\flashdisk\\K275D-Update\\APP_DATA\\apps";

// Small enough that a boot takes a moment: the NK image fills blocks 6 to 8 of a 16-block flash.
constexpr uint32_t kBlocks = 16;
constexpr uint32_t kNkImageBytes = 0x50000;

// The TOC sector in nand.bin: BootCfg follows the signature word, and its SerialNumber lies at
// BootCfg offset 44, the ten serial digits in its last ten bytes; the MAC address at offset 32.
constexpr uint64_t kTocSectorAt = uint64_t(devkit::kTocSector) * sim::kSectorRecordSize;
constexpr size_t kTocMacAt = 4 + 32;
constexpr size_t kTocSerialAt = 4 + 44;
constexpr size_t kTocSerialBytes = 16;

// The first record's data in a .BIN file: signature, ImageStart and ImageLen, then the record's
// address, length and checksum words.
constexpr size_t kFirstRecordDataAt = devkit::kBinSignatureSize + 8 + 12;

// An NK image whose bytes change with their offset, so that a block written to the wrong place
// shows in the flash check.
inline devkit::BinImageLayout NkLayout()
{
    devkit::BinImageLayout layout;
    layout.image = qs_test::PatternBytes(kNkImageBytes, 0);
    return layout;
}

inline void WriteBytes(const fs::path &file, const std::vector<uint8_t> &bytes)
{
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

inline std::vector<Json> ReadJournal(const fs::path &folder)
{
    std::vector<Json> events;
    std::istringstream lines(qs_test::FileText(folder / "journal.jsonl"));
    for (std::string line; std::getline(lines, line);)
        events.push_back(Json::parse(line));
    return events;
}

// The text split after each '\n', so that a line of the log is what a reader sees as one.
inline std::vector<std::string> SplitLines(const std::string &text)
{
    std::vector<std::string> lines;
    for (size_t from = 0; from < text.size();) {
        size_t end = text.find('\n', from);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(from, end - from));
        from = end;
    }
    return lines;
}

// The 32-bit word at the start of a journal buffer, as hex of its bytes in memory order.
inline uint32_t WordIn(const Json &event)
{
    std::vector<uint8_t> bytes = qs_tools::FromHex(event["in"].get<std::string>());
    uint32_t word = 0;
    for (size_t i = 0; i < 4 && i < bytes.size(); ++i)
        word |= uint32_t(bytes[i]) << (8 * i);
    return word;
}

class ScenarioDevice {
public:
    explicit ScenarioDevice(devkit::DeviceOptions options = {.blocks = kBlocks})
    {
        devkit::CreateDevice(folder(), options);
    }

    const fs::path &folder() const { return folder_; }
    // A host folder beside the device for the images and trees of a package.
    fs::path Scratch(const std::string &name) const { return temp_.path() / name; }
    // "\A\b.txt" -> root/A/b.txt
    fs::path Host(const std::string &devicePath) const
    {
        return qs_test::HostPath(folder_, devicePath);
    }

    void Configure(const Json &changes) const
    {
        Json description = Json::parse(qs_test::FileText(folder_ / "device.json"));
        description.merge_patch(changes);
        std::ofstream(folder_ / "device.json") << description.dump(2);
    }

    // Images written into the scratch folder: a good NK image, or the bytes given.
    fs::path WriteNk(const std::string &name, const devkit::BinImageLayout &layout) const
    {
        fs::path file = Scratch(name);
        devkit::WriteBinImage(file, layout);
        return file;
    }
    fs::path WriteFile(const std::string &name, const std::vector<uint8_t> &bytes) const
    {
        WriteBytes(Scratch(name), bytes);
        return Scratch(name);
    }
    fs::path WriteNb0() const { return WriteFile("boot.nb0", devkit::MakeNb0({}, {})); }
    // A small application tree with LumTask.exe at the top of apps.
    fs::path WriteApps() const
    {
        fs::path tree = Scratch("app_data");
        devkit::WriteAppTree(tree, {.files = 16, .bytes = 96 << 10, .largestFile = 24 << 10});
        return tree;
    }

    void Offer(const devkit::PackageFiles &files) const { devkit::PlacePackage(folder_, files); }

    qs_tools::BootReport Boot() const
    {
        return qs_tools::BootDeviceFolder(folder_, {.quiet = true});
    }

    std::string DebugLog() const { return qs_test::FileText(folder_ / "debug.log"); }
    std::vector<Json> Journal() const { return ReadJournal(folder_); }

    std::string Flash(uint64_t at, size_t count) const
    {
        return qs_test::FileText(folder_ / "nand.bin").substr(at, count);
    }
    void PatchFlash(uint64_t at, const std::string &bytes) const
    {
        std::fstream flash(folder_ / "nand.bin", std::ios::in | std::ios::out | std::ios::binary);
        flash.seekp(std::streamoff(at));
        flash.write(bytes.data(), std::streamsize(bytes.size()));
    }
    std::string TocSector() const { return Flash(kTocSectorAt, sim::kSectorRecordSize); }
    std::string TocSerial() const { return Flash(kTocSectorAt + kTocSerialAt, kTocSerialBytes); }

private:
    qs_test::TempFolder temp_;
    fs::path folder_ = temp_.path() / "device";
};

// The serial bytes as BootCfg holds them: six zero bytes, then the ten digit values.
inline std::string SerialBytes(const std::string &digits)
{
    std::string bytes(6, '\0');
    for (char digit : digits)
        bytes += char(digit - '0');
    return bytes;
}

}  // namespace scenario
