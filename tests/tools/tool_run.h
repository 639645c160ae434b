// Temporary folders and runs of the real tool programs, for the tools' tests.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qs_test {

class TempFolder {
public:
    TempFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "qs-tools-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;
    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline std::string FileText(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a program in the folder given and collects its exit status and both outputs.
inline ToolRun RunTool(const std::string &program, std::vector<std::string> args,
                       const std::filesystem::path &workFolder)
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
    bool ran = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ) == 0 &&
               waitpid(child, &waited, 0) == child && WIFEXITED(waited);
    posix_spawn_file_actions_destroy(&actions);
    return {ran ? WEXITSTATUS(waited) : -1, FileText(out), FileText(err)};
}

}  // namespace qs_test
