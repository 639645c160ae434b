// What the tools share on the command line: --help, one-line errors, exit statuses.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

namespace qs_tools {

constexpr int kExitFailure = 1;  // the work could not be done
constexpr int kExitUsage = 2;    // the command line was wrong

// Parses the command line. Returns the exit status when the program is done already: after
// printing help, or after a one-line error on stderr. Returns nothing when it should go on.
std::optional<int> ParseCommandLine(CLI::App &app, int argc, char **argv);

// Runs the program's work; anything it throws becomes one line on stderr, "program: reason".
int RunReportingErrors(const std::string &program, const std::function<int()> &work);

// A check that accepts what the parser accepts, and names what it expected otherwise.
template <typename Parser>
CLI::Validator Parses(Parser parser, const std::string &expected)
{
    return CLI::Validator(
        [parser, expected](std::string &text) {
            return parser(text) ? std::string() : "\"" + text + "\" is not " + expected;
        },
        "");
}

}  // namespace qs_tools
