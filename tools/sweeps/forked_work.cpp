#include "tools/sweeps/forked_work.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "sim/device_lock.h"
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
[[noreturn]] void RunWorker(int fd, size_t first, size_t count, unsigned step, const WorkerRun &run)
{
    int status = 0;
    try {
        run(true, first, step, count, [fd](size_t item, const nlohmann::json &result) {
            WriteAll(fd, nlohmann::json{{"item", item}, {"result", result}}.dump() + "\n");
        });
    } catch (const std::exception &e) {
        WriteAll(fd, nlohmann::json{{"error", e.what()}}.dump() + "\n");
        status = 1;
    }
    ::close(fd);
    ::_exit(status);
}

// fork() for a worker or a row. The child holds no device lock, so that a sweep that stops early
// frees its device as it exits, and dies with the process that forked it, so that no row of a
// stopped sweep runs on unseen.
pid_t ForkChild()
{
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        sim::DeviceLock::LeaveToParent();
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(3);  // the parent was already gone
    }
    return pid;
}

// Where the child of ForkItem writes its result.
int g_forkedItemFd = -1;

std::string ReadToEnd(int fd)
{
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return text;
        text.append(buffer, size_t(got));
    }
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

std::optional<nlohmann::json> ForkItem()
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw sim::DeviceError(std::string("cannot fork a sweep row: ") + std::strerror(errno));
    pid_t pid = ForkChild();
    if (pid == 0) {
        ::close(ends[0]);
        g_forkedItemFd = ends[1];
        return std::nullopt;
    }
    ::close(ends[1]);
    if (pid < 0) {
        ::close(ends[0]);
        throw sim::DeviceError(std::string("cannot fork a sweep row: ") + std::strerror(errno));
    }
    std::string text = ReadToEnd(ends[0]);
    ::close(ends[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
    if (line.is_object() && line.contains("error"))
        throw sim::DeviceError(line["error"].get<std::string>());
    if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0) || !line.is_object() ||
        !line.contains("result"))
        throw sim::DeviceError("its process " + HowItEnded(status));
    return std::move(line["result"]);
}

void FinishForkedItem(const nlohmann::json &result)
{
    WriteAll(g_forkedItemFd, nlohmann::json{{"result", result}}.dump());
    ::_exit(0);
}

void FailForkedItem(const std::string &why)
{
    WriteAll(g_forkedItemFd, nlohmann::json{{"error", why}}.dump());
    ::_exit(1);
}

void RunForked(size_t count, unsigned workers, const WorkerSetup &setup,
               const std::function<void(size_t, const nlohmann::json &)> &done)
{
    RunForkedWorkers(
        count, workers,
        [&setup](bool forked, size_t first, size_t step, size_t count, const Emit &emit) {
            ItemWork work = setup(forked);
            for (size_t item = first; item < count; item += step)
                emit(item, work(item));
        },
        done);
}

void RunForkedWorkers(size_t count, unsigned workers, const WorkerRun &run, const Emit &done)
{
    workers = unsigned(std::min<size_t>(std::max(workers, 1u), std::max<size_t>(count, 1)));
    if (workers == 1) {
        run(false, 0, 1, count, done);
        return;
    }
    std::vector<Worker> running(workers);
    for (unsigned w = 0; w < workers; ++w) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            throw sim::DeviceError(std::string("cannot start a sweep worker: ") +
                                   std::strerror(errno));
        pid_t pid = ForkChild();
        if (pid == 0) {
            ::close(ends[0]);
            RunWorker(ends[1], w, count, workers, run);
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
    for (unsigned w = 0; w < workers; ++w) {
        Worker &worker = running[w];
        if (!failure.empty() && worker.fd >= 0)
            ::kill(worker.pid, SIGTERM);
        if (worker.fd >= 0)
            ::close(worker.fd);
        int status = 0;
        while (::waitpid(worker.pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (failure.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
            // The worker's items come in order: it died on the first it did not give.
            size_t item = w;
            while (item < count && (item < next || early.count(item)))
                item += workers;
            failure = "row " + std::to_string(item + 1) + ": a sweep worker " + HowItEnded(status);
        }
    }
    if (!failure.empty())
        throw sim::DeviceError(failure);
    if (next != count)
        throw sim::DeviceError("the sweep workers gave " + std::to_string(next) + " of " +
                               std::to_string(count) + " results");
}

}  // namespace qs_tools
