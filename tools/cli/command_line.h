// What the tools share on the command line: --help, one-line errors, exit statuses, and the
// checks of option values and of options that go together.
#pragma once

#include <functional>
#include <optional>
#include <sstream>
#include <string>

#include <CLI/CLI.hpp>

namespace qs_tools {

// Every command's status follows one rule: 2 when the command line is wrong in itself (an
// unknown command or option, a value of the wrong form or out of its range, options that do not
// go together), found before any file is read; 1 when what it names is refused or a check
// fails. Boots and sweeps add their own documented statuses.
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

// A number as a person writes it: 0.001, 4096, 4294967296.
template <typename T>
std::string NumberText(T value)
{
    std::ostringstream text;
    text << value;
    return text.str();
}

// A check that the number the parser reads lies from low to high: "0 is outside 1 to 4294967296"
// ("outside the RAM image buffer, 0x80020000 to 0x82AFFFFF" with a name). Text the parser does not
// read is left to the option's own check of its form.
template <typename T, typename Parser>
CLI::Validator InRange(Parser parser, T low, T high, std::string (*text)(T),
                       const std::string &name = "")
{
    const std::string range = (name.empty() ? "" : name + ", ") + text(low) + " to " + text(high);
    return CLI::Validator(
        [parser, low, high, range](std::string &input) {
            std::optional<T> value = parser(input);
            return !value || (*value >= low && *value <= high) ? std::string()
                                                               : input + " is outside " + range;
        },
        text(low) + " to " + text(high));
}

template <typename T>
CLI::Validator InRange(T low, T high)
{
    auto parser = [](const std::string &input) {
        T value{};
        return CLI::detail::lexical_cast(input, value) ? std::optional<T>(value) : std::nullopt;
    };
    return InRange<T>(parser, low, high, NumberText<T>);
}

// Options that do not go together: "--at: does not go together with --every".
void Excludes(CLI::Option *option, std::initializer_list<CLI::Option *> others);

// An option that needs another: "--eboot: needs --nk: the shell writes ...".
void Needs(CLI::Option *option, CLI::Option *needed, const std::string &why);

}  // namespace qs_tools
