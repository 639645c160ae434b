#include "tools/cli/command_line.h"

#include <iostream>

namespace qs_tools {

namespace {

void PrintReason(const std::string &program, std::string reason)
{
    for (char &c : reason)
        if (c == '\n' || c == '\r')
            c = ' ';
    std::cerr << program << ": " << reason << "\n";
}

// The command whose subcommand is missing: the last one given on the line.
const CLI::App &LastCommand(const CLI::App &app)
{
    const std::vector<CLI::App *> given = app.get_subcommands();
    return given.empty() ? app : LastCommand(*given.front());
}

// "foo is not a command of sweep; the commands are faults, power", or, with no word left over,
// "sweep needs a command: faults, power".
std::string MissingCommandReason(const CLI::App &app)
{
    const CLI::App &command = LastCommand(app);
    std::string path;
    for (const CLI::App *in = &command; in->get_parent(); in = in->get_parent())
        path = in->get_name() + (path.empty() ? "" : " " + path);
    std::string names;
    for (const CLI::App *sub : command.get_subcommands({}))
        names += (names.empty() ? "" : ", ") + sub->get_name();
    for (const std::string &word : app.remaining(true))
        if (!word.starts_with("-"))
            return word + " is not a command" + (path.empty() ? "" : " of " + path) +
                   "; the commands are " + names;
    return (path.empty() ? "a command is needed" : path + " needs a command") + ": " + names;
}

}  // namespace

std::optional<int> ParseCommandLine(CLI::App &app, int argc, char **argv)
{
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::RequiredError &e) {
        const bool commandMissing = LastCommand(app).get_require_subcommand_min() > 0 &&
                                    LastCommand(app).get_subcommands().empty();
        PrintReason(app.get_name(), commandMissing ? MissingCommandReason(app) : e.what());
        return kExitUsage;
    } catch (const CLI::ParseError &e) {
        PrintReason(app.get_name(), e.what());
        return kExitUsage;
    }
    return std::nullopt;
}

int RunReportingErrors(const std::string &program, const std::function<int()> &work)
{
    try {
        return work();
    } catch (const std::exception &e) {
        PrintReason(program, e.what());
        return kExitFailure;
    }
}

void Excludes(CLI::Option *option, std::initializer_list<CLI::Option *> others)
{
    std::string names;
    for (const CLI::Option *other : others)
        names += (names.empty() ? "" : ", ") + other->get_name();
    option->check(CLI::Validator(
        [others = std::vector<CLI::Option *>(others)](std::string &) {
            for (const CLI::Option *other : others)
                if (other->count())
                    return "does not go together with " + other->get_name();
            return std::string();
        },
        "not with " + names));
}

void Needs(CLI::Option *option, CLI::Option *needed, const std::string &why)
{
    option->check(CLI::Validator(
        [needed, why, name = needed->get_name()](std::string &) {
            return needed->count() ? std::string() : "needs " + name + ": " + why;
        },
        ""));
}

}  // namespace qs_tools
