// Content items: ShowFeedItem builds one from a feed entry; the item object opens the link
// found in its snippet when the host asks.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <new>
#include <string>

#include "com/check.h"
#include "com/text.h"
#include "format/rssitem.h"
#include "plugin/plugin.h"
#include "plugin/refreshcycle.h"
#include "plugin/textconvert.h"

namespace vexa {

namespace {
ShellExecuteFn g_shellExecute = ShellExecuteW;

bool StartsWith(const std::wstring& text, const wchar_t* prefix)
{
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// What opening an item launches, found in its snippet (title, description, link, in that
// order). The snippet's last line, when it is one address with no white space in it, is the
// entry's link. Otherwise it is the first http or https address in the snippet, up to the
// first character that cannot belong to one (white space, a quote, an angle bracket), or
// nothing. Scheme prefixes are compared case-sensitively.
std::wstring LinkToOpen(const std::wstring& sSnippet)
{
    // White space after the link (a feed's line feeds around its text) makes no line of its own.
    std::wstring::size_type end = sSnippet.size();
    while (end > 0 && std::iswspace(sSnippet[end - 1])) --end;
    const std::wstring::size_type feed = end ? sSnippet.rfind(L'\n', end - 1) : std::wstring::npos;
    const std::wstring::size_type begin = feed == std::wstring::npos ? 0 : feed + 1;
    const std::wstring lastLine = vexa::TrimWhiteSpace(sSnippet.substr(begin, end - begin));
    if ((StartsWith(lastLine, L"http://") || StartsWith(lastLine, L"https://")) &&
        std::none_of(lastLine.begin(), lastLine.end(), [](wchar_t c) { return std::iswspace(c) != 0; }))
        return lastLine;
    const std::wstring::size_type start = std::min(sSnippet.find(L"http://"), sSnippet.find(L"https://"));
    if (start == std::wstring::npos)
        return std::wstring();
    std::wstring::size_type stop = start;
    while (stop < sSnippet.size() && !std::iswspace(sSnippet[stop]) && !std::wcschr(L"\"'<>", sSnippet[stop]))
        ++stop;
    return sSnippet.substr(start, stop - start);
}

} // namespace

ShellExecuteFn SetShellExecuteFn(ShellExecuteFn fn)
{
    ShellExecuteFn old = g_shellExecute;
    g_shellExecute = fn ? fn : ShellExecuteW;
    return old;
}

// --- CVexaPluginContentItem --------------------------------------------------------------

HRESULT CVexaPluginContentItemImpl::CreateInstance(CVexaPluginContentItemImpl** item) noexcept
{
    if (!item) return E_POINTER;
    *item = new (std::nothrow) CVexaPluginContentItemImpl();
    return *item ? S_OK : E_OUTOFMEMORY;
}

const vexa::InterfaceEntry* CVexaPluginContentItem::Interfaces(std::size_t* count) noexcept
{
    static const vexa::InterfaceEntry table[] = {
        VEXA_INTERFACE(CVexaPluginContentItem, IID_IDisplayContentItemHandler, IDisplayContentItemHandler),
    };
    return vexa::InterfaceTable(table, count);
}

// Everything else, IDispatch included, goes to the host's item helper, aggregated on the
// first such request.
HRESULT CVexaPluginContentItem::QueryDelegate(REFIID riid, void** ppv) noexcept
{
    const HRESULT hr = vexa::QueryAggregated(m_helperFactory.get(), CLSID_DisplayContentItemHelper,
                                             ControllingUnknown(), m_helper, riid, ppv);
    if (m_helper)
        m_helperFactory.reset();
    return hr;
}

STDMETHODIMP CVexaPluginContentItem::OpenItem()
{
    VEXA_COM_TRY
    auto helper = m_helper.try_query<IDisplayContentItemHelper>();
    if (!helper) return S_OK;
    BSTR snippet = nullptr;
    VEXA_CHECK_HR(helper->get_snippet(&snippet));
    vexa::unique_bstr snippetOwner(snippet);
    std::wstring sSnippet = snippetOwner.str();

    const std::wstring sUrl = LinkToOpen(sSnippet);
    if (!sUrl.empty())
        g_shellExecute(nullptr, L"open", sUrl.c_str(), nullptr, nullptr, SW_SHOW);
    return S_OK;
    VEXA_COM_CATCH
}

STDMETHODIMP CVexaPluginContentItem::HandleActivation(LONG flags)
{
    VEXA_COM_TRY
    return (flags & 1) ? OpenItem() : E_NOTIMPL;
    VEXA_COM_CATCH
}

STDMETHODIMP CVexaPluginContentItem::HandleCancelQuery(VARIANT_BOOL* cancel)
{
    VEXA_VERIFY(cancel != 0);
    return E_NOTIMPL;
}

// --- ShowFeedItem ------------------------------------------------------------------------

void CVexaPlugin::ShowFeedItem(CRssItem* record)
{
    if (!VEXA_VERIFY(record != 0)) return;
    // One item that cannot be made does not keep the others from the panel.
    VEXA_TRY
        const std::wstring title = vexa::WidenUtf8(record->Title);
        const std::wstring body = vexa::WidenUtf8(record->Description);
        const std::wstring link = vexa::WidenUtf8(record->Genre);

        std::wstring sTitle = title + L": ";
        std::wstring sBody = body;
        std::wstring sToolTip = sTitle + L"\n " + sBody;
        std::wstring sSnip = title + L":\n" + body + L"\n\n" + link;
        vexa::unique_bstr bstrTitle = vexa::unique_bstr::make(sTitle);
        vexa::unique_bstr bstrBody = vexa::unique_bstr::make(sBody);
        vexa::unique_bstr bstrToolTip = vexa::unique_bstr::make(sToolTip);
        vexa::unique_bstr bstrSnip = vexa::unique_bstr::make(sSnip);

        // Marked before any host call: an item that fails to reach the host is not retried.
        record->IsShown = true;

        auto pluginHelper = m_helperUnknown.try_query<IDisplayPluginHelper>();
        if (!VEXA_VERIFY(pluginHelper != 0)) return;

        CVexaPluginContentItemImpl* curItem = nullptr;
        if (VEXA_FAILED(VEXA_CHECK_HR(CVexaPluginContentItemImpl::CreateInstance(&curItem))))
            return;
        // Our reference from here on: the item goes away with it if the host never takes it.
        vexa::com_ptr<IUnknown> itemUnknown(curItem->InnerUnknown());
        curItem->UseHelperFactory(m_itemHelperFactory);

        // Creates the item's aggregated helper.
        auto itemHelper = itemUnknown.try_query<IDisplayContentItemHelper>();
        if (!VEXA_VERIFY(itemHelper != 0)) return;

        SYSTEMTIME systime;
        GetSystemTime(&systime);
        DATE timeCreated = 0;
        SystemTimeToVariantTime(&systime, &timeCreated);
        long flags = 0;
        long contentLayout = 1;
        long item_flags = 9;

        VEXA_CHECK_HR(itemHelper->put_heading(bstrTitle));
        VEXA_CHECK_HR(itemHelper->put_tooltip(bstrToolTip));
        VEXA_CHECK_HR(itemHelper->put_source(bstrBody));
        VEXA_CHECK_HR(itemHelper->put_time_created(timeCreated));
        VEXA_CHECK_HR(itemHelper->put_snippet(bstrSnip));
        VEXA_CHECK_HR(itemHelper->put_flags( static_cast<DisplayContentItemFlags>(flags)));
        // The entry's own picture when it is kept, else the content icon.
        vexa::com_ptr<IPicture> card;
        if (m_cycle) card = m_cycle->Pictures().Card(*record);
        if (card)
            VEXA_CHECK_HR(itemHelper->put_image(card.get()));
        else
            VEXA_CHECK_HR(itemHelper->put_image(m_contentIcon));
        VEXA_CHECK_HR(itemHelper->put_layout( static_cast<DisplayContentItemLayout>(contentLayout)));

        vexa::com_ptr<IDisplayContentItemHelper> item = itemHelper;
        VEXA_CHECK_HR(pluginHelper->AddContentItem(item, item_flags));
    VEXA_CATCH_LOG
}

} // namespace vexa
