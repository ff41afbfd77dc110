// SidebarHost.dll: makes the sidebar host's classes (the component registrar and the two
// helper classes) creatable from other processes, so that a plugin registering itself
// (regsvr32 Vexa.dll) finds the host's registrar.
#include <windows.h>
#include <objbase.h>

#include "com/module.h"
#include "hostapi.h"
#include "host/lib/hostlib.h"
#include "host/lib/registrar.h"
#include "com/registryscript.h"
#include "com/servermodule.h"

namespace {

vexa::ObjectMapEntry g_hostClasses[] = {
    {&CLSID_ComponentRegistrar, 0, host::CreateComponentRegistrar, nullptr, nullptr},
    {&CLSID_DisplayPluginHelper, 0, host::CreatePluginHelper, nullptr, nullptr},
    {&CLSID_DisplayContentItemHelper, 0, host::CreateContentItemHelper, nullptr, nullptr},
};

vexa::ServerModule g_module(GUID_NULL, g_hostClasses, sizeof(g_hostClasses) / sizeof(g_hostClasses[0]));

// The host's COM entries.
const wchar_t kHostScript[] = LR"(HKCR
{
    SidebarHost.ComponentRegistrar.1 = s 'ComponentRegistrar'
    {
        CLSID = s '{AC129136-EB1C-4FFF-B0A2-6D6761BE4138}'
    }
    SidebarHost.ComponentRegistrar = s 'ComponentRegistrar'
    {
        CLSID = s '{AC129136-EB1C-4FFF-B0A2-6D6761BE4138}'
        CurVer = s 'SidebarHost.ComponentRegistrar.1'
    }
    NoRemove CLSID
    {
        ForceRemove {AC129136-EB1C-4FFF-B0A2-6D6761BE4138} = s 'ComponentRegistrar'
        {
            ProgID = s 'SidebarHost.ComponentRegistrar.1'
            VersionIndependentProgID = s 'SidebarHost.ComponentRegistrar'
            InprocServer32 = s '%MODULE%'
            {
                val ThreadingModel = s 'Apartment'
            }
        }
        ForceRemove {77679773-B804-400F-9C88-598CDD099E2F} = s 'DisplayPluginHelper'
        {
            InprocServer32 = s '%MODULE%'
            {
                val ThreadingModel = s 'Apartment'
            }
        }
        ForceRemove {E622966D-28A0-43C2-A5B8-0CAF622A6711} = s 'DisplayContentItemHelper'
        {
            InprocServer32 = s '%MODULE%'
            {
                val ThreadingModel = s 'Apartment'
            }
        }
    }
}
)";

HRESULT RunHostScript(bool doRegister)
{
    vexa::ScriptReplacements replacements;
    HRESULT hr = vexa::ModuleScriptReplacements(vexa::Module::Instance(), &replacements);
    if (FAILED(hr)) return hr;
    return vexa::RunRegistryScript(kHostScript, replacements, doRegister);
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    vexa::Module::SetInstance(instance);
    if (reason == DLL_PROCESS_ATTACH && g_module.InitFailed()) return FALSE;
    // For installer tests: with SIDEBARHOST_REFUSE in the environment the registrar refuses
    // to end a registration, as a host that cannot store its plugin list does.
    if (reason == DLL_PROCESS_ATTACH && GetEnvironmentVariableW(L"SIDEBARHOST_REFUSE", nullptr, 0) > 0) {
        host::RegistrarBehaviour refuse;
        refuse.endRegistration = E_ACCESSDENIED;
        host::SetRegistrarBehaviour(refuse);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv)
{
    return g_module.GetClassObject(clsid, riid, ppv);
}

// Held class objects and server locks count on the module lock; the host's objects count
// apart from it.
STDAPI DllCanUnloadNow()
{
    return vexa::Module::LockCount() == 0 && host::LiveObjects() == 0 ? S_OK : S_FALSE;
}
STDAPI DllRegisterServer() { return RunHostScript(true); }
STDAPI DllUnregisterServer() { return RunHostScript(false); }
