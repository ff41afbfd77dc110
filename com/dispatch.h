// IDispatch from the type library: the type information of a dual interface is looked up
// through the registry (by library identifier, version 1.0 and the caller's locale) on first
// use and cached until the module unloads. While the library is not registered, the
// lookup's failure is returned.
#pragma once
#include <oaidl.h>

#include "com/check.h"
#include "com/ptr.h"

namespace vexa {

// Cached type information of interface iid in library libid 1.0.
HRESULT GetCachedTypeInfo(REFGUID libid, REFIID iid, LCID lcid, ITypeInfo** info) noexcept;

// Implements the four IDispatch methods of the dual interface Base for the class that
// derives from it. Base must derive from IDispatch.
template <typename Base, const IID* Iid, const GUID* LibId>
class DispatchImpl : public Base {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) override
    {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID lcid, ITypeInfo** info) override
    {
        if (!info) return E_POINTER;
        *info = nullptr;
        return GetCachedTypeInfo(*LibId, *Iid, lcid, info);
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override
    {
        VEXA_COM_TRY
        com_ptr<ITypeInfo> info;
        VEXA_RETURN_IF_FAILED_EXPECTED(GetCachedTypeInfo(*LibId, *Iid, lcid, info.put()));
        return info->GetIDsOfNames(names, count, ids);
        VEXA_COM_CATCH
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* excep, UINT* argErr) override
    {
        VEXA_COM_TRY
        com_ptr<ITypeInfo> info;
        VEXA_RETURN_IF_FAILED_EXPECTED(GetCachedTypeInfo(*LibId, *Iid, lcid, info.put()));
        return info->Invoke(static_cast<Base*>(this), id, flags, params, result, excep, argErr);
        VEXA_COM_CATCH
    }
};

} // namespace vexa
