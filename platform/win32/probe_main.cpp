// Entry point of the conformance build while the shell has no sources of its own: it runs the
// probe, so that every platform call is linked. conformance.cmake drops this file as soon as the
// shell supplies its WinMain.
#include "platform/ce.h"
#include "platform/probe/ce_probe.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow)
{
    (void)hInstance;
    (void)hPrevInstance;
    (void)lpCmdLine;
    (void)nCmdShow;
    return CeProbe() ? 0 : 1;
}
