// quordev's fault sweep linked with a shell whose BINFS check keeps the store open when the
// partition search fails: the tools' tests expect the sweep to catch that defect.
#include "tools/cli/command_line.h"
#include "tools/cli/sweep_command.h"

int main(int argc, char **argv)
{
    CLI::App app{"The fault sweep over a shell with one defect planted.", "quordev"};
    app.require_subcommand(1);
    CLI::App *sweep = app.add_subcommand("sweep", "boot a device folder again and again");
    sweep->require_subcommand(1);
    qs_tools::Command faults = qs_tools::AddFaultSweepCommand(*sweep);
    if (std::optional<int> status = qs_tools::ParseCommandLine(app, argc, argv))
        return *status;
    return qs_tools::RunReportingErrors(app.get_name(), faults);
}
