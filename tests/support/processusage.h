// What the process holds, for leak checks over many inputs and for benchmarks: its threads,
// its handles and its private memory, counted in ways that also work under Wine.
#pragma once
#include <windows.h>

namespace vexatest {

long ThreadCount();
// From the system's handle list (Wine does not keep the process's own handle count); the
// process's own count where that list is not available.
DWORD HandleCount();
// The private memory the process really holds: under Wine, the private pages of the Wine
// process as Linux counts them (Wine's own counters do not follow them); on Windows, the
// commit charge (PrivateUsage).
SIZE_T PrivateBytes();

// The process's heaps walked block by block (every heap of GetProcessHeaps): the bytes their
// blocks hand out, and the bytes they hold free for later blocks.
struct HeapUsage {
    unsigned long long inUse = 0;
    unsigned long long free = 0;
};
HeapUsage HeapBytes();

} // namespace vexatest
