// SidebarHost.dll: makes the sidebar host's classes creatable from other processes, so
// that a plugin registering itself (regsvr32 Vexa.dll) finds the host's registrar.
#include <windows.h>
#include <objbase.h>

#include "com/module.h"
#include "hostapi.h"
#include "host/lib/registrar.h"
#include "server/registryscript.h"
#include "server/servermodule.h"

namespace {

vexa::ObjectMapEntry g_hostClasses[] = {
    {&CLSID_ComponentRegistrar, 0, host::CreateComponentRegistrar, nullptr, nullptr},
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
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv)
{
    return g_module.GetClassObject(clsid, riid, ppv);
}

STDAPI DllCanUnloadNow() { return vexa::ServerModule::CanUnloadNow(); }
STDAPI DllRegisterServer() { return RunHostScript(true); }
STDAPI DllUnregisterServer() { return RunHostScript(false); }
