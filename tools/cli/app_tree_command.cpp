// quordev mkapps: made-up application data to package, for demos and benchmarks.
#include <iostream>

#include "devkit/app_tree.h"
#include "tools/cli/quordev_commands.h"

namespace qs_tools {

// quordev mkapps FOLDER [--files N] [--mib N] [--largest-mib N]
Command AddMkappsCommand(CLI::App &app)
{
    struct Arguments {
        std::string folder;
        devkit::AppTreeShape shape;
        double mib = 4, largestMib = 1;
    };
    auto args = std::make_shared<Arguments>();
    CLI::App *mkapps = app.add_subcommand(
        "mkapps",
        "write made-up application data (apps with LumTask.exe, lumhelp, manual, sound, in "
        "nested folders; many small files and a few large ones) to package with --apps");
    mkapps->add_option("FOLDER", args->folder, "the folder to write; missing or empty")->required();
    mkapps->add_option("--files", args->shape.files, "how many files (default 300)")
        ->check(InRange(1, 100000));
    mkapps->add_option("--mib", args->mib, "about how many MiB in all (default 4)")
        ->check(InRange(0.0, 4096.0));
    mkapps->add_option("--largest-mib", args->largestMib, "the largest file in MiB (default 1)")
        ->check(InRange(0.001, 1024.0));
    return [mkapps, args] {
        if (!mkapps->parsed())
            return -1;
        args->shape.bytes = uint64_t(args->mib * (1 << 20));
        args->shape.largestFile = uint64_t(args->largestMib * (1 << 20));
        devkit::AppTreeTotals totals = devkit::WriteAppTree(args->folder, args->shape);
        std::cout << "wrote " << totals.files << " files in " << totals.folders << " folders, "
                  << totals.bytes << " bytes, to " << args->folder << "\n";
        return 0;
    };
}

}  // namespace qs_tools
