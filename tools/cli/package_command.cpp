// quordev package: an update package in a device's update folder.
#include <iostream>

#include "devkit/device_view.h"
#include "devkit/package_check.h"
#include "devkit/update_package.h"
#include "sim/error.h"
#include "tools/runner/boot_summary.h"
#include "tools/cli/quordev_commands.h"

namespace qs_tools {

namespace {

void PrintAppData(const devkit::PlacedAppData &placed)
{
    std::cout << "  " << placed.folder << ": " << devkit::SizeText(placed.size) << ", with "
              << devkit::AppFoldersText(placed.appFolders)
              << (placed.replaced ? " (replaces the one that was there)" : "") << "\n";
    if (placed.appFolders.empty())
        std::cerr << "quordev: warning: the application data holds " << devkit::AppFoldersText({})
                  << ": the shell copies it into \\NAND but replaces and verifies nothing\n";
}

// The blocks of the next boot, and its flash time as the boot summary will give it, but for the
// reads.
void PrintWrites(const devkit::PackageForecast &forecast)
{
    std::cout << "the next boot writes "
              << (forecast.bootLoader ? "the boot loader to blocks 0-4, " : "")
              << "the image to block" << (forecast.nkBlocks.size() > 1 ? "s " : " ")
              << devkit::BlockRanges(forecast.nkBlocks) << " and the TOC to block 5\n";
    std::cout << "predicted flash time "
              << (forecast.flashUs ? SecondsText(*forecast.flashUs) : "not timed: no flash.timing")
              << " (erase " << forecast.erases << ", program " << forecast.programs
              << " operations; the boot's reads add to it)\n";
}

}  // namespace

// quordev package DIR [--nk FILE --name KEY] [--eboot FILE] [--apps FOLDER]
Command AddPackageCommand(CLI::App &app)
{
    struct Arguments {
        std::string folder, nk, eboot, key, apps;
        bool force = false;
    };
    auto args = std::make_shared<Arguments>();
    CLI::App *package =
        app.add_subcommand("package",
                           "place an update package in a device's update folder "
                           "(root/flashdisk/K275D-Update), where the next boot finds it: an "
                           "operating-system image, application data, or both");
    package->add_option("DIR", args->folder, "the device folder")->required();
    CLI::Option *nk =
        package
            ->add_option("--nk", args->nk,
                         "the .bin operating-system image, placed as R5nk_KEY.bin; needs --name")
            ->type_name("FILE");
    CLI::Option *eboot =
        package
            ->add_option("--eboot", args->eboot,
                         "the .nb0 boot-loader image, placed as R5boot_KEY.nb0 with its side file "
                         "R5boot_KEY.nb0.crc; only with --nk (default: none)")
            ->type_name("FILE");
    CLI::Option *name =
        package
            ->add_option("--name", args->key,
                         "the key after the underscore; the shell takes the file with the "
                         "greatest key, compared on its first six characters")
            ->type_name("KEY")
            ->check(Parses([](const std::string &key) { return !devkit::PackageKeyProblem(key); },
                           "a key of letters, digits, '-', '_' and '.'"));
    CLI::Option *apps =
        package
            ->add_option("--apps", args->apps,
                         "a folder copied whole as root/flashdisk/K275D-Update/APP_DATA, replacing "
                         "one there; the next boot installs its apps, lumhelp, manual and sound "
                         "folders into \\NAND. Refused: links or special files inside, names the "
                         "device cannot hold, and device paths of 260 characters or more "
                         "(default: none)")
            ->type_name("FOLDER");
    package->add_flag("--force", args->force,
                      "place images that the boot will refuse, to test the shell's failure "
                      "paths; each refusal is printed as a warning");
    Needs(eboot, nk, "the shell writes a boot loader only with an NK image");
    Needs(nk, name, "the key that names the images");
    Needs(name, nk, "it names the images");
    package->parse_complete_callback([nk, apps] {
        if (!nk->count() && !apps->count())
            throw CLI::RequiredError("--nk is required unless --apps is given",
                                     CLI::ExitCodes::RequiredError);
    });
    return [package, args, nk, eboot, apps] {
        if (!package->parsed())
            return -1;
        devkit::PackageFiles files;
        if (nk->count())
            files.nk = args->nk;
        if (eboot->count())
            files.eboot = args->eboot;
        files.key = args->key;
        if (apps->count())
            files.appData = args->apps;
        const devkit::PackageForecast forecast = devkit::ForecastPackage(args->folder, files);
        if (!forecast.refusals.empty() && !args->force) {
            for (size_t i = 1; i < forecast.refusals.size(); ++i)
                std::cerr << "quordev: " << forecast.refusals[i] << "\n";
            throw sim::DeviceError(forecast.refusals.front() + " (--force places it anyway)");
        }
        for (const std::string &refusal : forecast.refusals)
            std::cerr << "quordev: warning: " << refusal << ": the boot will refuse it\n";
        devkit::PlacedPackage placed = devkit::PlacePackage(args->folder, files);
        std::cout << "placed in " << args->folder << ":\n";
        for (const std::string &file : placed.files)
            std::cout << "  " << file << "\n";
        if (placed.appData)
            PrintAppData(*placed.appData);
        if (placed.crc)
            std::cout << "boot-loader CRC " << Hex8(*placed.crc) << "\n";
        if (forecast.refusals.empty() && !forecast.nkBlocks.empty())
            PrintWrites(forecast);
        return 0;
    };
}

}  // namespace qs_tools
