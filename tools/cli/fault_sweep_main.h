// quordev with its fault sweep alone, for builds of the shell with a defect planted. The command
// line is parsed behind this call, so that such a build compiles no command line of its own.
#pragma once

namespace qs_tools {

int FaultSweepOnlyMain(int argc, char **argv);

}  // namespace qs_tools
