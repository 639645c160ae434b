// quordev's fault sweep linked with a shell whose BINFS check keeps the store open when the
// partition search fails: the tools' tests expect the sweep to catch that defect.
#include "tools/cli/fault_sweep_main.h"

int main(int argc, char **argv)
{
    return qs_tools::FaultSweepOnlyMain(argc, argv);
}
