// Native build: the one WinINet call the store's sources name.
#pragma once
#include <windows.h>
inline BOOL InternetTimeToSystemTimeW(const wchar_t*, SYSTEMTIME*, DWORD) { return FALSE; }
