// quordev sweep: one subcommand per kind of sweep.
#include "tools/cli/sweep_command.h"

#include "tools/cli/command_line.h"

namespace qs_tools {

Command AddSweepCommand(CLI::App &app)
{
    CLI::App *sweep = app.add_subcommand(
        "sweep",
        "boot a device folder again and again, one thing going wrong in each boot, and check "
        "after each that nothing the shell must keep was broken; the folder itself never changes");
    sweep->require_subcommand(1);
    std::vector<Command> kinds = {AddFaultSweepCommand(*sweep), AddSweepPowerCommand(*sweep),
                                  AddSweepMergeCommand(*sweep)};
    return [sweep, kinds] {
        if (!sweep->parsed())
            return -1;
        for (const Command &kind : kinds)
            if (int status = kind(); status >= 0)
                return status;
        return kExitUsage;
    };
}

}  // namespace qs_tools
