// quordev package: an update package in a device's update folder.
#include <iostream>

#include "devkit/update_package.h"
#include "tools/quordev_commands.h"

namespace qs_tools {

// quordev package DIR --nk FILE [--eboot FILE] --name KEY
Command AddPackageCommand(CLI::App &app)
{
    struct Arguments {
        std::string folder, nk, eboot, key;
    };
    auto args = std::make_shared<Arguments>();
    CLI::App *package =
        app.add_subcommand("package",
                           "place an update package in a device's update folder "
                           "(root/flashdisk/K275D-Update), where the next boot finds it");
    package->add_option("DIR", args->folder, "the device folder")->required();
    package->add_option("--nk", args->nk, "the .bin operating-system image, placed as R5nk_KEY.bin")
        ->type_name("FILE")
        ->required();
    package
        ->add_option("--eboot", args->eboot,
                     "the .nb0 boot-loader image, placed as R5boot_KEY.nb0 with its side file "
                     "R5boot_KEY.nb0.crc (default: none)")
        ->type_name("FILE");
    package
        ->add_option("--name", args->key,
                     "the key after the underscore; the shell takes the file with the greatest "
                     "key, compared on its first six characters")
        ->type_name("KEY")
        ->required()
        ->check(Parses([](const std::string &key) { return !devkit::PackageKeyProblem(key); },
                       "a key of letters, digits, '-', '_' and '.'"));
    return [package, args] {
        if (!package->parsed())
            return -1;
        devkit::PackageFiles files{args->nk, std::nullopt, args->key};
        if (!args->eboot.empty())
            files.eboot = args->eboot;
        devkit::PlacedPackage placed = devkit::PlacePackage(args->folder, files);
        std::cout << "placed in " << args->folder << ":\n";
        for (const std::string &file : placed.files)
            std::cout << "  " << file << "\n";
        if (placed.crc)
            std::cout << "boot-loader CRC " << Hex8(*placed.crc) << "\n";
        return 0;
    };
}

}  // namespace qs_tools
