// The rows of a sweep forked from one boot: as the boot reaches a row's point it forks; the child
// goes on in a linked copy of the scratch device, its flash held in memory, and finishes the row,
// while this process waits for the row's result, gives it on and goes on.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "tools/runner/scratch_device.h"
#include "tools/sweeps/forked_work.h"

namespace qs_tools {

class RowForks {
public:
    RowForks(const ScratchDevice &copy, Emit emit) : copy_(copy), emit_(std::move(emit)) {}

    // Forks for row i: true in the child, which now boots in its own copy; false in this
    // process once the row's result is given on or a failure is kept, and false in a child,
    // which forks no more (its hooks stay set until the boot is over: a hook cannot clear
    // itself while it runs).
    bool Fork(size_t i);
    // Keeps the first failure; the later forks do nothing.
    void Fail(const std::string &why);

    // In a child: its row, and its copy of the device folder.
    std::optional<size_t> Row() const { return mine_; }
    const std::filesystem::path &Own() const { return own_; }
    // In a child: gives the row's result, or why making it failed, and exits.
    [[noreturn]] void Finish(const std::function<nlohmann::json()> &result) const;

    // In this process: the first failure as sim::DeviceError, its text after the prefix.
    void ThrowIfFailed(const std::string &prefix = "") const;

private:
    const ScratchDevice &copy_;
    Emit emit_;
    std::optional<size_t> mine_;
    std::filesystem::path own_;
    std::string failure_;
};

// The points of a map by point: where a sweep forks.
template <typename Map>
std::set<uint64_t> Keys(const Map &map)
{
    std::set<uint64_t> keys;
    for (const auto &entry : map)
        keys.insert(entry.first);
    return keys;
}

}  // namespace qs_tools
