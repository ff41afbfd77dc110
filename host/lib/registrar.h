// The sidebar host's component registrar (class CLSID_ComponentRegistrar) and the plugin
// registration object it hands out for "SidebarHost.DisplayPluginRegistration".
//
// A registration runs BeginRegistration(clsid, description) -> GetRegistrationObject ->
// AddPlugin -> EndRegistration; EndRegistration stores the component under
// HKCU\Software\SidebarHost\Plugins\{clsid} with the description's name/value pairs as
// string values and the AddPlugin flag as the DWORD "Flag". RemoveComponent deletes it.
// Every call is logged so tests can assert the order and the arguments.
#pragma once
#include <windows.h>
#include <unknwn.h>
#include <string>
#include <vector>

namespace host {

extern const wchar_t kPluginsKey[]; // under HKEY_CURRENT_USER

struct RegistrarCall {
    std::wstring name;              // "BeginRegistration", "GetRegistrationObject", ...
    std::vector<std::wstring> args; // texts; BeginRegistration: clsid, then the description elements
};

const std::vector<RegistrarCall>& RegistrarLog();
void ClearRegistrarLog();

// Runs on every registrar call, after it is logged and before it acts.
using RegistrarObserver = void (*)(const RegistrarCall& call, void* context);
void SetRegistrarObserver(RegistrarObserver observer, void* context);

// How the registrar answers: a failure code for an operation makes it refuse that
// operation; withholdRegistrationObject makes GetRegistrationObject succeed with no object.
struct RegistrarBehaviour {
    HRESULT beginRegistration = S_OK;
    HRESULT getRegistrationObject = S_OK;
    HRESULT addPlugin = S_OK;
    HRESULT endRegistration = S_OK;
    HRESULT removeComponent = S_OK;
    bool withholdRegistrationObject = false;
};
void SetRegistrarBehaviour(const RegistrarBehaviour& behaviour);

// Instance creation routine of the registrar class (not aggregatable).
HRESULT CreateComponentRegistrar(IUnknown* outer, REFIID riid, void** ppv);

// Makes the registrar class creatable in this process (CoRegisterClassObject, in-process
// server) until RevokeRegistrarClass.
HRESULT RegisterRegistrarClass(DWORD* cookie);
void RevokeRegistrarClass(DWORD cookie);

} // namespace host
