// Module entry points of Vexa.dll.
#include <windows.h>
#include <objbase.h>

#include "com/module.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    vexa::Module::SetInstance(instance);
    if (reason == DLL_PROCESS_DETACH)
        vexa::Module::Terminate();
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID, REFIID, LPVOID* ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() { return vexa::Module::LockCount() == 0 ? S_OK : S_FALSE; }
STDAPI DllRegisterServer() { return E_NOTIMPL; }
STDAPI DllUnregisterServer() { return E_NOTIMPL; }
