#include "tools/sweeps/sweep_progress.h"

#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <tuple>

#include "tools/cli/command_line.h"
#include "tools/sweeps/forked_work.h"

namespace qs_tools {

namespace {

std::string SecondsText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, seconds < 10 ? "%.1f s" : "%.0f s", seconds);
    return text;
}

}  // namespace

void AddJobsOption(CLI::App &sweep, unsigned &jobs)
{
    jobs = HostCores();
    sweep
        .add_option("--jobs", jobs,
                    "boot in N worker processes side by side, each on its own copy (default: "
                    "the host's cores)")
        ->type_name("N")
        ->check(InRange(1u, 256u));
}

std::optional<std::pair<uint64_t, uint64_t>> ParseShard(const std::string &text)
{
    uint64_t shard = 0, shards = 0;
    char slash = 0;
    std::istringstream in(text);
    if (!(in >> shard >> slash >> shards) || slash != '/' || !in.eof() || shard < 1 ||
        shard > shards || text.find_first_of("+- ") != std::string::npos)
        return std::nullopt;
    return std::pair(shard, shards);
}

void AddShardOption(CLI::App &sweep, uint64_t &shard, uint64_t &shards, const std::string &what)
{
    sweep
        .add_option_function<std::string>(
            "--shard",
            [&shard, &shards](const std::string &text) {
                std::tie(shard, shards) = *ParseShard(text);
            },
            "sweep only every N-th of the " + what +
                " chosen, from the K-th (1 to N): one shard of a sweep spread over hosts; quordev "
                "sweep merge joins the shards' --json")
        ->type_name("K/N")
        ->check(Parses(ParseShard, "K/N with 1 <= K <= N"));
}

double ProgressLine::Seconds() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - sweepStart_).count();
}

void ProgressLine::Announce(const std::string &plan, uint64_t boots, unsigned jobs)
{
    terminal_ = isatty(STDERR_FILENO);
    double counting =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    double estimate = counting * double(boots) / std::max(1u, jobs);
    std::fprintf(stderr, "%s: %s; %llu boots in %u worker%s, about %s\n", name_.c_str(),
                 plan.c_str(), static_cast<unsigned long long>(boots), jobs, jobs == 1 ? "" : "s",
                 SecondsText(estimate).c_str());
    sweepStart_ = std::chrono::steady_clock::now();
}

void ProgressLine::Show(uint64_t done, uint64_t total, const std::string &item)
{
    uint64_t step = std::max<uint64_t>(total / 20, 1);
    if (!terminal_ && done % step != 0 && done != total)
        return;
    double gone = Seconds();
    std::string time = SecondsText(gone) + " gone";
    if (done != total)
        time += ", about " + SecondsText(gone / double(done) * double(total - done)) + " left";
    std::fprintf(stderr, "%s%s: %llu of %llu (%s); %s%s", terminal_ ? "\r\033[K" : "",
                 name_.c_str(), static_cast<unsigned long long>(done),
                 static_cast<unsigned long long>(total), item.c_str(), time.c_str(),
                 terminal_ && done != total ? "" : "\n");
}

}  // namespace qs_tools
