// quordev's subcommands: each adds itself to the app and gives back its run, which answers -1
// when its subcommand was not the one given.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "tools/cli/command_line.h"

namespace qs_tools {

using Command = std::function<int()>;

Command AddMkbinCommand(CLI::App &app);
Command AddMknb0Command(CLI::App &app);
Command AddCrcCommand(CLI::App &app);
Command AddSignCommand(CLI::App &app);
Command AddKeygenCommand(CLI::App &app);
Command AddMkappsCommand(CLI::App &app);
Command AddPackageCommand(CLI::App &app);
Command AddVerifyCommand(CLI::App &app);
Command AddStatusCommand(CLI::App &app);

// A CRC or checksum as quordev prints it: "0x" and eight upper-case hex digits.
std::string Hex8(uint32_t value);

// A 32-bit number as 0x-prefixed hexadecimal or as decimal; none for anything else.
std::optional<uint32_t> ParseNumber(const std::string &text);

}  // namespace qs_tools
