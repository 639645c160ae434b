#include "tools/reports/flash_report.h"
#include "tools/reports/boot_status.h"

#include <cstdio>
#include <sstream>

namespace qs_tools {

namespace {

using devkit::Hex;
using devkit::Joined;
using devkit::TocImage;
using devkit::TocRecord;

// Printable ASCII as it is, any other byte as \xNN: a string read from the flash may be anything.
std::string Printable(const std::string &bytes)
{
    std::string text;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            text += char(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            text += escaped;
        }
    }
    return text;
}

std::string SerialBytesHex(const TocRecord &toc)
{
    std::string text;
    for (uint8_t b : toc.serialNumber) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", b);
        text += pair;
    }
    return text;
}

std::string SignatureShown(uint32_t signature)
{
    return Hex(signature) + " \"" + devkit::SignatureText(signature) + "\"";
}

bool Empty(const TocImage &image)
{
    return image.version == 0 && image.signature == 0 && image.name.empty() &&
           image.imageType == 0 && image.sectors == 0 && image.loadAddress == 0 &&
           image.jumpAddress == 0 && image.storeOffset == 0;
}

std::string TocVerdict(const TocRecord &toc)
{
    std::optional<devkit::TocCheck> refusal = devkit::TocRefusal(toc);
    if (!refusal)
        return "accepted by TOC_Read";
    return std::string("refused by TOC_Read (") + devkit::TocCheckName(*refusal) +
           "): " + devkit::TocRefusalReason(*refusal, toc);
}

void PrintToc(std::ostream &out, const TocRecord &toc)
{
    out << "TOC     sector " << devkit::kTocSector << (toc.erased ? ", erased" : "") << ": "
        << TocVerdict(toc) << "\n";
    if (toc.erased)
        return;
    const devkit::TocSectorInfo &info = toc.sectorInfo;
    char infoText[32];
    std::snprintf(infoText, sizeof infoText, "%08X %02X %02X %04X", info.reserved, info.oemFlags,
                  info.badBlockMark, info.reservedWord);
    out << "  signature    " << SignatureShown(toc.signature) << "\n"
        << "  SectorInfo   " << infoText << "\n"
        << "  BootCfg      id " << Hex(toc.bootCfgId) << ", flags " << Hex(toc.configFlags)
        << ", boot delay " << toc.bootDelay << "\n"
        << "  MAC address  " << devkit::MacText(toc.mac) << "\n"
        << "  serial       " << Printable(devkit::SerialText(toc))
        << (devkit::SerialPresent(toc) ? " (present)" : " (absent: all 16 bytes zero)") << "\n";
    for (size_t index = 0; index < toc.images.size(); ++index) {
        const TocImage &image = toc.images[index];
        out << "  ID[" << index << "]        ";
        if (Empty(image)) {
            out << "empty\n";
            continue;
        }
        out << "version " << Hex(image.version) << ", signature " << SignatureShown(image.signature)
            << ", \"" << Printable(image.name) << "\"\n"
            << "               type " << image.imageType << ", " << image.sectors
            << " sectors, load " << Hex(image.loadAddress) << ", jump " << Hex(image.jumpAddress)
            << ", store offset " << image.storeOffset << "\n";
    }
}

std::string BlockList(const std::vector<uint32_t> &blocks)
{
    std::vector<std::string> numbers;
    for (uint32_t block : blocks)
        numbers.push_back(std::to_string(block));
    return numbers.empty() ? "none" : Joined(numbers, ", ");
}

void PrintBootLoader(std::ostream &out, const devkit::BootLoaderView &view)
{
    const devkit::StepLoaderView &step = view.stepLoader;
    out << "StepLoader block 0: checksum word " << Hex(step.header[2])
        << (step.checksumMatches ? " matches" : ", but sectors 0-7 sum to " + Hex(step.checksum))
        << "\n";
    out << "EBoot   blocks " << BlockList(view.eboot.blocks);
    if (!view.eboot.skipped.empty())
        out << ", skipping bad " << BlockList(view.eboot.skipped);
    out << "\n";
}

void PrintNkRegion(std::ostream &out, const devkit::NkRegion &nk)
{
    out << "NK      ID[3]: " << nk.sectors << " sectors";
    if (!nk.blocks.empty())
        out << " in blocks " << nk.blocks.front() << "-" << nk.blocks.back();
    if (!nk.skipped.empty())
        out << ", skipping " << BlockList(nk.skipped);
    out << (nk.unreadable ? "; unreadable: " + *nk.unreadable : std::string("; readable")) << "\n";
}

nlohmann::ordered_json BootLoaderJson(const devkit::BootLoaderView &view)
{
    nlohmann::ordered_json nk = nullptr;
    if (view.nk)
        nk = {{"sectors", view.nk->sectors},
              {"blocks", view.nk->blocks},
              {"skipped", view.nk->skipped},
              {"readable", !view.nk->unreadable},
              {"unreadable",
               view.nk->unreadable ? nlohmann::ordered_json(*view.nk->unreadable) : nullptr}};
    return {{"steploader",
             {{"header", view.stepLoader.header},
              {"checksum", view.stepLoader.checksum},
              {"checksum_matches", view.stepLoader.checksumMatches}}},
            {"eboot", {{"blocks", view.eboot.blocks}, {"skipped", view.eboot.skipped}}},
            {"nk", nk}};
}

const char *RegionTitle(devkit::FlashRegion region)
{
    switch (region) {
        case devkit::FlashRegion::StepLoader:
            return "StepLoader";
        case devkit::FlashRegion::EBoot:
            return "EBoot";
        case devkit::FlashRegion::Toc:
            return "TOC";
        case devkit::FlashRegion::Nk:
            return "NK";
    }
    return "";
}

void PrintBlocks(std::ostream &out, const devkit::FlashView &flash)
{
    for (const devkit::BlockRun &run : flash.map) {
        std::string blocks = std::to_string(run.first);
        if (run.last != run.first)
            blocks += "-" + std::to_string(run.last);
        char line[96];
        std::snprintf(line, sizeof line, "  %-9s %-11s %s\n", blocks.c_str(),
                      RegionTitle(run.region), Joined(devkit::StateWords(run), ", ").c_str());
        out << line;
    }
}

nlohmann::ordered_json ImageJson(size_t index, const TocImage &image)
{
    return {{"index", index},
            {"version", image.version},
            {"signature", image.signature},
            {"signature_text", devkit::SignatureText(image.signature)},
            {"string", Printable(image.name)},
            {"image_type", image.imageType},
            {"sectors", image.sectors},
            {"load_address", image.loadAddress},
            {"jump_address", image.jumpAddress},
            {"store_offset", image.storeOffset}};
}

nlohmann::ordered_json TocJson(const TocRecord &toc)
{
    nlohmann::ordered_json images = nlohmann::ordered_json::array();
    for (size_t index = 0; index < toc.images.size(); ++index)
        images.push_back(ImageJson(index, toc.images[index]));
    nlohmann::ordered_json refusal = nullptr;
    if (std::optional<devkit::TocCheck> check = devkit::TocRefusal(toc))
        refusal = {{"check", devkit::TocCheckName(*check)},
                   {"reason", devkit::TocRefusalReason(*check, toc)}};
    return {{"sector", devkit::kTocSector},
            {"erased", toc.erased},
            {"signature", toc.signature},
            {"signature_text", devkit::SignatureText(toc.signature)},
            {"boot_cfg",
             {{"boot_cfg_id", toc.bootCfgId},
              {"config_flags", toc.configFlags},
              {"boot_delay", toc.bootDelay},
              {"mac", devkit::MacText(toc.mac)},
              {"serial", Printable(devkit::SerialText(toc))},
              {"serial_present", devkit::SerialPresent(toc)},
              {"serial_bytes", SerialBytesHex(toc)}}},
            {"images", images},
            {"sector_info",
             {{"reserved", toc.sectorInfo.reserved},
              {"oem_flags", toc.sectorInfo.oemFlags},
              {"bad_block_mark", toc.sectorInfo.badBlockMark},
              {"reserved_word", toc.sectorInfo.reservedWord}}},
            {"accepted", refusal.is_null()},
            {"refusal", refusal}};
}

nlohmann::ordered_json FlashJson(const devkit::FlashView &flash)
{
    nlohmann::ordered_json map = nlohmann::ordered_json::array();
    for (const devkit::BlockRun &run : flash.map)
        map.push_back({{"first", run.first},
                       {"last", run.last},
                       {"region", devkit::RegionName(run.region)},
                       {"status", run.status},
                       {"state", devkit::StateWords(run)}});
    return {{"blocks", {{"count", flash.blocks}, {"bad", flash.bad}, {"map", map}}},
            {"toc", flash.toc ? TocJson(*flash.toc) : nlohmann::ordered_json(nullptr)},
            {"boot_loader", BootLoaderJson(flash.bootLoader)}};
}

std::string SystemInfoLine(const devkit::SystemInfoFileView &file)
{
    std::string line = "  " + file.devicePath + "  serial " + file.serial +
                       (file.serialIsTenDigits ? "" : " (not ten digits)");
    return line + ", " + (file.mac ? "MAC " + devkit::MacText(*file.mac) : *file.problem) + "\n";
}

std::string BinfsLogText(const devkit::BinfsLogView &log)
{
    std::string text = log.devicePath;
    if (!log.problem || log.size > 0)
        text += ", " + std::to_string(log.size) + (log.size == 1 ? " byte" : " bytes");
    if (log.problem)
        text += "; " + *log.problem;
    text += "\n";
    for (const std::string &line : log.lines)
        text += "  \"" + line + "\"\n";
    return text;
}

nlohmann::ordered_json Nullable(const std::optional<std::string> &text)
{
    return text ? nlohmann::ordered_json(*text) : nlohmann::ordered_json(nullptr);
}

nlohmann::ordered_json AppFolderJson(const devkit::AppFolderView &folder)
{
    return {
        {"path", folder.devicePath}, {"files", folder.size.files}, {"bytes", folder.size.bytes}};
}

}  // namespace

std::string InspectText(const std::string &folder, const devkit::DeviceView &view)
{
    std::ostringstream out;
    out << "device  " << folder << "\n";
    if (!view.flash) {
        out << "flash   never written (no nand.bin)\n";
        return out.str();
    }
    const devkit::FlashView &flash = *view.flash;
    std::vector<std::string> bad;
    for (uint32_t block : flash.bad)
        bad.push_back(std::to_string(block));
    out << "flash   " << flash.blocks
        << " blocks, bad: " << (bad.empty() ? "none" : Joined(bad, ", ")) << "\n";
    if (flash.toc)
        PrintToc(out, *flash.toc);
    else
        out << "TOC     none: the flash ends before block " << devkit::kTocBlock << "\n";
    PrintBootLoader(out, flash.bootLoader);
    if (flash.bootLoader.nk)
        PrintNkRegion(out, *flash.bootLoader.nk);
    out << "blocks\n";
    PrintBlocks(out, flash);
    return out.str();
}

nlohmann::ordered_json InspectJson(const devkit::DeviceView &view)
{
    return {{"flash", view.flash ? FlashJson(*view.flash) : nlohmann::ordered_json(nullptr)}};
}

std::string AppFoldersReport(const devkit::AppFoldersView &view)
{
    std::ostringstream out;
    out << "application folders\n";
    if (view.installed.empty())
        out << "  none installed\n";
    for (const devkit::AppFolderView &folder : view.installed) {
        char line[96];
        std::snprintf(line, sizeof line, "  %-15s %s\n", folder.devicePath.c_str(),
                      devkit::SizeText(folder.size).c_str());
        out << line;
    }
    out << "application data waiting: ";
    if (view.waiting)
        out << view.waiting->devicePath << ", " << devkit::SizeText(view.waiting->size) << " ("
            << devkit::AppFoldersText(view.waiting->appFolders) << ")\n";
    else
        out << "none\n";
    return out.str();
}

nlohmann::ordered_json AppFoldersJson(const devkit::AppFoldersView &view)
{
    nlohmann::ordered_json installed = nlohmann::ordered_json::array();
    for (const devkit::AppFolderView &folder : view.installed)
        installed.push_back(AppFolderJson(folder));
    nlohmann::ordered_json waiting = nullptr;
    if (view.waiting) {
        waiting = AppFolderJson(*view.waiting);
        waiting["folders"] = view.waiting->appFolders;
    }
    return {{"installed", installed}, {"waiting", waiting}};
}

std::string ShellFilesReport(const devkit::ShellFilesView &view)
{
    std::string text = "system information files\n";
    if (view.systemInfo.empty())
        text += "  none\n";
    for (const devkit::SystemInfoFileView &file : view.systemInfo)
        text += SystemInfoLine(file);
    text += "BINFS check log: " + (view.binfsLog ? BinfsLogText(*view.binfsLog) : "none\n");
    // Said only where there is one: a device without a key is the common case.
    if (view.updateKey)
        text += "update key: " + devkit::DeviceKeyText(view.updateKey) + "\n";
    return text;
}

nlohmann::ordered_json ShellFilesJson(const devkit::ShellFilesView &view)
{
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    for (const devkit::SystemInfoFileView &file : view.systemInfo)
        files.push_back(
            {{"path", file.devicePath},
             {"serial", file.serial},
             {"serial_ten_digits", file.serialIsTenDigits},
             {"size", file.size ? nlohmann::ordered_json(*file.size) : nullptr},
             {"mac", file.mac ? nlohmann::ordered_json(devkit::MacText(*file.mac)) : nullptr},
             {"problem", Nullable(file.problem)}});
    nlohmann::ordered_json log = nullptr;
    if (view.binfsLog)
        log = {{"path", view.binfsLog->devicePath},
               {"size", view.binfsLog->size},
               {"lines", view.binfsLog->lines},
               {"problem", Nullable(view.binfsLog->problem)}};
    return {
        {"system_info", files}, {"binfs_log", log}, {"update_key", UpdateKeyJson(view.updateKey)}};
}

}  // namespace qs_tools
