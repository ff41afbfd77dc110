// CVexaPlugin: interface table, persistence, host callbacks and the start-up; and its
// refresh timer window.
#include "plugin/plugin.h"

#include <new>

#include "com/check.h"
#include "com/module.h"
#include "plugin/refreshcycle.h"
#include "resources/resource.h"

namespace vexa {

namespace {

const wchar_t kTimerWindowClass[] = L"VexaRefreshTimerWindow";
ATOM g_timerWindowClass = 0;

// Reads exactly size bytes: a short read means the stream ended inside the data.
HRESULT ReadExactly(IStream* stream, void* buffer, ULONG size)
{
    ULONG read = 0;
    VEXA_RETURN_IF_FAILED_EXPECTED(stream->Read(buffer, size, &read));
    return read == size ? S_OK : E_FAIL;
}

HRESULT WriteAll(IStream* stream, const void* buffer, ULONG size)
{
    ULONG written = 0;
    VEXA_RETURN_IF_FAILED_EXPECTED(stream->Write(buffer, size, &written));
    return written == size ? S_OK : STG_E_MEDIUMFULL;
}

// The pages of the property map, in map order; the persisted "value1" item has none.
const CLSID* const kPropertyMapPages[] = {&GUID_NULL, &CLSID_VexaPluginPropertyPage};

} // namespace

// --- RefreshTimerWindow ------------------------------------------------------------------

RefreshTimerWindow::~RefreshTimerWindow() { Stop(); }

void RefreshTimerWindow::Stop()
{
    DestroyWindowNow(); // ends the timer too
    m_plugin = nullptr;
}

bool RefreshTimerWindow::Start(CVexaPlugin* plugin)
{
    if (m_hWnd) return false;
    HINSTANCE instance = vexa::Module::Instance();
    if (!g_timerWindowClass) {
        WNDCLASSEXW wc = {};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = WindowProcedure;
        wc.hInstance = instance;
        wc.lpszClassName = kTimerWindowClass;
        g_timerWindowClass = RegisterClassExW(&wc);
        if (!g_timerWindowClass) return false;
        // The class goes when the module unloads (once registered, the clean-up stays listed).
        static const bool cleanupListed = vexa::Module::AddTermFunc(
            [](void*) { RefreshTimerWindow::UnregisterWindowClass(); }, nullptr);
        (void)cleanupListed;
    }
    m_plugin = plugin;
    HWND hwnd = CreateWindowExW(0, kTimerWindowClass, nullptr, 0, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, HWND_MESSAGE, nullptr, instance, CreationParam());
    if (!hwnd) {
        m_plugin = nullptr;
        return false;
    }
    SetTimer(hwnd, kTimerId, kPeriodMs, nullptr);
    return true;
}

// A tick is a non-clearing refresh; one that throws is reported by the thunk and counts as
// handled.
bool RefreshTimerWindow::OnMessage(UINT message, WPARAM wParam, LPARAM, LRESULT& result)
{
    if (message != WM_TIMER) return false;
    if (wParam == kTimerId && m_plugin)
        m_plugin->Refresh(false);
    result = 0;
    return true;
}

void RefreshTimerWindow::UnregisterWindowClass()
{
    if (g_timerWindowClass) {
        UnregisterClassW(kTimerWindowClass, vexa::Module::Instance());
        g_timerWindowClass = 0;
    }
}

// --- CVexaPlugin -------------------------------------------------------------------------

CVexaPlugin::CVexaPlugin(IUnknown* outer) : RootType(outer) {}

CVexaPlugin::~CVexaPlugin()
{
    // The window goes first so no tick can reach a half-destroyed plugin.
    m_timerWindow.Stop();
    // Downloads still running are left to end by their deadlines (the cycle lets them go);
    // they hold nothing of this plugin.
    m_cycle.reset();
    m_helperUnknown.reset();
    m_smallIcon.reset();
    m_largeIcon.reset();
    m_contentIcon.reset();
    m_site.reset();
}

const vexa::InterfaceEntry* CVexaPlugin::Interfaces(std::size_t* count) noexcept
{
    static const vexa::InterfaceEntry table[] = {
        VEXA_INTERFACE(CVexaPlugin, IID_IVexaPlugin, IVexaPlugin),
        VEXA_INTERFACE(CVexaPlugin, IID_IDispatch, IVexaPlugin),
        VEXA_INTERFACE(CVexaPlugin, IID_IObjectWithSite, IObjectWithSite),
        VEXA_INTERFACE(CVexaPlugin, IID_IDisplayPluginHandler, IDisplayPluginHandler),
        VEXA_INTERFACE(CVexaPlugin, IID_IPersistStreamInit, IPersistStreamInit),
        VEXA_INTERFACE(CVexaPlugin, IID_ISpecifyPropertyPages, ISpecifyPropertyPages),
        VEXA_INTERFACE(CVexaPlugin, IID_IPersist, IPersistStreamInit),
    };
    return vexa::InterfaceTable(table, count);
}

// Everything the table does not answer goes to the host's plugin helper, aggregated on the
// first such request. A failed creation is tried again at the next request.
HRESULT CVexaPlugin::QueryDelegate(REFIID riid, void** ppv) noexcept
{
    return vexa::QueryAggregated(CLSID_DisplayPluginHelper, ControllingUnknown(), m_helperUnknown, riid, ppv);
}

// IDisplayPluginHandler

STDMETHODIMP CVexaPlugin::HandleCommand(LONG command) { return command == 1 ? E_NOTIMPL : S_OK; }

STDMETHODIMP CVexaPlugin::DisplayStateChanged(LONG display_state)
{
    VEXA_COM_TRY
    if (display_state == 1 || display_state == 2)
        UpdateTitle();
    return S_OK;
    VEXA_COM_CATCH
}

// IPersistStreamInit

STDMETHODIMP CVexaPlugin::GetClassID(CLSID* clsid)
{
    if (!clsid) return E_POINTER;
    *clsid = CLSID_VexaPlugin;
    return S_OK;
}

STDMETHODIMP CVexaPlugin::IsDirty() { return m_requiresSave ? S_OK : S_FALSE; }

STDMETHODIMP CVexaPlugin::InitNew()
{
    VEXA_COM_TRY
    if (m_started) return E_UNEXPECTED;
    m_value1.clear();
    m_requiresSave = TRUE;
    return StartUp();
    VEXA_COM_CATCH
}

STDMETHODIMP CVexaPlugin::Load(IStream* stream)
{
    VEXA_COM_TRY
    if (m_started) return E_UNEXPECTED;
    if (!stream) return E_POINTER;
    // A stream that is short or fails is the caller's input, not a fault of ours: no report.
    DWORD version = 0;
    VEXA_RETURN_IF_FAILED_EXPECTED(ReadExactly(stream, &version, sizeof(version)));
    if (version > kStreamVersion) return E_FAIL;
    // "value1": four bytes kept for the format; nothing is taken from them.
    BYTE value1[4];
    VEXA_RETURN_IF_FAILED_EXPECTED(ReadExactly(stream, value1, sizeof(value1)));
    m_requiresSave = FALSE;
    return StartUp();
    VEXA_COM_CATCH
}

STDMETHODIMP CVexaPlugin::Save(IStream* stream, BOOL)
{
    VEXA_COM_TRY
    if (!stream) return E_POINTER;
    const DWORD version = kStreamVersion;
    VEXA_RETURN_IF_FAILED_EXPECTED(WriteAll(stream, &version, sizeof(version)));
    const BYTE value1[4] = {};
    return WriteAll(stream, value1, sizeof(value1));
    VEXA_COM_CATCH
}

STDMETHODIMP CVexaPlugin::GetSizeMax(ULARGE_INTEGER* size)
{
    if (!size) return E_POINTER;
    size->QuadPart = 8;
    return S_OK;
}

// ISpecifyPropertyPages

STDMETHODIMP CVexaPlugin::GetPages(CAUUID* pages)
{
    VEXA_COM_TRY
    if (!pages) return E_POINTER;
    pages->cElems = 0;
    pages->pElems = nullptr;
    ULONG wanted = 0;
    for (const CLSID* page : kPropertyMapPages)
        if (!IsEqualGUID(*page, GUID_NULL)) ++wanted;
    auto* elems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID) * (wanted ? wanted : 1)));
    if (!elems) return E_OUTOFMEMORY;
    ULONG added = 0;
    for (const CLSID* page : kPropertyMapPages) {
        if (IsEqualGUID(*page, GUID_NULL)) continue;
        bool known = false;
        for (ULONG i = 0; i < added; ++i)
            known = known || IsEqualGUID(elems[i], *page);
        if (!known) elems[added++] = *page;
    }
    pages->cElems = added;
    pages->pElems = elems;
    return S_OK;
    VEXA_COM_CATCH
}

// IObjectWithSite

STDMETHODIMP CVexaPlugin::SetSite(IUnknown* site)
{
    VEXA_COM_TRY
    m_site = vexa::com_ptr<IUnknown>(site);
    return S_OK;
    VEXA_COM_CATCH
}

STDMETHODIMP CVexaPlugin::GetSite(REFIID riid, void** ppv)
{
    VEXA_COM_TRY
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!m_site) return E_FAIL;
    return m_site->QueryInterface(riid, ppv);
    VEXA_COM_CATCH
}

// IVexaPlugin

STDMETHODIMP CVexaPlugin::get_Value1(BSTR* pVal)
{
    VEXA_COM_TRY
    if (!pVal) return E_POINTER;
    *pVal = SysAllocStringLen(m_value1.data(), static_cast<UINT>(m_value1.size()));
    return *pVal ? S_OK : E_OUTOFMEMORY;
    VEXA_COM_CATCH
}

STDMETHODIMP CVexaPlugin::put_Value1(BSTR)
{
    VEXA_COM_TRY
    m_value1 = L"none";
    Refresh(true);
    return S_OK;
    VEXA_COM_CATCH
}

// Start-up

HRESULT CVexaPlugin::MakePicture(UINT iconId, int cx, int cy, vexa::com_ptr<IPicture>& picture)
{
    vexa::unique_hicon icon(static_cast<HICON>(LoadImageW(vexa::Module::Instance(), MAKEINTRESOURCEW(iconId),
                                                          IMAGE_ICON, cx, cy, LR_DEFAULTCOLOR)));
    PICTDESC desc = {};
    desc.cbSizeofstruct = sizeof(PICTDESC);
    desc.picType = PICTYPE_ICON;
    desc.icon.hicon = icon.get();
    HRESULT hr = OleCreatePictureIndirect(&desc, IID_IPicture, FALSE, picture.put_void());
    // Kept until the plugin goes: the picture does not own it.
    for (vexa::unique_hicon& slot : m_iconHandles) {
        if (!slot) {
            slot = std::move(icon);
            break;
        }
    }
    return hr;
}

HRESULT CVexaPlugin::StartUp()
{
    if (!m_timerWindow.Handle() && !m_timerWindow.Start(this))
        return E_FAIL;

    auto helper = vexa::query<IDisplayPluginHelper>(InnerUnknown());
    if (!m_helperUnknown || !helper)
        return E_FAIL;

    // A start-up that failed here before may be run again: the old pictures go.
    m_smallIcon.reset();
    m_largeIcon.reset();
    m_contentIcon.reset();
    for (vexa::unique_hicon& slot : m_iconHandles) slot.reset();

    VEXA_RETURN_IF_FAILED(MakePicture(IDI_PLUGIN, GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), m_smallIcon));
    VEXA_RETURN_IF_FAILED(MakePicture(IDI_PLUGIN, GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), m_largeIcon));
    VEXA_RETURN_IF_FAILED(MakePicture(IDI_CONTENT, 0, 0, m_contentIcon));

    VEXA_CHECK_HR(helper->SetIcons(m_smallIcon, m_largeIcon));
    vexa::unique_bstr aboutText = vexa::unique_bstr::from(vexa::LoadResourceString(IDS_ABOUT));
    VEXA_CHECK_HR(helper->put_about_text(aboutText));
    UpdateTitle();
    helper->SetDisplayFlags(0, 1);

    m_cycle = std::make_unique<RefreshCycle>();
    m_started = true;
    Refresh(true);
    return S_OK;
}

void CVexaPlugin::UpdateTitle()
{
    std::wstring name = vexa::LoadResourceString(IDS_TITLE);
    vexa::unique_bstr title = vexa::unique_bstr::from(name);
    auto helper = m_helperUnknown.try_query<IDisplayPluginHelper>();
    if (!VEXA_VERIFY(helper != 0))
        return;
    VEXA_CHECK_HR(helper->put_title(title));
}

HRESULT CreateVexaPluginInstance(IUnknown* outer, REFIID riid, void** ppv)
{
    return vexa::CreateComInstance<CVexaPlugin>(outer, riid, ppv);
}

} // namespace vexa
