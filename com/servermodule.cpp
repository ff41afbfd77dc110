#include "com/servermodule.h"

#include "com/check.h"
#include "com/module.h"
#include "com/registryscript.h"
#include "com/typelibreg.h"

namespace vexa {

ServerModule::ServerModule(const GUID& libid, ObjectMapEntry* map, std::size_t count) noexcept
    : m_libid(libid), m_map(map), m_count(count)
{
    m_mapLockReady = InitializeCriticalSectionAndSpinCount(&m_mapLock, 0) != FALSE;
    if (!m_mapLockReady) m_initFailed = true;
    for (std::size_t i = 0; i < m_count; ++i)
        if (m_map[i].classInit) m_map[i].classInit(true);
}

ServerModule::~ServerModule()
{
    for (std::size_t i = 0; i < m_count; ++i)
        if (m_map[i].classInit) m_map[i].classInit(false);
    // Releases cached type information, among others.
    Module::Terminate();
    for (std::size_t i = 0; i < m_count; ++i) {
        if (IClassFactory* factory = m_map[i].classObject) {
            m_map[i].classObject = nullptr;
            factory->Release();
        }
    }
    if (m_mapLockReady) DeleteCriticalSection(&m_mapLock);
}

const ObjectMapEntry* ServerModule::Map(std::size_t* count) const noexcept
{
    if (count) *count = m_count;
    return m_map;
}

HRESULT ServerModule::LockObjectMap() noexcept
{
    if (!m_mapLockReady) return E_UNEXPECTED;
    EnterCriticalSection(&m_mapLock);
    return S_OK;
}

HRESULT ServerModule::GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) noexcept
{
    if (m_initFailed) return E_UNEXPECTED;
    if (!ppv) return E_POINTER;
    *ppv = nullptr;

    HRESULT hr = S_OK;
    for (std::size_t i = 0; i < m_count; ++i) {
        ObjectMapEntry& entry = m_map[i];
        if (!IsEqualCLSID(*entry.clsid, clsid)) continue;
        if (!entry.classObject) {
            VEXA_RETURN_IF_FAILED(LockObjectMap());
            // Another thread may have created it while this one waited for the lock.
            if (!entry.classObject) {
                IClassFactory* factory = nullptr;
                hr = ClassFactory::Create(entry.createInstance, &factory);
                if (SUCCEEDED(hr)) entry.classObject = factory;
            }
            LeaveCriticalSection(&m_mapLock);
        }
        if (entry.classObject) hr = entry.classObject->QueryInterface(riid, ppv);
        break;
    }
    if (*ppv == nullptr && hr == S_OK) hr = CLASS_E_CLASSNOTAVAILABLE;
    return hr;
}

HRESULT ServerModule::CanUnloadNow() noexcept { return Module::LockCount() == 0 ? S_OK : S_FALSE; }

HRESULT ServerModule::RunScripts(bool doRegister) noexcept
{
    HINSTANCE instance = Module::Instance();
    ScriptReplacements replacements;
    HRESULT hr = ModuleScriptReplacements(instance, &replacements);
    if (FAILED(hr)) return hr;
    for (std::size_t i = 0; i < m_count; ++i) {
        if (!m_map[i].registryScript) continue;
        hr = RunRegistryScriptResource(instance, m_map[i].registryScript, replacements, doRegister);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT ServerModule::RegisterServer() noexcept
{
    HRESULT hr = RunScripts(true);
    if (FAILED(hr)) return hr;
    return RegisterModuleTypeLib(Module::Instance());
}

HRESULT ServerModule::UnregisterServer() noexcept
{
    HRESULT hr = RunScripts(false);
    if (FAILED(hr)) return hr;
    return UnregisterModuleTypeLib(Module::Instance());
}

} // namespace vexa
