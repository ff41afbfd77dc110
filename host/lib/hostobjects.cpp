// The host's site and helper objects. Every call is logged; an injected failure is returned
// before the panel model changes.
#include "host/lib/hostobjects.h"

#include "com/check.h"

#include <cwchar>
#include <mutex>

#include "com/owners.h"

namespace host {
namespace {

std::wstring Number(long value) { return std::to_wstring(value); }

// Logs a property put and, unless a failure is injected for it, stores the value.
template <typename Field, typename Value>
HRESULT RecordPut(const wchar_t* operation, const std::wstring& args, Field& field, const Value& value)
{
    HRESULT hr = Host::Get().record(operation, args);
    if (VEXA_OK(hr)) field = value;
    return hr;
}

// The same for a text property, logged with its text.
HRESULT RecordText(const wchar_t* operation, BSTR text, std::optional<std::wstring>& field)
{
    std::wstring value = vexa::BstrText(text);
    return RecordPut(operation, value, field, value);
}

std::wstring Date(DATE value)
{
    wchar_t buffer[64];
    swprintf(buffer, 64, L"%.6f", value);
    return buffer;
}

// The live item helpers, so the plugin helper can find the properties of an added item.
std::mutex g_itemsLock;
std::map<IDisplayContentItemHelper*, ContentItemHelper*>& LiveItems()
{
    static std::map<IDisplayContentItemHelper*, ContentItemHelper*> items;
    return items;
}

} // namespace

// --- Site --------------------------------------------------------------------------------

const vexa::InterfaceEntry* DisplaySite::Interfaces(std::size_t* count) noexcept
{
    return DualInterfaceTable<DisplaySite, IDisplaySite>(IID_IDisplaySite, count);
}

STDMETHODIMP DisplaySite::get_display_state(long* state)
{
    VEXA_COM_TRY
    // An injected failure is the host\'s answer, not a fault.
    VEXA_RETURN_IF_FAILED_EXPECTED(Host::Get().record(L"get_display_state", L""));
    if (!state) return E_POINTER;
    *state = Host::Get().displayState();
    return S_OK;
    VEXA_COM_CATCH
}

HRESULT CreateSite(REFIID riid, void** ppv) { return vexa::CreateComInstance<DisplaySite>(nullptr, riid, ppv); }

// --- Plugin helper -----------------------------------------------------------------------

const vexa::InterfaceEntry* PluginHelper::Interfaces(std::size_t* count) noexcept
{
    static const vexa::InterfaceEntry table[] = {
        VEXA_INTERFACE(PluginHelper, IID_IDisplayPluginHelper, IDisplayPluginHelper),
    };
    return vexa::InterfaceTable(table, count);
}

STDMETHODIMP PluginHelper::put_title(BSTR title)
{
    VEXA_COM_TRY
    return RecordText(L"put_title", title, Host::Get().panel().title);
    VEXA_COM_CATCH
}

STDMETHODIMP PluginHelper::SetDisplayFlags(LONG flags, LONG mask)
{
    VEXA_COM_TRY
    HRESULT hr = Host::Get().record(L"SetDisplayFlags", Number(flags) + L", " + Number(mask));
    if (VEXA_OK(hr)) {
        Host::Get().panel().displayFlags = flags;
        Host::Get().panel().displayMask = mask;
    }
    return hr;
    VEXA_COM_CATCH
}

STDMETHODIMP PluginHelper::SetIcons(IPicture* small_icon, IPicture* large_icon)
{
    VEXA_COM_TRY
    HRESULT hr = Host::Get().record(L"SetIcons", DescribePicture(small_icon) + L", " +
                                                     DescribePicture(large_icon));
    if (VEXA_OK(hr)) {
        Panel& panel = Host::Get().panel();
        panel.iconsSet = true;
        panel.smallIcon = vexa::com_ptr<IPicture>(small_icon);
        panel.largeIcon = vexa::com_ptr<IPicture>(large_icon);
    }
    return hr;
    VEXA_COM_CATCH
}

STDMETHODIMP PluginHelper::put_about_text(BSTR text)
{
    VEXA_COM_TRY
    return RecordText(L"put_about_text", text, Host::Get().panel().aboutText);
    VEXA_COM_CATCH
}

STDMETHODIMP PluginHelper::AddContentItem(IUnknown* item, LONG item_flags)
{
    VEXA_COM_TRY
    // An injected failure is the host\'s answer, not a fault.
    VEXA_RETURN_IF_FAILED_EXPECTED(Host::Get().record(L"AddContentItem", Number(item_flags)));
    if (!item) return E_POINTER;
    PanelItem entry;
    entry.item = vexa::com_ptr<IUnknown>(item);
    entry.addFlags = item_flags;
    auto helper = vexa::query<IDisplayContentItemHelper>(item);
    entry.state = FindItemState(helper.get());
    if (!entry.state) entry.state = std::make_shared<ItemState>();
    Host::Get().panel().items.push_back(std::move(entry));
    return S_OK;
    VEXA_COM_CATCH
}

STDMETHODIMP PluginHelper::RemoveAllContentItems()
{
    VEXA_COM_TRY
    // An injected failure is the host\'s answer, not a fault.
    VEXA_RETURN_IF_FAILED_EXPECTED(Host::Get().record(L"RemoveAllContentItems", L""));
    // Released outside the panel: an item's last release may call back into the host.
    std::vector<PanelItem> removed;
    removed.swap(Host::Get().panel().items);
    ++Host::Get().panel().clears;
    removed.clear();
    return S_OK;
    VEXA_COM_CATCH
}

HRESULT CreatePluginHelper(IUnknown* outer, REFIID riid, void** ppv)
{
    return vexa::CreateComInstance<PluginHelper>(outer, riid, ppv);
}

// --- Content item helper -----------------------------------------------------------------

ContentItemHelper::ContentItemHelper(IUnknown* outer)
    : RootType(outer), m_state(std::make_shared<ItemState>())
{
    std::lock_guard<std::mutex> lock(g_itemsLock);
    LiveItems()[static_cast<IDisplayContentItemHelper*>(this)] = this;
}

ContentItemHelper::~ContentItemHelper()
{
    std::lock_guard<std::mutex> lock(g_itemsLock);
    LiveItems().erase(static_cast<IDisplayContentItemHelper*>(this));
}

const vexa::InterfaceEntry* ContentItemHelper::Interfaces(std::size_t* count) noexcept
{
    static const vexa::InterfaceEntry table[] = {
        VEXA_INTERFACE(ContentItemHelper, IID_IDisplayContentItemHelper, IDisplayContentItemHelper),
    };
    return vexa::InterfaceTable(table, count);
}

STDMETHODIMP ContentItemHelper::put_image(IPicture* image)
{
    VEXA_COM_TRY
    HRESULT hr = Host::Get().record(L"put_image", DescribePicture(image));
    if (VEXA_OK(hr)) {
        m_state->imageSet = true;
        m_state->image = vexa::com_ptr<IPicture>(image);
    }
    return hr;
    VEXA_COM_CATCH
}

STDMETHODIMP ContentItemHelper::put_time_created(DATE time)
{
    VEXA_COM_TRY
    return RecordPut(L"put_time_created", Date(time), m_state->timeCreated, time);
    VEXA_COM_CATCH
}

STDMETHODIMP ContentItemHelper::put_heading(BSTR heading)
{
    VEXA_COM_TRY
    return RecordText(L"put_heading", heading, m_state->heading);
    VEXA_COM_CATCH
}

STDMETHODIMP ContentItemHelper::put_source(BSTR source)
{
    VEXA_COM_TRY
    return RecordText(L"put_source", source, m_state->source);
    VEXA_COM_CATCH
}

STDMETHODIMP ContentItemHelper::put_snippet(BSTR snippet)
{
    VEXA_COM_TRY
    return RecordText(L"put_snippet", snippet, m_state->snippet);
    VEXA_COM_CATCH
}

STDMETHODIMP ContentItemHelper::get_snippet(BSTR* snippet)
{
    VEXA_COM_TRY
    // An injected failure is the host\'s answer, not a fault.
    VEXA_RETURN_IF_FAILED_EXPECTED(Host::Get().record(L"get_snippet", L""));
    if (!snippet) return E_POINTER;
    *snippet = nullptr;
    if (m_state->snippet) {
        const std::wstring& text = *m_state->snippet;
        *snippet = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        if (!*snippet) return E_OUTOFMEMORY;
    }
    return S_OK;
    VEXA_COM_CATCH
}

STDMETHODIMP ContentItemHelper::put_layout(DisplayContentItemLayout layout)
{
    VEXA_COM_TRY
    return RecordPut(L"put_layout", Number(layout), m_state->layout, static_cast<long>(layout));
    VEXA_COM_CATCH
}

STDMETHODIMP ContentItemHelper::put_flags(DisplayContentItemFlags flags)
{
    VEXA_COM_TRY
    return RecordPut(L"put_flags", Number(flags), m_state->flags, static_cast<long>(flags));
    VEXA_COM_CATCH
}

STDMETHODIMP ContentItemHelper::put_tooltip(BSTR tooltip)
{
    VEXA_COM_TRY
    return RecordText(L"put_tooltip", tooltip, m_state->tooltip);
    VEXA_COM_CATCH
}

HRESULT CreateContentItemHelper(IUnknown* outer, REFIID riid, void** ppv)
{
    return vexa::CreateComInstance<ContentItemHelper>(outer, riid, ppv);
}

std::shared_ptr<ItemState> FindItemState(IDisplayContentItemHelper* helper)
{
    if (!helper) return nullptr;
    std::lock_guard<std::mutex> lock(g_itemsLock);
    auto it = LiveItems().find(helper);
    return it == LiveItems().end() ? nullptr : it->second->state();
}

} // namespace host
