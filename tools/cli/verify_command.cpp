// quordev verify: whether a device's flash holds given images as the boot loader reads them.
#include <iostream>

#include <nlohmann/json.hpp>

#include "devkit/flash_verify.h"
#include "sim/device_lock.h"
#include "tools/cli/command_line.h"
#include "tools/cli/quordev_commands.h"
#include "tools/reports/boot_status.h"

namespace qs_tools {

namespace {

nlohmann::ordered_json ReportJson(const devkit::VerifyReport &report)
{
    nlohmann::ordered_json difference = nullptr;
    if (report.difference)
        difference = {
            {"part", report.difference->part},           {"block", report.difference->place.block},
            {"sector", report.difference->place.sector}, {"byte", report.difference->place.byte},
            {"flash", report.difference->flash},         {"image", report.difference->image}};
    return {{"ok", report.Ok()},
            {"passed", report.passed},
            {"failure", report.failure ? nlohmann::ordered_json(*report.failure) : nullptr},
            {"difference", difference},
            {"nk_bytes_compared", report.nkBytesCompared},
            {"nk_bytes_filled", report.nkBytesFilled}};
}

void PrintReport(const devkit::VerifyReport &report, const DeviceStatus &status)
{
    for (const std::string &line : report.passed)
        std::cout << "ok    " << line << "\n";
    if (report.failure)
        std::cout << "FAIL  " << *report.failure << "\n";
    else if (report.nkBytesFilled)
        std::cout << "note  " << report.nkBytesFilled
                  << " NK bytes that no record covers were compared with the loader's fill, "
                     "0xFF\n";
    if (status.verdict != Verdict::Unbootable)
        std::cout << "ok    " << BootVerdictText(status.verdict) << "\n";
    for (const std::string &why : status.why)
        std::cout << "FAIL  " << BootVerdictText(status.verdict) << ": " << why << "\n";
}

}  // namespace

// quordev verify DIR --nk FILE.bin [--eboot FILE.nb0] [--json]
Command AddVerifyCommand(CLI::App &app)
{
    struct Arguments {
        std::string folder, nk, eboot;
        bool json = false;
    };
    auto args = std::make_shared<Arguments>();
    CLI::App *verify = app.add_subcommand(
        "verify",
        "check that a device's flash holds the images where the boot loader reads "
        "them and the TOC records them, and that the device would boot (as quordev status "
        "tells); exit 1 naming the first difference or why it would not boot");
    verify->add_option("DIR", args->folder, "the device folder")->required();
    verify->add_option("--nk", args->nk, "the .bin operating-system image")
        ->type_name("FILE.bin")
        ->required();
    verify
        ->add_option("--eboot", args->eboot,
                     "the .nb0 boot-loader image, checked in block 0 and the four good "
                     "blocks after it (default: not checked)")
        ->type_name("FILE.nb0");
    verify->add_flag("--json", args->json, "print one JSON object");
    return [verify, args] {
        if (!verify->parsed())
            return -1;
        std::optional<std::filesystem::path> eboot;
        if (!args->eboot.empty())
            eboot = args->eboot;
        // A boot beside it would leave a half-written flash to compare.
        sim::DeviceLock lock(args->folder);
        devkit::VerifyReport report = devkit::VerifyDevice(args->folder, args->nk, eboot);
        DeviceStatus status = ReadDeviceStatus(args->folder);
        const bool ok = report.Ok() && status.verdict != Verdict::Unbootable;
        if (args->json) {
            nlohmann::ordered_json json = ReportJson(report);
            json["ok"] = ok;
            json["boot"] = StatusJson(status);
            std::cout << json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
        } else {
            PrintReport(report, status);
        }
        return ok ? 0 : kExitFailure;
    };
}

}  // namespace qs_tools
