#include "tests/support/processusage.h"

#include <psapi.h>
#include <tlhelp32.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
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

namespace {

// Wine's ntdll exports wine_get_version; Windows' does not.
bool UnderWine()
{
    static const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

// The private pages that Linux counts for this (the Wine) process: Private_Clean plus
// Private_Dirty of /proc/self/smaps_rollup, read through Wine's Z: drive. 0 when unreadable.
SIZE_T LinuxPrivateBytes()
{
    HANDLE file = CreateFileW(L"Z:\\proc\\self\\smaps_rollup", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    // A proc file has no size: read until the end.
    char text[8192];
    DWORD length = 0, got = 0;
    while (length < sizeof text - 1 && ReadFile(file, text + length, sizeof text - 1 - length, &got, nullptr) && got)
        length += got;
    CloseHandle(file);
    text[length] = '\0';
    unsigned long long kib = 0;
    for (const char* name : {"Private_Clean:", "Private_Dirty:"}) {
        const char* line = std::strstr(text, name);
        if (line) kib += std::strtoull(line + std::strlen(name), nullptr, 10);
    }
    return static_cast<SIZE_T>(kib * 1024);
}

} // namespace

SIZE_T PrivateBytes()
{
    if (UnderWine()) {
        if (SIZE_T bytes = LinuxPrivateBytes()) return bytes;
    }
    PROCESS_MEMORY_COUNTERS_EX pmc{};
    pmc.cb = sizeof pmc;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc), sizeof pmc))
        return 0;
    return pmc.PrivateUsage;
}

} // namespace vexatest
