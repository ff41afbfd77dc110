// The few Windows types that the store's headers name, for the native sanitizer build of
// the parsing rules. Nothing here is called.
#pragma once
#include <cstdint>

typedef long HRESULT;
typedef unsigned long DWORD;
typedef unsigned int UINT;
typedef void* HINSTANCE;
#define WINAPI
struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2, Data3;
    std::uint8_t Data4[8];
};
typedef const GUID& REFCLSID;
typedef const GUID& REFIID;
struct IUnknown;
