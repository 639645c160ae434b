// Independent items of work shared out among forked worker processes: each worker has the
// parent's memory as it was at the fork, copy-on-write, and its own scratch files, so the boots
// of a sweep run side by side on every core.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace qs_tools {

// Called once in each worker before its first item, told whether the worker is a forked process
// (else the items run in this one): gives the function that does one item. What it holds (a
// scratch copy of a device) lives until the worker's last item is done.
using ItemWork = std::function<nlohmann::json(size_t item)>;
using WorkerSetup = std::function<ItemWork(bool forked)>;

// Gives one item's result.
using Emit = std::function<void(size_t item, const nlohmann::json &result)>;
// A worker's whole share: items first, first + step, ... below count, each result given through
// emit in item order; told whether the worker is a forked process.
using WorkerRun =
    std::function<void(bool forked, size_t first, size_t step, size_t count, const Emit &emit)>;

// Shares items 0 to count-1 out as RunForked does, a worker's items to one call of run.
void RunForkedWorkers(size_t count, unsigned workers, const WorkerRun &run, const Emit &done);

// Does items 0 to count-1, item i in worker i % workers, and calls done in this process with
// each item's result in item order. With one worker, or one item, all runs in this process. A
// worker's exception is thrown here as sim::DeviceError with its message; a worker that dies
// (a signal, a crash) is named with how it ended.
void RunForked(size_t count, unsigned workers, const WorkerSetup &setup,
               const std::function<void(size_t item, const nlohmann::json &result)> &done);

// Forks a process that finishes one item on its own while this one waits for it: none in the
// child, which goes on from here and ends with FinishForkedItem; the child's result in this
// process. A child that fails or dies throws sim::DeviceError here, naming how it ended.
std::optional<nlohmann::json> ForkItem();
// In the child of ForkItem: gives its result, or why it failed, and exits.
[[noreturn]] void FinishForkedItem(const nlohmann::json &result);
[[noreturn]] void FailForkedItem(const std::string &why);

// The host's cores: how many workers a sweep uses unless told otherwise.
unsigned HostCores();

}  // namespace qs_tools
