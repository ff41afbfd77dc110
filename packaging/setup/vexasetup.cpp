// Custom actions of the Vexa installer. The package's own tables write the COM entries and
// the type library; what tables cannot do is the plugin's registration with the sidebar
// host, which is a call into the host's registrar. These two actions make that call, in
// the process of the installer's custom-action server (of this DLL's bitness, so each
// finds the host registrar of its own registry view) and in the installing user's context.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cwchar>

#include "com/owners.h"
#include "plugin/hostregistration.h"

namespace {

const wchar_t* Bitness()
{
    return sizeof(void*) == 8 ? L"64-bit" : L"32-bit";
}

void CloseMsiHandle(MSIHANDLE handle) noexcept { MsiCloseHandle(handle); }
using unique_msihandle = vexa::unique_any<MSIHANDLE, CloseMsiHandle>;

// Sends one message to the installer: INSTALLMESSAGE_INFO goes to the log, an error also
// to the person at the screen when there is a user interface. False when they cancelled.
bool Message(MSIHANDLE install, INSTALLMESSAGE kind, const wchar_t* text)
{
    unique_msihandle record(MsiCreateRecord(1));
    if (!record) return true;
    MsiRecordSetStringW(record.get(), 0, text);
    return MsiProcessMessage(install, kind, record.get()) != IDCANCEL;
}

// COM on this thread for the length of one action; a thread that has COM already in the
// other apartment model is used as it is.
class ComScope {
public:
    ComScope() : m_hr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComScope()
    {
        if (SUCCEEDED(m_hr)) CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    bool usable() const { return SUCCEEDED(m_hr) || m_hr == RPC_E_CHANGED_MODE; }
    HRESULT result() const { return m_hr; }

private:
    HRESULT m_hr;
};

} // namespace

// Registers the plugin with the sidebar host. No host: skipped and logged, the install goes
// on (a repair after the host is installed joins it). A host that refuses fails the
// install, which is then rolled back.
extern "C" UINT __stdcall JoinSidebarHost(MSIHANDLE install)
{
    wchar_t text[400];
    ComScope com;
    if (!com.usable()) {
        swprintf(text, 400, L"Vexa: COM could not be started (0x%08lX); the plugin cannot be registered with the sidebar host.",
                 static_cast<unsigned long>(com.result()));
        Message(install, INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), text);
        return ERROR_INSTALL_FAILURE;
    }
    HRESULT hr = vexa::ProbeHostRegistrar();
    if (FAILED(hr)) {
        swprintf(text, 400, L"Vexa: no %ls sidebar host is installed (0x%08lX): the plugin is installed but not registered with a host. "
                            L"Install the host, then repair Vexa to register it.",
                 Bitness(), static_cast<unsigned long>(hr));
        return Message(install, INSTALLMESSAGE_INFO, text) ? ERROR_SUCCESS : ERROR_INSTALL_USEREXIT;
    }
    hr = vexa::RegisterPluginWithHost();
    if (FAILED(hr)) {
        swprintf(text, 400, L"Vexa could not register its plugin with the %ls sidebar host (error 0x%08lX); the installation is undone.",
                 Bitness(), static_cast<unsigned long>(hr));
        Message(install, INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), text);
        return ERROR_INSTALL_FAILURE;
    }
    swprintf(text, 400, L"Vexa: registered with the %ls sidebar host as \"Vexa Plugin\".", Bitness());
    return Message(install, INSTALLMESSAGE_INFO, text) ? ERROR_SUCCESS : ERROR_INSTALL_USEREXIT;
}

// Removes the plugin from the sidebar host: on removal, and when an install is rolled back.
// Never fails the removal: with no host there is nothing to remove.
extern "C" UINT __stdcall LeaveSidebarHost(MSIHANDLE install)
{
    wchar_t text[400];
    ComScope com;
    HRESULT hr = com.usable() ? vexa::ProbeHostRegistrar() : com.result();
    if (FAILED(hr)) {
        swprintf(text, 400, L"Vexa: no %ls sidebar host to remove the plugin from (0x%08lX).", Bitness(),
                 static_cast<unsigned long>(hr));
    } else {
        hr = vexa::UnregisterPluginFromHost();
        swprintf(text, 400, L"Vexa: removed from the %ls sidebar host (0x%08lX).", Bitness(),
                 static_cast<unsigned long>(hr));
    }
    Message(install, INSTALLMESSAGE_INFO, text);
    return ERROR_SUCCESS;
}
