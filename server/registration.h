// What DllRegisterServer and DllUnregisterServer do with a module object: its classes'
// COM entries and type library, and the plugin's registration with the sidebar host.
#pragma once
#include <windows.h>

#include "com/servermodule.h"

namespace vexa {

// The COM registration (first failure returned), then the plugin's host registration as
// "Vexa Plugin", "RSS Feed Viewer", empty icon text, VARIANT_FALSE.
HRESULT RegisterVexaServer(ServerModule& module) noexcept;

// The host's entry first (its result is not used), then the COM unregistration.
HRESULT UnregisterVexaServer(ServerModule& module) noexcept;

} // namespace vexa
