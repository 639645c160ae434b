// quordev: the firmware engineer's device kit on the command line.
#include <iostream>

#include "devkit/device_maker.h"
#include "devkit/device_view.h"
#include "devkit/path_checks.h"
#include "tools/cli/command_line.h"
#include "tools/reports/flash_map_svg.h"
#include "tools/reports/flash_report.h"
#include "tools/cli/quordev_commands.h"
#include "tools/cli/sweep_command.h"

namespace {

using qs_tools::InRange;
using qs_tools::Parses;

// quordev init DIR [--boot-key N] [--blocks N] [--bad LIST] [--serial DIGITS|none] [--mac MAC]
// [--binfs-sectors N] [--update-key PUB] [--force]
std::function<int()> AddInitCommand(CLI::App &app)
{
    struct Arguments {
        std::string folder;
        int bootKey = 0;
        uint32_t blocks = devkit::DeviceOptions().blocks;
        std::vector<uint32_t> bad;
        std::string serial;
        std::string mac;
        std::string binfsSectors;
        std::string updateKey;
        bool force = false;
    };
    auto args = std::make_shared<Arguments>();
    CLI::App *init = app.add_subcommand("init", "create a factory-fresh device folder");
    init->add_option("DIR", args->folder, "the device folder to create")->required();
    init->add_option("--boot-key", args->bootKey,
                     "boot-key state of the power controller; 16 starts the function-test "
                     "program (default 0)")
        ->check(InRange(0, 255));
    init->add_option("--blocks", args->blocks,
                     "flash size in blocks of 128 KiB, " + std::to_string(devkit::kMinBlocks) +
                         " to " + std::to_string(devkit::kMaxBlocks) + " (default " +
                         std::to_string(args->blocks) + ")");
    init->add_option("--bad", args->bad,
                     "factory-bad blocks, comma-separated (e.g. 7,9); each is marked bad in "
                     "nand.bin (default none)")
        ->delimiter(',')
        ->type_name("LIST");
    init->add_option("--serial", args->serial,
                     "the ten-digit serial number in the factory TOC, or none for a TOC that has "
                     "lost it (all 16 serial bytes zero) (default: power.serial zero-padded, "
                     "0020240315)")
        ->type_name("DIGITS|none")
        ->check(Parses(devkit::ParseFactorySerial, "ten decimal digits or none"));
    init->add_option("--mac", args->mac,
                     "the MAC address in the factory TOC, XX:XX:XX:XX:XX:XX (default "
                     "02:00:00:00:00:01, locally administered)")
        ->type_name("MAC")
        ->check(Parses(devkit::ParseMacAddress, "six hex bytes as XX:XX:XX:XX:XX:XX"));
    init->add_option("--binfs-sectors", args->binfsSectors,
                     "sector count of the store's first partition, Part00 (BINFS), 0 to "
                     "18446744073709551615; below 21952 the shell logs it as the wrong size "
                     "(default 21952)")
        ->type_name("N")
        ->check(Parses(devkit::ParseSectorCount, "a whole number from 0 to 18446744073709551615"));
    init->add_option("--update-key", args->updateKey,
                     "put this public key (32 raw bytes, as quordev keygen writes it, or a PEM "
                     "Ed25519 key) into the running image as \\windows\\update.key, read-only: the "
                     "safe shell then writes only images signed with its private key "
                     "(default: none, images are not signature-checked)")
        ->type_name("PUB");
    init->add_flag("--force", args->force, "replace a device already in DIR");
    init->parse_complete_callback([args] {
        if (std::optional<std::string> problem = devkit::BlockCountProblem(args->blocks))
            throw CLI::ValidationError("--blocks", *problem);
        if (auto problem = devkit::BadBlocksProblem(args->bad, args->blocks))
            throw CLI::ValidationError("--bad", *problem);
    });
    return [init, args] {
        if (!init->parsed())
            return -1;
        devkit::DeviceOptions options;
        options.bootKey = uint8_t(args->bootKey);
        options.force = args->force;
        options.blocks = args->blocks;
        options.bad = args->bad;
        if (!args->serial.empty())
            options.serial = devkit::ParseFactorySerial(args->serial);
        if (!args->mac.empty())
            options.mac = devkit::ParseMacAddress(args->mac);
        if (!args->binfsSectors.empty())
            options.binfsSectors = devkit::ParseSectorCount(args->binfsSectors);
        if (!args->updateKey.empty())
            options.updateKey = devkit::ReadUpdateKey(args->updateKey);
        devkit::CreatedDevice created = devkit::CreateDevice(args->folder, options);
        std::cout << (created.replaced ? "replaced the device in " : "created a device in ")
                  << args->folder << " (boot key " << args->bootKey << ", " << args->blocks
                  << " blocks, serial " << devkit::FactorySerialText(created.serial) << ", MAC "
                  << devkit::MacText(created.mac);
        if (options.binfsSectors)
            std::cout << ", BINFS " << *options.binfsSectors << " sectors";
        if (options.updateKey)
            std::cout << ", update key " << devkit::KeyFingerprint(*options.updateKey);
        std::cout << "):\n";
        for (const std::string &entry : created.entries)
            std::cout << "  " << entry << "\n";
        if (!created.tocWritten)
            std::cout << "block 5 is bad: no factory TOC was written\n";
        return 0;
    };
}

// quordev inspect DIR [--json]
std::function<int()> AddInspectCommand(CLI::App &app)
{
    struct Arguments {
        std::string folder, svg;
        bool json = false;
    };
    auto args = std::make_shared<Arguments>();
    CLI::App *inspect = app.add_subcommand(
        "inspect",
        "show a device's TOC, boot loader, NK region and block map, the system-information "
        "files and the BINFS check log, the application folders installed in \\NAND and the "
        "application data waiting in the update folder; changes nothing");
    inspect->add_option("DIR", args->folder, "the device folder")->required();
    inspect->add_flag("--json", args->json, "print one JSON object (fields in docs/tools.md)");
    inspect
        ->add_option("--svg", args->svg,
                     "also draw the flash to FILE as an SVG picture: titled with the image the "
                     "device boots or why it boots none, a cell per block coloured by region and "
                     "state, a dot on each block the boot loader would load")
        ->type_name("FILE");
    return [inspect, args] {
        if (!inspect->parsed())
            return -1;
        if (!args->svg.empty())
            devkit::CheckOutputFile(args->svg);
        devkit::DeviceView view = devkit::ViewDevice(args->folder);
        if (!args->svg.empty())
            qs_tools::WriteFlashMap(args->svg, args->folder, view);
        devkit::AppFoldersView apps = devkit::ViewAppFolders(args->folder);
        devkit::ShellFilesView shellFiles = devkit::ViewShellFiles(args->folder);
        if (args->json) {
            nlohmann::ordered_json json = qs_tools::InspectJson(view);
            json.update(qs_tools::ShellFilesJson(shellFiles));
            json["applications"] = qs_tools::AppFoldersJson(apps);
            std::cout << json.dump(2) << "\n";
        } else {
            std::cout << qs_tools::InspectText(args->folder, view)
                      << qs_tools::ShellFilesReport(shellFiles) << qs_tools::AppFoldersReport(apps);
        }
        return 0;
    };
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{
        "Device kit: creates and inspects simulated device folders, builds update "
        "images, places them and checks the flash against them.",
        "quordev"};
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 when the command did its work; 1 when what it names is refused (a missing "
        "file, a folder without a device, an image the checks refuse) or a check fails; 2 for a "
        "wrong command line (an unknown command or option, a value of the wrong form or out of "
        "its range, options that do not go together). A sweep also exits 3 on a broken "
        "invariant and 4 when a fault or cut leaves the device unbootable or a cut loses data.");
    std::vector<std::function<int()>> commands = {AddInitCommand(app),
                                                  AddInspectCommand(app),
                                                  qs_tools::AddPackageCommand(app),
                                                  qs_tools::AddVerifyCommand(app),
                                                  qs_tools::AddStatusCommand(app),
                                                  qs_tools::AddMkbinCommand(app),
                                                  qs_tools::AddSignCommand(app),
                                                  qs_tools::AddKeygenCommand(app),
                                                  qs_tools::AddMknb0Command(app),
                                                  qs_tools::AddCrcCommand(app),
                                                  qs_tools::AddMkappsCommand(app),
                                                  qs_tools::AddSweepCommand(app)};
    if (std::optional<int> status = qs_tools::ParseCommandLine(app, argc, argv))
        return *status;

    return qs_tools::RunReportingErrors(app.get_name(), [&] {
        for (const auto &command : commands)
            if (int status = command(); status >= 0)
                return status;
        return qs_tools::kExitUsage;
    });
}
