// IUnknown of the reader's handler objects. The reader keeps a pointer to each handler, but
// the handler lives exactly as long as its owner, so nothing is counted: AddRef and Release
// do nothing and return 0. QueryInterface answers IUnknown and the handler's own interface.
#pragma once
#include <unknwn.h>

namespace vexa {

template <typename Iface, const IID* Iid>
class UncountedUnknown : public Iface {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, *Iid)) {
            *ppv = static_cast<Iface*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 0; }
    STDMETHODIMP_(ULONG) Release() override { return 0; }
};

} // namespace vexa
