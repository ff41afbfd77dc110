// What the process holds, for leak checks over many inputs and for benchmarks: its threads,
// its handles and its private memory, counted in ways that also work under Wine.
#pragma once
#include <windows.h>

namespace vexatest {

long ThreadCount();
// From the system's handle list (Wine does not keep the process's own handle count); the
// process's own count where that list is not available.
DWORD HandleCount();
// The committed private memory (the page-file share; Wine fills only the basic counters).
SIZE_T PrivateBytes();

} // namespace vexatest
