// quordev: the firmware engineer's device kit on the command line.
#include <iostream>

#include "devkit/device_maker.h"
#include "tools/command_line.h"

namespace {

// quordev init DIR [--boot-key N] [--force]
std::function<int()> AddInitCommand(CLI::App &app)
{
    struct Arguments {
        std::string folder;
        int bootKey = 0;
        bool force = false;
    };
    auto args = std::make_shared<Arguments>();
    CLI::App *init = app.add_subcommand("init", "create a factory-fresh device folder");
    init->add_option("DIR", args->folder, "the device folder to create")->required();
    init->add_option("--boot-key", args->bootKey,
                     "boot-key state of the power controller; 16 starts the function-test "
                     "program (default 0)")
        ->check(CLI::Range(0, 255));
    init->add_flag("--force", args->force, "replace a device already in DIR");
    return [init, args] {
        if (!init->parsed())
            return -1;
        devkit::DeviceOptions options;
        options.bootKey = uint8_t(args->bootKey);
        options.force = args->force;
        devkit::CreatedDevice created = devkit::CreateDevice(args->folder, options);
        std::cout << (created.replaced ? "replaced the device in " : "created a device in ")
                  << args->folder << " (boot key " << args->bootKey << "):\n";
        for (const std::string &entry : created.entries)
            std::cout << "  " << entry << "\n";
        return 0;
    };
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Device kit: creates simulated device folders.", "quordev"};
    app.require_subcommand(1);
    std::vector<std::function<int()>> commands = {AddInitCommand(app)};
    if (std::optional<int> status = qs_tools::ParseCommandLine(app, argc, argv))
        return *status;

    return qs_tools::RunReportingErrors(app.get_name(), [&] {
        for (const auto &command : commands)
            if (int status = command(); status >= 0)
                return status;
        return qs_tools::kExitUsage;
    });
}
