#include "com/object.h"

#include "com/check.h"

namespace vexa {

HRESULT QueryInterfaceTable(void* self, const InterfaceEntry* table, std::size_t count,
                            REFIID riid, void** ppv) noexcept
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (count == 0) return E_NOINTERFACE;
    const InterfaceEntry* hit = nullptr;
    if (IsEqualIID(riid, IID_IUnknown)) {
        hit = &table[0];
    } else {
        for (std::size_t i = 0; i < count && !hit; ++i)
            if (IsEqualIID(riid, *table[i].iid)) hit = &table[i];
    }
    if (!hit) return E_NOINTERFACE;
    IUnknown* p = reinterpret_cast<IUnknown*>(static_cast<char*>(self) + hit->offset);
    p->AddRef();
    *ppv = p;
    return S_OK;
}

HRESULT QueryAggregated(REFCLSID clsid, IUnknown* outer, com_ptr<IUnknown>& inner, REFIID riid,
                        void** ppv) noexcept
{
    return QueryAggregated(nullptr, clsid, outer, inner, riid, ppv);
}

HRESULT QueryAggregated(IClassFactory* factory, REFCLSID clsid, IUnknown* outer, com_ptr<IUnknown>& inner,
                        REFIID riid, void** ppv) noexcept
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!inner && factory)
        factory->CreateInstance(outer, IID_IUnknown, inner.put_void());
    else if (!inner)
        CoCreateInstance(clsid, outer, CLSCTX_INPROC, IID_IUnknown, inner.put_void());
    if (!inner) return E_NOINTERFACE;
    HRESULT hr = inner->QueryInterface(riid, ppv);
    if (VEXA_FAILED(hr)) {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    return hr;
}

} // namespace vexa
