// The device's entry point. On a host the runner calls QuorShellMain itself.
#include "shell/shell.h"

#if defined(_WIN32)
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    return QuorShellMain();
}
#endif
