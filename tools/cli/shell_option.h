// --shell standard|safe: which build of the shell boots, for quorshell and the sweeps alike.
#pragma once

#include <CLI/CLI.hpp>

#include "tools/cli/command_line.h"
#include "tools/runner/boot_runner.h"

namespace qs_tools {

inline void AddShellOption(CLI::App &app, ShellVariant &shell)
{
    app.add_option_function<std::string>(
           "--shell", [&shell](const std::string &name) { shell = *ParseShellVariant(name); },
           "the shell that boots: standard, or safe (the safe-update variant, which mends a "
           "failed flash write inside the boot and reads the flash back before a restart) "
           "(default standard)")
        ->check(Parses(ParseShellVariant, "standard or safe"))
        ->type_name("standard|safe");
}

}  // namespace qs_tools
