#include "tools/sweeps/forked_work.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "sim/error.h"

namespace qs_tools {

namespace {

void WriteAll(int fd, const std::string &text)
{
    for (size_t done = 0; done < text.size();) {
        ssize_t put = ::write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            ::_exit(3);  // the parent is gone
        done += size_t(put);
    }
}

// A worker: its items, one JSON line each, then exit without running the parent's destructors
// (its scratch folder and locks are the parent's to remove).
[[noreturn]] void RunWorker(int fd, size_t first, size_t count, unsigned step,
                            const WorkerSetup &setup)
{
    int status = 0;
    try {
        ItemWork work = setup(true);
        for (size_t item = first; item < count; item += step)
            WriteAll(fd, nlohmann::json{{"item", item}, {"result", work(item)}}.dump() + "\n");
    } catch (const std::exception &e) {
        WriteAll(fd, nlohmann::json{{"error", e.what()}}.dump() + "\n");
        status = 1;
    }
    ::close(fd);
    ::_exit(status);
}

struct Worker {
    pid_t pid = -1;
    int fd = -1;
    std::string pending;  // a line not yet whole
};

std::string HowItEnded(int status)
{
    if (WIFSIGNALED(status))
        return std::string("ended by signal ") + strsignal(WTERMSIG(status));
    return "exited with status " + std::to_string(WEXITSTATUS(status));
}

}  // namespace

unsigned HostCores()
{
    return std::max(1u, std::thread::hardware_concurrency());
}

void RunForked(size_t count, unsigned workers, const WorkerSetup &setup,
               const std::function<void(size_t, const nlohmann::json &)> &done)
{
    workers = unsigned(std::min<size_t>(std::max(workers, 1u), std::max<size_t>(count, 1)));
    if (workers == 1) {
        ItemWork work = setup(false);
        for (size_t item = 0; item < count; ++item)
            done(item, work(item));
        return;
    }
    std::vector<Worker> running(workers);
    for (unsigned w = 0; w < workers; ++w) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            throw sim::DeviceError(std::string("cannot start a sweep worker: ") +
                                   std::strerror(errno));
        pid_t pid = ::fork();
        if (pid == 0) {
            ::close(ends[0]);
            RunWorker(ends[1], w, count, workers, setup);
        }
        ::close(ends[1]);
        if (pid < 0) {
            ::close(ends[0]);
            throw sim::DeviceError(std::string("cannot start a sweep worker: ") +
                                   std::strerror(errno));
        }
        running[w] = {pid, ends[0], {}};
    }

    std::map<size_t, nlohmann::json> early;  // results ahead of the next item in order
    size_t next = 0;
    std::string failure;
    for (size_t open = workers; open > 0;) {
        std::vector<pollfd> fds;
        for (const Worker &worker : running)
            if (worker.fd >= 0)
                fds.push_back({worker.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            break;
        for (Worker &worker : running) {
            if (worker.fd < 0)
                continue;
            auto it = std::find_if(fds.begin(), fds.end(),
                                   [&](const pollfd &p) { return p.fd == worker.fd; });
            if (it == fds.end() || !(it->revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[65536];
            ssize_t got = ::read(worker.fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                ::close(worker.fd);
                worker.fd = -1;
                --open;
                continue;
            }
            worker.pending.append(buffer, size_t(got));
            for (size_t end; (end = worker.pending.find('\n')) != std::string::npos;) {
                nlohmann::json line = nlohmann::json::parse(worker.pending.substr(0, end));
                worker.pending.erase(0, end + 1);
                if (line.contains("error")) {
                    failure = line["error"].get<std::string>();
                    continue;
                }
                early[line["item"].get<size_t>()] = std::move(line["result"]);
            }
            for (auto found = early.find(next); found != early.end() && failure.empty();
                 found = early.find(next)) {
                done(next++, found->second);
                early.erase(found);
            }
        }
        if (!failure.empty())
            break;
    }
    for (Worker &worker : running) {
        if (!failure.empty() && worker.fd >= 0)
            ::kill(worker.pid, SIGTERM);
        if (worker.fd >= 0)
            ::close(worker.fd);
        int status = 0;
        while (::waitpid(worker.pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (failure.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
            failure = "a sweep worker " + HowItEnded(status);
    }
    if (!failure.empty())
        throw sim::DeviceError(failure);
    if (next != count)
        throw sim::DeviceError("the sweep workers gave " + std::to_string(next) + " of " +
                               std::to_string(count) + " results");
}

}  // namespace qs_tools
