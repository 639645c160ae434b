// Runs of the real tool programs, for the tools' tests.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/files.h"

namespace qs_test {

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a program in the folder given and collects its exit status and both outputs. A file size
// limit stands for a full disk: past it, a write fails (EFBIG) instead of ending the program.
inline ToolRun RunTool(const std::string &program, std::vector<std::string> args,
                       const std::filesystem::path &workFolder, rlim_t fileSizeLimit = 0)
{
    TempFolder outputs;
    const std::string out = (outputs.path() / "out").string(),
                      err = (outputs.path() / "err").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, workFolder.c_str());
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT, 0644);
    args.insert(args.begin(), program);
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    int waited = 0;
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    sighandler_t handler = signal(SIGXFSZ, fileSizeLimit ? SIG_IGN : SIG_DFL);
    if (fileSizeLimit) {
        rlimit limited{fileSizeLimit, before.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    bool spawned =
        posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ) == 0;
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, handler);
    bool ran = spawned && waitpid(child, &waited, 0) == child && WIFEXITED(waited);
    posix_spawn_file_actions_destroy(&actions);
    return {ran ? WEXITSTATUS(waited) : -1, FileText(out), FileText(err)};
}

}  // namespace qs_test
