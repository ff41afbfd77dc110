// The few Windows types and calls that the store's sources name, for the native sanitizer
// build of the parsing rules. The calls are never reached on the paths that build drives.
#pragma once
#include <cstdint>

typedef std::int32_t HRESULT; // as the event records declare it off Windows
typedef long LONG;
typedef unsigned long DWORD;
typedef unsigned long ULONG;
typedef unsigned long long ULONGLONG;
typedef unsigned int UINT;
typedef int BOOL;
typedef unsigned short WORD;
typedef void* HINSTANCE;
typedef void* HWND;
#define WINAPI
#ifndef FALSE
#define FALSE 0
#endif
struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2, Data3;
    std::uint8_t Data4[8];
};
typedef const GUID& REFCLSID;
typedef const GUID& REFIID;
struct IUnknown;
inline ULONGLONG GetTickCount64() { return 0; }
