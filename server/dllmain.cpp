// Module entry points of Vexa.dll.
#include <windows.h>
#include <objbase.h>

#include "com/check.h"
#include "com/module.h"
#include "server/objectmap.h"
#include "server/registration.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    // Recorded on every call: resources, icons and the module path are found through it.
    vexa::Module::SetInstance(instance);
    VEXA_TRY
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        if (!VEXA_VERIFY(!vexa::TheModule().InitFailed())) return FALSE;
        break;
    case DLL_PROCESS_DETACH:
        // The module object is destroyed after this, with the other globals; its
        // termination list (window classes, cached type information) runs then.
        break;
    default:
        break;
    }
    return TRUE;
    VEXA_CATCH_RETURN(FALSE)
}

// Entry points: nothing the module's code comes to throw may leave them.
STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv)
{
    VEXA_COM_TRY
    return vexa::TheModule().GetClassObject(clsid, riid, ppv);
    VEXA_COM_CATCH
}

STDAPI DllCanUnloadNow()
{
    VEXA_COM_TRY
    const HRESULT hr = vexa::ServerModule::CanUnloadNow();
    // What the module's parts let go when idle (the downloads' WinINet session) goes now,
    // while other modules may still be called: the module may be unloaded next, and DllMain
    // must not call them.
    if (hr == S_OK) vexa::Module::RunIdleFuncs();
    return hr;
    VEXA_COM_CATCH
}

STDAPI DllRegisterServer()
{
    VEXA_COM_TRY
    return vexa::RegisterVexaServer(vexa::TheModule());
    VEXA_COM_CATCH
}

STDAPI DllUnregisterServer()
{
    VEXA_COM_TRY
    return vexa::UnregisterVexaServer(vexa::TheModule());
    VEXA_COM_CATCH
}
