#include "tests/support/processusage.h"

#include <psapi.h>
#include <tlhelp32.h>
#include <algorithm>
#include <cwchar>
#include <string>
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

// The whole text of a file of Linux's /proc, read through Wine's Z: drive ("" if unreadable).
std::string ReadProcFile(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    // A proc file has no size: read until the end.
    std::string text;
    char buffer[16384];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got) text.append(buffer, got);
    CloseHandle(file);
    return text;
}

// The Linux pid of this Wine process. Wine opens files in its server, so Z:\proc\self is the
// server's; this process is the one whose maps show a file that only it has mapped.
unsigned long FindUnixPid()
{
    wchar_t dir[MAX_PATH] = L"";
    if (!GetTempPathW(MAX_PATH, dir)) return 0;
    wchar_t name[64];
    swprintf(name, 64, L"vexa-self-%lu-%llu.map", GetCurrentProcessId(), GetTickCount64());
    const std::wstring path = std::wstring(dir) + name;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    DWORD written = 0;
    WriteFile(file, "x", 1, &written, nullptr);
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    void* view = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
    const std::string marker(name, name + wcslen(name));
    unsigned long pid = 0;
    WIN32_FIND_DATAW found;
    HANDLE find = view ? FindFirstFileW(L"Z:\\proc\\*", &found) : INVALID_HANDLE_VALUE;
    if (find != INVALID_HANDLE_VALUE) {
        do {
            wchar_t* end = nullptr;
            unsigned long candidate = wcstoul(found.cFileName, &end, 10);
            if (!candidate || *end) continue;
            if (ReadProcFile(L"Z:\\proc\\" + std::wstring(found.cFileName) + L"\\maps").find(marker) != std::string::npos)
                pid = candidate;
        } while (!pid && FindNextFileW(find, &found));
        FindClose(find);
    }
    if (view) UnmapViewOfFile(view);
    if (mapping) CloseHandle(mapping);
    CloseHandle(file);
    return pid;
}

// The private pages that Linux counts for this Wine process: Private_Clean plus
// Private_Dirty of its smaps_rollup. 0 when they cannot be read.
SIZE_T LinuxPrivateBytes()
{
    static const unsigned long pid = FindUnixPid();
    if (!pid) return 0;
    const std::string text = ReadProcFile(L"Z:\\proc\\" + std::to_wstring(pid) + L"\\smaps_rollup");
    unsigned long long kib = 0;
    for (const char* name : {"Private_Clean:", "Private_Dirty:"}) {
        std::size_t at = text.find(name);
        if (at != std::string::npos) kib += std::strtoull(text.c_str() + at + std::strlen(name), nullptr, 10);
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

HeapUsage HeapBytes()
{
    HeapUsage usage;
    HANDLE heaps[256];
    const DWORD count = std::min<DWORD>(GetProcessHeaps(256, heaps), 256);
    for (DWORD i = 0; i < count; ++i) {
        if (!HeapLock(heaps[i])) continue;
        PROCESS_HEAP_ENTRY entry = {};
        while (HeapWalk(heaps[i], &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) usage.inUse += entry.cbData;
            else if (!(entry.wFlags & (PROCESS_HEAP_REGION | PROCESS_HEAP_UNCOMMITTED_RANGE))) usage.free += entry.cbData;
        }
        HeapUnlock(heaps[i]);
    }
    return usage;
}

} // namespace vexatest
