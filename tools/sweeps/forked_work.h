// Independent items of work shared out among forked worker processes: each worker has the
// parent's memory as it was at the fork, copy-on-write, and its own scratch files, so the boots
// of a sweep run side by side on every core.
#pragma once

#include <cstddef>
#include <functional>

#include <nlohmann/json.hpp>

namespace qs_tools {

// Called once in each worker before its first item, told whether the worker is a forked process
// (else the items run in this one): gives the function that does one item. What it holds (a
// scratch copy of a device) lives until the worker's last item is done.
using ItemWork = std::function<nlohmann::json(size_t item)>;
using WorkerSetup = std::function<ItemWork(bool forked)>;

// Does items 0 to count-1, item i in worker i % workers, and calls done in this process with
// each item's result in item order. With one worker, or one item, all runs in this process. A
// worker's exception is thrown here as sim::DeviceError with its message; a worker that dies
// (a signal, a crash) is named with how it ended.
void RunForked(size_t count, unsigned workers, const WorkerSetup &setup,
               const std::function<void(size_t item, const nlohmann::json &result)> &done);

// The host's cores: how many workers a sweep uses unless told otherwise.
unsigned HostCores();

}  // namespace qs_tools
