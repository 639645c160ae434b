// quorshell: boots a device folder once and shows what the device did.
#include <unistd.h>

#include <iostream>

#include "tools/runner/boot_runner.h"
#include "tools/cli/command_line.h"
#include "tools/cli/shell_option.h"
#include "tools/runner/demo_device.h"

int main(int argc, char **argv)
{
    CLI::App app{
        "Boots a simulated device once: runs the start-up shell on it, saves the device, "
        "and prints the debug log, the cues, the programs started and a summary.",
        "quorshell"};
    std::string device;
    qs_tools::BootOptions options;
    app.add_option("--device", device,
                   "device folder made by quordev init; a folder without device.json is refused "
                   "(default: ./device, made a demo device when missing or empty)");
    app.add_flag("--realtime", options.realTime,
                 "wait for real whenever the device sleeps or plays a cue");
    app.add_flag("--quiet", options.quiet, "print the summary only");
    qs_tools::AddShellOption(app, options.shell);
    app.footer(
        "Exit status: 0 for a clean boot; 1 when the folder cannot be booted or the simulator "
        "stopped the boot; 2 for a wrong command line. Otherwise the sum of: 4 a handle or heap "
        "block still held when the shell returned, 8 a misused call, 16 an FMD flag left on, "
        "32 a protected write or another access the device forbids, 64 an offered NK image or "
        "boot loader not written, 128 offered application data that failed to install; the "
        "summary quotes the shell's line for each failed step.");
    if (std::optional<int> status = qs_tools::ParseCommandLine(app, argc, argv))
        return *status;

    return qs_tools::RunReportingErrors(app.get_name(), [&] {
        std::filesystem::path folder = device.empty() ? "device" : device;
        // Only the default folder is ever made a device, and only when nothing is in it: a
        // folder named on the command line is the user's, and booting lays a whole flash in it.
        if (device.empty() && qs_tools::CreateDemoDeviceWhenMissing(folder) && !options.quiet)
            std::cout << "created a demo device in " << folder.string() << "\n";
        options.echo = &std::cout;
        options.judgeFlash = true;
        // On a terminal the braille line moves in place, each line held long enough to be read.
        if (isatty(STDOUT_FILENO))
            options.echoStyle = {true, std::chrono::milliseconds(15)};
        return qs_tools::BootDeviceFolder(folder, options).exitStatus;
    });
}
