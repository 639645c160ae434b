// The record of everything a boot asked of the device, in order; written to journal.jsonl.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim {

class Journal {
public:
    using Event = nlohmann::ordered_json;
    using Listener = std::function<void(const Event &)>;

    // Every event gets seq and t (virtual milliseconds) from the clock reading given here.
    void SetTimeSource(std::function<uint64_t()> now) { now_ = std::move(now); }
    // Called with each event as it is recorded (a merged transfer: when it starts).
    void SetListener(Listener listener) { listener_ = std::move(listener); }

    void Log(const std::string &text);
    void Stdout(const std::string &text);
    // A driver opened by CreateFileW, with the parameters it was opened with.
    void Open(const std::string &device, uint32_t access, uint32_t share, uint32_t disposition,
              uint32_t flags);
    void Close(const std::string &device);
    void Sleep(uint32_t ms);
    void Sound(const std::string &path, bool ok);
    void Process(const std::string &path, bool ok);
    void Braille(std::span<const uint8_t> cells, const std::string &text);
    // Something the device forbids. The kind tells apart what the runner's exit status reports
    // on its own: "flag" for an FMD flag still on when the shell returns.
    void Violation(const std::string &device, const std::string &what,
                   const std::string &kind = "");
    void Leak(const std::string &what);
    // A fault that device.json asked for has fired (a corrupted or failed copy); one that lasts
    // names the place where it stays.
    void Fault(const std::string &device, const std::string &what, const std::string &lasting = "");
    // The simulator stopped the boot: the journal's last event says why.
    void Error(const std::string &what);
    // The power went at the boot's index-th flash erase or program ("erase", "program"); the
    // boot's last event.
    void PowerCut(uint64_t index, const std::string &op, uint32_t block,
                  std::optional<uint32_t> sector, const std::string &outcome);
    // The power went at the boot's change-th change of its files; the boot's last event. A write
    // torn or completed tells the bytes that landed.
    void FilePowerCut(uint64_t change, const std::string &call, const std::string &kind,
                      const std::string &target, const std::string &outcome, uint64_t landed);
    // A call the device's platform refuses because of how it was made (a missing byte-count
    // pointer, a pointer that is not a live heap block): a fault of the caller, not the device.
    void Misuse(const std::string &call, const std::string &what);
    // A storage-manager call (OpenStore, FindFirstPartition, FindClosePartition, CloseHandle of a
    // store); a refused one carries the last-error code it left.
    void Store(const std::string &call, const std::string &detail, bool ok, uint32_t error = 0);

    // A control code with its buffers. A sector transfer (sector given) merges into the previous
    // event when that is the same transfer on the same device for the sector just before it.
    void Ioctl(const std::string &device, uint32_t code, const std::string &name,
               std::span<const uint8_t> in, std::span<const uint8_t> out, bool ok,
               std::optional<uint32_t> transferSector = std::nullopt);

    const std::vector<Event> &Events() const { return events_; }
    void Clear() { events_.clear(); }
    // One JSON object a line.
    std::string ToJsonLines() const;

private:
    Event &Append(const char *kind);
    void Emit(const char *kind, const Event &fields);

    std::vector<Event> events_;
    std::function<uint64_t()> now_;
    Listener listener_;
};

std::string ToHex(std::span<const uint8_t> bytes);

}  // namespace sim
