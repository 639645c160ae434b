// quordev status: would a device boot, into which image, and why not.
#include <iostream>

#include "sim/device_lock.h"
#include "tools/cli/command_line.h"
#include "tools/cli/quordev_commands.h"
#include "tools/reports/boot_status.h"

namespace qs_tools {

// quordev status DIR [--nk FILE.bin [--eboot FILE.nb0]] [--json]
Command AddStatusCommand(CLI::App &app)
{
    struct Arguments {
        std::string folder, nk, eboot;
        bool json = false;
    };
    auto args = std::make_shared<Arguments>();
    CLI::App *status = app.add_subcommand(
        "status",
        "tell whether the boot loader would start the device's flash, into which image: old "
        "(the one on the flash), new (the update waiting in the update folder, already on the "
        "flash) or none, and why not; exit 1 when it would not boot");
    status->add_option("DIR", args->folder, "the device folder")->required();
    CLI::Option *nk =
        status
            ->add_option("--nk", args->nk,
                         "the image the device should hold, compared byte for byte (without "
                         "it, the flash is judged by its own reading: no checksum covers the NK "
                         "image or EBoot, so a torn block there reads as whole)")
            ->type_name("FILE.bin");
    status
        ->add_option("--eboot", args->eboot,
                     "the boot loader the device should hold, compared byte for byte")
        ->type_name("FILE.nb0")
        ->needs(nk);
    status->add_flag("--json", args->json, "print one JSON object");
    return [status, args] {
        if (!status->parsed())
            return -1;
        sim::DeviceLock lock(args->folder);
        std::optional<ReferenceImages> reference;
        if (!args->nk.empty())
            reference = ReferenceImages{args->nk, {}};
        if (!args->eboot.empty())
            reference->bootLoader = args->eboot;
        DeviceStatus read = ReadDeviceStatus(args->folder, true, reference);
        if (args->json)
            std::cout << StatusJson(read).dump(2, ' ', false,
                                               nlohmann::json::error_handler_t::replace)
                      << "\n";
        else
            std::cout << StatusText(args->folder, read);
        return read.verdict == Verdict::Unbootable ? kExitFailure : 0;
    };
}

}  // namespace qs_tools
