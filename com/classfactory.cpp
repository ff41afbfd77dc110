#include "com/classfactory.h"

#include <new>

#include "com/check.h"
#include "com/module.h"

namespace vexa {

ClassFactory::ClassFactory(CreateInstanceFn create) noexcept : m_create(create)
{
    InitializeCriticalSection(&m_lock);
}

ClassFactory::~ClassFactory() { DeleteCriticalSection(&m_lock); }

HRESULT ClassFactory::Create(CreateInstanceFn create, IClassFactory** factory) noexcept
{
    if (!factory) return E_POINTER;
    *factory = nullptr;
    if (!create) return E_INVALIDARG;
    ClassFactory* object = new (std::nothrow) ClassFactory(create);
    if (!object) return E_OUTOFMEMORY;
    *factory = object;
    return S_OK;
}

HRESULT ClassFactory::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG ClassFactory::AddRef()
{
    EnterCriticalSection(&m_lock);
    ULONG refs = ++m_refs;
    // The first reference from outside the object map.
    if (refs == 2) Module::Lock();
    LeaveCriticalSection(&m_lock);
    return refs;
}

ULONG ClassFactory::Release()
{
    EnterCriticalSection(&m_lock);
    ULONG refs = --m_refs;
    // The last reference from outside is gone; only the object map's remains.
    if (refs == 1) Module::Unlock();
    LeaveCriticalSection(&m_lock);
    if (refs == 0) delete this;
    return refs;
}

HRESULT ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    // An aggregate may only ask for the inner unknown.
    if (outer && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    VEXA_COM_TRY
    return m_create(outer, riid, ppv);
    VEXA_COM_CATCH
}

HRESULT ClassFactory::LockServer(BOOL lock)
{
    if (lock)
        Module::Lock();
    else
        Module::Unlock();
    return S_OK;
}

} // namespace vexa
