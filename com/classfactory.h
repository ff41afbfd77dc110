// The class object of a creatable class: IClassFactory over the class's creation routine.
#pragma once
#include <windows.h>
#include <unknwn.h>
#include <atomic>

namespace vexa {

// Creates an instance (plain, or aggregated when outer is set) and asks it for riid.
using CreateInstanceFn = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

// One per class, cached by the object map, which keeps one reference of its own. While
// anybody else holds a reference (count above 1) the module holds one lock for it, so the
// module stays loaded as long as a client keeps a class object.
class ClassFactory final : public IClassFactory {
public:
    // Makes a class object with the one reference that the caller (the object map) owns.
    static HRESULT Create(CreateInstanceFn create, IClassFactory** factory) noexcept;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    explicit ClassFactory(CreateInstanceFn create) noexcept;
    ~ClassFactory();
    ClassFactory(const ClassFactory&) = delete;
    ClassFactory& operator=(const ClassFactory&) = delete;

    std::atomic<ULONG> m_refs{1};
    CreateInstanceFn m_create;
    CRITICAL_SECTION m_lock; // orders count changes with the module lock they move
};

} // namespace vexa
