// Module-wide state shared by every object: the lock count that DllCanUnloadNow reads, the
// module's instance handle, the termination list run when the module unloads, and the idle
// list run when it may be unloaded.
#pragma once
#include <windows.h>
#include <atomic>
#include <string>

#include "com/instancecounter.h"

namespace vexa {

class Module {
public:
    static long Lock() noexcept;
    static long Unlock() noexcept;
    static long LockCount() noexcept;

    // The module that holds the code and resources: recorded by DllMain, or found from
    // the address of this code when no DllMain runs (a test program).
    static HINSTANCE Instance() noexcept;
    static void SetInstance(HINSTANCE instance) noexcept;

    // Callbacks run once, in reverse order, by Terminate (module unload).
    using TermFunc = void (*)(void* arg);
    static bool AddTermFunc(TermFunc func, void* arg) noexcept;
    static void Terminate() noexcept;

    // Callbacks run, in the order added, each time DllCanUnloadNow finds the module idle:
    // what must be let go while other modules may still be called (DllMain must not).
    static bool AddIdleFunc(TermFunc func, void* arg) noexcept;
    static void RunIdleFuncs() noexcept;
};

// A string resource of the module; empty when it is missing or empty.
std::wstring LoadResourceString(UINT id);

// The full path of a module. A path that fills MAX_PATH may have been cut off and gives
// HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER); a failure gives the thread's last error.
HRESULT ModuleFileName(HINSTANCE module, std::wstring* path) noexcept;

// The thread's last error as an HRESULT; E_FAIL when none is set.
HRESULT LastErrorResult() noexcept;

// Held by every object and every externally held class object: one module lock each.
struct ModuleLock {
    ModuleLock() noexcept { Module::Lock(); }
    ModuleLock(const ModuleLock&) noexcept { Module::Lock(); }
    ModuleLock& operator=(const ModuleLock&) noexcept { return *this; }
    ~ModuleLock() { Module::Unlock(); }
};

} // namespace vexa
