#include "tests/support/processusage.h"

#include <psapi.h>
#include <tlhelp32.h>
#include <algorithm>
#include <vector>

namespace vexatest {

long ThreadCount()
{
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    long n = 0;
    for (BOOL ok = Thread32First(snap, &entry); ok; ok = Thread32Next(snap, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++n;
    CloseHandle(snap);
    return n;
}

DWORD HandleCount()
{
    using QueryFn = LONG(WINAPI*)(int, void*, ULONG, ULONG*);
    static QueryFn query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    struct Entry {
        ULONG process;
        UCHAR type, flags;
        USHORT handle;
        void* object;
        ACCESS_MASK access;
    };
    static std::vector<unsigned char> buffer(1 << 20);
    if (query) {
        for (int attempt = 0; attempt < 4; ++attempt) {
            ULONG needed = 0;
            LONG status = query(16 /* SystemHandleInformation */, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
            if (status == 0) {
                ULONG count = *reinterpret_cast<ULONG*>(buffer.data());
                const Entry* entries = reinterpret_cast<const Entry*>(buffer.data() + sizeof(void*));
                DWORD mine = 0;
                for (ULONG i = 0; i < count; ++i)
                    if (entries[i].process == GetCurrentProcessId()) ++mine;
                if (mine) return mine;
                break;
            }
            buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 4096));
        }
    }
    DWORD n = 0;
    GetProcessHandleCount(GetCurrentProcess(), &n);
    return n;
}

SIZE_T PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof pmc;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc))
        return 0;
    return pmc.PagefileUsage ? pmc.PagefileUsage : pmc.WorkingSetSize;
}

} // namespace vexatest
