// A probe of the platform surface: calls each call of platform/ce.h once, on a folder \probe of
// the device that it creates and removes again.
#pragma once

// 1 when every call did what the platform promises, else 0 with a debug-log line naming the
// call that did not. Every handle and heap block is released and the folder removed either way.
int CeProbe(void);
