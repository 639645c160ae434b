#include "sim/config.h"

#include <fstream>
#include <sstream>

#include "sim/device.h"
#include "sim/error.h"
#include "sim/flash_array.h"
#include "sim/json_reader.h"
#include "sim/unicode.h"

namespace sim {

namespace {

const char *FindOrderName(FindOrder order)
{
    switch (order) {
        case FindOrder::Reverse:
            return "reverse";
        case FindOrder::Created:
            return "created";
        case FindOrder::Name:
            break;
    }
    return "name";
}

FindOrder ParseFindOrder(const std::string &text, const std::string &where)
{
    for (FindOrder order : {FindOrder::Name, FindOrder::Reverse, FindOrder::Created})
        if (text == FindOrderName(order))
            return order;
    throw DeviceError(where + ": expected \"name\", \"reverse\" or \"created\"");
}

// Refuses, naming it, a fault that the section's driver could never fire.
void ReadFaults(JsonReader &reader, std::vector<FaultSpec> &faults, const FaultScope &scope)
{
    faults.clear();
    reader.Objects("faults", [&](const nlohmann::json &item, const std::string &where) {
        faults.push_back(FaultSpec::FromJson(item, where));
    });
    CheckFaults(faults, scope);
}

nlohmann::json FaultsToJson(const std::vector<FaultSpec> &faults)
{
    nlohmann::json list = nlohmann::json::array();
    for (const FaultSpec &fault : faults)
        list.push_back(fault.ToJson());
    return list;
}

// A key every copy fault needs: absent is as wrong as malformed.
const nlohmann::json &Required(JsonReader &r, const std::string &key)
{
    const nlohmann::json *value = r.Optional(key);
    if (!value)
        throw DeviceError(r.Where(key) + ": missing");
    return *value;
}

std::string RequiredPath(JsonReader &r)
{
    const nlohmann::json &value = Required(r, "path");
    if (!value.is_string() || value.get<std::string>().empty())
        throw DeviceError(r.Where("path") + ": expected a device path");
    return value.get<std::string>();
}

uint64_t RequiredUint64(JsonReader &r, const std::string &key)
{
    Required(r, key);
    uint64_t value = 0;
    r.Uint64(key, value);
    return value;
}

// A list of {path, after_bytes}: the faults that cut a file short (fail_copies, fail_writes,
// short_reads).
template <typename Fault>
void ReadAfterBytesFaults(JsonReader &r, const std::string &key, std::vector<Fault> &faults)
{
    if (r.Optional(key))
        faults.clear();
    r.Objects(key, [&](const nlohmann::json &item, const std::string &where) {
        JsonReader c(item, where);
        Fault fault;
        fault.path = RequiredPath(c);
        fault.afterBytes = RequiredUint64(c, "after_bytes");
        c.RejectUnknown();
        faults.push_back(fault);
    });
}

void ReadFileFaults(JsonReader &r, FilesConfig &files)
{
    if (r.Optional("corrupt_copies"))
        files.corruptCopies.clear();
    r.Objects("corrupt_copies", [&](const nlohmann::json &item, const std::string &where) {
        JsonReader c(item, where);
        CorruptCopy fault;
        fault.path = RequiredPath(c);
        Required(c, "copies");
        c.Uint32("copies", fault.copies);
        if (fault.copies == 0)
            throw DeviceError(c.Where("copies") + ": expected 1 or more");
        fault.offset = RequiredUint64(c, "offset");
        c.RejectUnknown();
        files.corruptCopies.push_back(fault);
    });
    ReadAfterBytesFaults(r, "fail_copies", files.failCopies);
    ReadAfterBytesFaults(r, "fail_writes", files.failWrites);
    ReadAfterBytesFaults(r, "short_reads", files.shortReads);
}

nlohmann::json CorruptCopiesToJson(const std::vector<CorruptCopy> &faults)
{
    nlohmann::json list = nlohmann::json::array();
    for (const CorruptCopy &fault : faults)
        list.push_back({{"path", fault.path}, {"copies", fault.copies}, {"offset", fault.offset}});
    return list;
}

template <typename Fault>
nlohmann::json AfterBytesFaultsToJson(const std::vector<Fault> &faults)
{
    nlohmann::json list = nlohmann::json::array();
    for (const Fault &fault : faults)
        list.push_back({{"path", fault.path}, {"after_bytes", fault.afterBytes}});
    return list;
}

void ReadFiles(JsonReader &r, FilesConfig &files)
{
    std::string order = FindOrderName(files.findOrder);
    r.String("find_order", order);
    files.findOrder = ParseFindOrder(order, r.Where("find_order"));
    r.Bool("dot_entries", files.dotEntries);
    r.StringList("locked", files.locked);
    if (const nlohmann::json *mounts = r.Optional("mount_after_ms")) {
        files.mountAfterMs.clear();
        if (!mounts->is_object())
            throw DeviceError(r.Where("mount_after_ms") + ": expected an object");
        for (const auto &[folder, ms] : mounts->items()) {
            if (!ms.is_number_integer() || ms.get<int64_t>() < 0 || ms.get<uint64_t>() > 0xFFFFFFFF)
                throw DeviceError(r.Where("mount_after_ms." + folder) +
                                  ": expected milliseconds, 0 to 4294967295");
            files.mountAfterMs[folder] = ms.get<uint32_t>();
        }
    }
    ReadFileFaults(r, files);
}

std::string PartitionName(JsonReader &p, const std::string &key)
{
    std::string name;
    p.String(key, name);
    // The document's strings are UTF-8 already: the parser refuses anything else.
    if (Utf16Units(name).value_or(SIZE_MAX) > kMaxPartitionNameLength)
        throw DeviceError(p.Where(key) + ": at most " + std::to_string(kMaxPartitionNameLength) +
                          " characters");
    return name;
}

// The whole 64-bit range; a larger number reaches the reader as a floating-point value.
uint64_t SectorCount(JsonReader &p)
{
    const nlohmann::json *value = p.Optional("sectors");
    if (value && value->is_number_float() && value->get<double>() >= 0x1p64)
        throw DeviceError(p.Where("sectors") + ": out of range 0 to " + std::to_string(UINT64_MAX));
    uint64_t sectors = 0;
    p.Uint64("sectors", sectors);
    return sectors;
}

void ReadStore(JsonReader &r, StoreConfig &store)
{
    r.Bool("present", store.present);
    ReadFaults(r, store.faults, StoreFaultScope());
    if (r.Optional("partitions"))
        store.partitions.clear();
    r.Objects("partitions", [&](const nlohmann::json &item, const std::string &where) {
        JsonReader p(item, where);
        PartitionConfig partition;
        partition.name = PartitionName(p, "name");
        partition.fileSystem = PartitionName(p, "file_system");
        partition.sectors = SectorCount(p);
        p.RejectUnknown();
        store.partitions.push_back(partition);
    });
}

FlashTiming ReadFlashTiming(JsonReader &t)
{
    FlashTiming timing;
    t.Uint32("page_read_us", timing.pageReadUs);
    t.Uint32("page_program_us", timing.pageProgramUs);
    t.Uint32("block_erase_us", timing.blockEraseUs);
    return timing;
}

nlohmann::json FlashTimingToJson(const FlashTiming &timing)
{
    return {{"page_read_us", timing.pageReadUs},
            {"page_program_us", timing.pageProgramUs},
            {"block_erase_us", timing.blockEraseUs}};
}

}  // namespace

DeviceConfig DeviceConfig::FromJson(const nlohmann::json &doc)
{
    DeviceConfig c;
    JsonReader r(doc, "");
    r.Object("clock", [&](JsonReader &s) {
        s.String("utc", c.clock.utc);
        int64_t offset = c.clock.localOffsetMinutes;
        s.Int("local_offset_minutes", offset, -24 * 60, 24 * 60);
        c.clock.localOffsetMinutes = int(offset);
    });
    r.Object("files", [&](JsonReader &s) { ReadFiles(s, c.files); });
    r.Object("heap", [&](JsonReader &s) {
        // Absent keeps the default; null lifts the limit.
        if (const nlohmann::json *limit = s.Optional("limit_bytes"); limit && limit->is_null()) {
            c.heap.limitBytes.reset();
        } else if (limit) {
            uint64_t bytes = 0;
            s.Uint64("limit_bytes", bytes);
            c.heap.limitBytes = bytes;
        }
    });
    r.Object("flash", [&](JsonReader &s) {
        s.Bool("present", c.flash.present);
        s.Uint32("blocks", c.flash.blocks);
        if (c.flash.blocks < kMinFlashBlocks || c.flash.blocks > kMaxFlashBlocks)
            throw DeviceError(s.Where("blocks") + ": out of range " +
                              std::to_string(kMinFlashBlocks) + " to " +
                              std::to_string(kMaxFlashBlocks));
        s.Uint32List("bad", c.flash.bad);
        s.Uint32("eboot_update", c.flash.ebootUpdate);
        s.Bool("protect", c.flash.protect);
        ReadFaults(s, c.flash.faults, FlashFaultScope(c.flash.blocks));
        s.Object("timing", [&](JsonReader &t) { c.flash.timing = ReadFlashTiming(t); });
    });
    r.Object("power", [&](JsonReader &s) {
        s.Bool("present", c.power.present);
        s.Uint32("boot_key", c.power.bootKey);
        s.Int("serial", c.power.serial, INT32_MIN, UINT32_MAX);
        ReadFaults(s, c.power.faults, CodeFaultScope("power"));
    });
    r.Object("peripheral", [&](JsonReader &s) {
        s.Bool("present", c.peripheral.present);
        ReadFaults(s, c.peripheral.faults, CodeFaultScope("peripheral"));
    });
    r.Object("braille", [&](JsonReader &s) {
        s.Bool("present", c.braille.present);
        ReadFaults(s, c.braille.faults, CodeFaultScope("braille"));
    });
    r.Object("store", [&](JsonReader &s) { ReadStore(s, c.store); });
    r.Object("programs", [&](JsonReader &s) { s.StringList("fail", c.programs.fail); });
    r.RejectUnknown();
    if (c.power.bootKey > 0xFF)
        throw DeviceError("power.boot_key: out of range 0 to 255");
    ParseUtc(c.clock.utc);
    return c;
}

DeviceConfig DeviceConfig::Parse(const std::string &text)
{
    return FromJson(ParseJsonDocument(text));
}

DeviceConfig DeviceConfig::Load(const std::filesystem::path &file)
{
    std::string text = ReadWholeFile(file);  // its message names the file already
    try {
        return Parse(text);
    } catch (const DeviceError &e) {
        throw DeviceError(file.string() + ": " + e.what());
    }
}

nlohmann::json DeviceConfig::ToJson() const
{
    nlohmann::json partitions = nlohmann::json::array();
    for (const PartitionConfig &p : store.partitions)
        partitions.push_back(
            {{"name", p.name}, {"file_system", p.fileSystem}, {"sectors", p.sectors}});
    nlohmann::json mounts = nlohmann::json::object();
    for (const auto &[folder, ms] : files.mountAfterMs)
        mounts[folder] = ms;
    nlohmann::json flashJson = {{"present", flash.present}, {"blocks", flash.blocks},
                                {"bad", flash.bad},         {"eboot_update", flash.ebootUpdate},
                                {"protect", flash.protect}, {"faults", FaultsToJson(flash.faults)}};
    if (flash.timing)
        flashJson["timing"] = FlashTimingToJson(*flash.timing);
    return {
        {"clock", {{"utc", clock.utc}, {"local_offset_minutes", clock.localOffsetMinutes}}},
        {"files",
         {{"find_order", FindOrderName(files.findOrder)},
          {"dot_entries", files.dotEntries},
          {"locked", files.locked},
          {"mount_after_ms", mounts},
          {"corrupt_copies", CorruptCopiesToJson(files.corruptCopies)},
          {"fail_copies", AfterBytesFaultsToJson(files.failCopies)},
          {"fail_writes", AfterBytesFaultsToJson(files.failWrites)},
          {"short_reads", AfterBytesFaultsToJson(files.shortReads)}}},
        {"heap",
         {{"limit_bytes", heap.limitBytes ? nlohmann::json(*heap.limitBytes) : nlohmann::json()}}},
        {"flash", flashJson},
        {"power",
         {{"present", power.present},
          {"boot_key", power.bootKey},
          {"serial", power.serial},
          {"faults", FaultsToJson(power.faults)}}},
        {"peripheral",
         {{"present", peripheral.present}, {"faults", FaultsToJson(peripheral.faults)}}},
        {"braille", {{"present", braille.present}, {"faults", FaultsToJson(braille.faults)}}},
        {"store",
         {{"present", store.present},
          {"faults", FaultsToJson(store.faults)},
          {"partitions", partitions}}},
        {"programs", {{"fail", programs.fail}}},
    };
}

}  // namespace sim
