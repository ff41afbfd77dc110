// Registration of a plugin class with the sidebar host, through the host's component
// registrar, and the plugin's own entry there. Runs on the caller's thread, which must have
// initialised COM. Shared by DllRegisterServer and the installer.
#pragma once
#include <windows.h>

namespace vexa {

// Registers clsid as a display plugin with the given title, description and icon text
// (none of them null: E_POINTER). If the host refuses a step after BeginRegistration, it
// is asked to remove the component again and the refusal is returned; a registrar that
// reports success without handing out a registration object gives E_UNEXPECTED.
HRESULT RegisterWithHost(REFCLSID clsid, const wchar_t* title, const wchar_t* description,
                         const wchar_t* icon, bool flag) noexcept;

// Creates the host's component registrar and lets it go: S_OK, or the creation failure.
HRESULT ProbeHostRegistrar() noexcept;

// Asks the host to remove clsid.
HRESULT UnregisterFromHost(REFCLSID clsid) noexcept;

// The ProgID under which the registrar hands out the plugin registration object.
extern const wchar_t kDisplayPluginRegistrationProgId[];

// The plugin's registration with the sidebar host: "Vexa Plugin", "RSS Feed Viewer", empty
// icon text, VARIANT_FALSE.
HRESULT RegisterPluginWithHost() noexcept;

// Asks the sidebar host to forget the plugin.
HRESULT UnregisterPluginFromHost() noexcept;

} // namespace vexa
