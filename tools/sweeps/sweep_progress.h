// What the sweeps share on the command line: their workers and their progress.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <utility>
#include <string>

#include <CLI/CLI.hpp>

namespace qs_tools {

// --jobs N: the worker processes that boot side by side (default: the host's cores).
void AddJobsOption(CLI::App &sweep, unsigned &jobs);
// --shard K/N: only every N-th of the points chosen, from the K-th, for a sweep spread over hosts.
void AddShardOption(CLI::App &sweep, uint64_t &shard, uint64_t &shards,
                    const std::string &what = "points");
// "3/8" as shard 3 of 8; none unless 1 <= K <= N.
std::optional<std::pair<uint64_t, uint64_t>> ParseShard(const std::string &text);

// A sweep's size before it starts and its progress on standard error, with the time gone and
// an estimate of the time left: on a terminal one line redrawn in place, elsewhere a line every
// twentieth of the sweep.
class ProgressLine {
public:
    explicit ProgressLine(std::string name) : name_(std::move(name)) {}
    // What is planned, once the boot that counts it is done; the estimate takes that boot's
    // time for each of the boots planned, shared among the workers.
    void Announce(const std::string &plan, uint64_t boots, unsigned jobs);
    void Show(uint64_t done, uint64_t total, const std::string &item);

private:
    double Seconds() const;

    std::string name_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point sweepStart_ = start_;
    bool terminal_ = false;
};

}  // namespace qs_tools
