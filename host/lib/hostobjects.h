// The host's COM objects: the site and the two aggregatable helper classes.
#pragma once
#include "com/object.h"
#include "host/lib/hostlib.h"

namespace host {

// IDispatch of the host's dual interfaces: the stand-in has no type information to give.
template <typename Base>
class NoTypeInfoDispatch : public Base {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) override
    {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override
    {
        if (info) *info = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }
};

using HostRoot = vexa::ObjectRootT<HostLock>;

// The interface table of a host object with one dual interface: the interface, then
// IDispatch answered by the same base.
template <typename Class, typename Iface>
const vexa::InterfaceEntry* DualInterfaceTable(const IID& iid, std::size_t* count) noexcept
{
    static const vexa::InterfaceEntry table[] = {
        VEXA_INTERFACE(Class, iid, Iface),
        VEXA_INTERFACE(Class, IID_IDispatch, Iface),
    };
    return vexa::InterfaceTable(table, count);
}

class DisplaySite final : public NoTypeInfoDispatch<IDisplaySite>, public HostRoot {
public:
    explicit DisplaySite(IUnknown* outer) : RootType(outer) {}
    VEXA_IUNKNOWN_DELEGATING

    STDMETHODIMP Reserved7() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved8() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved9() override { return E_NOTIMPL; }
    STDMETHODIMP get_display_state(long* state) override;

protected:
    const vexa::InterfaceEntry* Interfaces(std::size_t* count) noexcept override;
};

class PluginHelper final : public NoTypeInfoDispatch<IDisplayPluginHelper>, public HostRoot {
public:
    explicit PluginHelper(IUnknown* outer) : RootType(outer) {}
    VEXA_IUNKNOWN_DELEGATING

    STDMETHODIMP put_title(BSTR title) override;
    STDMETHODIMP SetDisplayFlags(LONG flags, LONG mask) override;
    STDMETHODIMP SetIcons(IPicture* small_icon, IPicture* large_icon) override;
    STDMETHODIMP put_about_text(BSTR text) override;
    STDMETHODIMP AddContentItem(IUnknown* item, LONG item_flags) override;
    STDMETHODIMP Reserved12() override { return E_NOTIMPL; }
    STDMETHODIMP RemoveAllContentItems() override;

protected:
    const vexa::InterfaceEntry* Interfaces(std::size_t* count) noexcept override;
};

class ContentItemHelper final : public NoTypeInfoDispatch<IDisplayContentItemHelper>, public HostRoot {
public:
    explicit ContentItemHelper(IUnknown* outer);
    ~ContentItemHelper() override;
    VEXA_IUNKNOWN_DELEGATING

    STDMETHODIMP Reserved7() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved8() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved9() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved10() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved11() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved12() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved13() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved14() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved15() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved16() override { return E_NOTIMPL; }
    STDMETHODIMP put_image(IPicture* image) override;
    STDMETHODIMP Reserved18() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved19() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved20() override { return E_NOTIMPL; }
    STDMETHODIMP put_time_created(DATE time) override;
    STDMETHODIMP Reserved22() override { return E_NOTIMPL; }
    STDMETHODIMP put_heading(BSTR heading) override;
    STDMETHODIMP Reserved24() override { return E_NOTIMPL; }
    STDMETHODIMP put_source(BSTR source) override;
    STDMETHODIMP Reserved26() override { return E_NOTIMPL; }
    STDMETHODIMP put_snippet(BSTR snippet) override;
    STDMETHODIMP get_snippet(BSTR* snippet) override;
    STDMETHODIMP Reserved29() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved30() override { return E_NOTIMPL; }
    STDMETHODIMP put_layout(DisplayContentItemLayout layout) override;
    STDMETHODIMP Reserved32() override { return E_NOTIMPL; }
    STDMETHODIMP put_flags(DisplayContentItemFlags flags) override;
    STDMETHODIMP put_tooltip(BSTR tooltip) override;

    const std::shared_ptr<ItemState>& state() const { return m_state; }

protected:
    const vexa::InterfaceEntry* Interfaces(std::size_t* count) noexcept override;

private:
    std::shared_ptr<ItemState> m_state;
};

} // namespace host
