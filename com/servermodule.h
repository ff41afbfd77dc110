// The module object of an in-process server: the object map of its creatable classes, the
// cached class objects, the lock that guards their first creation, and the registration of
// the classes' registry scripts and of the type library.
#pragma once
#include <windows.h>
#include <unknwn.h>
#include <cstddef>

#include "com/classfactory.h"

namespace vexa {

struct ObjectMapEntry {
    const CLSID* clsid;
    UINT registryScript;             // REGISTRY resource of the class; 0 for none
    CreateInstanceFn createInstance; // plain or aggregated instance
    void (*classInit)(bool starting); // called with true at module start, false at the end
    IClassFactory* classObject;      // cached on first request; owned by the map
};

class ServerModule {
public:
    // The map must outlive the module object; the entries' class objects start out null.
    ServerModule(const GUID& libid, ObjectMapEntry* map, std::size_t count) noexcept;
    ~ServerModule();
    ServerModule(const ServerModule&) = delete;
    ServerModule& operator=(const ServerModule&) = delete;

    // Set when one of the module's critical sections could not be created: the module
    // refuses to load.
    bool InitFailed() const noexcept { return m_initFailed; }
    const GUID& TypeLibId() const noexcept { return m_libid; }
    const ObjectMapEntry* Map(std::size_t* count) const noexcept;

    HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) noexcept;
    static HRESULT CanUnloadNow() noexcept;

    // Runs every class's registry script in map order, then registers the type library
    // (unregistration: scripts in map order, then the type library). Stops at the first
    // failure and leaves what was done before it.
    HRESULT RegisterServer() noexcept;
    HRESULT UnregisterServer() noexcept;

private:
    HRESULT LockObjectMap() noexcept;
    // Every class's registry script in map order, in one direction; stops at a failure.
    HRESULT RunScripts(bool doRegister) noexcept;

    bool m_initFailed = false;
    GUID m_libid;
    ObjectMapEntry* m_map;
    std::size_t m_count;
    bool m_mapLockReady = false;
    CRITICAL_SECTION m_mapLock; // guards the first creation of each class object
};

} // namespace vexa
