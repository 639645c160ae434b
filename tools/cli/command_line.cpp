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

}  // namespace

std::optional<int> ParseCommandLine(CLI::App &app, int argc, char **argv)
{
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
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

}  // namespace qs_tools
