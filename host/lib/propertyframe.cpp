#include "host/lib/propertyframe.h"

#include <commctrl.h>

#include <algorithm>

#include "com/check.h"
#include "com/owners.h"
#include "host/lib/hostobjects.h"

namespace host {

// The frame's side of its pages: status changes enable Apply, keys a page does not want go
// to the frame's dialog manager. The frame cuts it off when it closes; a page that still
// holds it then reaches nothing.
class PropertyPageSite final : public IPropertyPageSite, public HostRoot {
public:
    explicit PropertyPageSite(PropertyFrame* frame) : RootType(nullptr), m_frame(frame) {}
    VEXA_IUNKNOWN_DELEGATING

    void Detach() noexcept { m_frame = nullptr; }

    STDMETHODIMP OnStatusChange(DWORD flags) override
    {
        VEXA_COM_TRY
        if (m_frame) m_frame->OnPageStatus(flags);
        return S_OK;
        VEXA_COM_CATCH
    }
    STDMETHODIMP GetLocaleID(LCID* lcid) override
    {
        if (!lcid) return E_POINTER;
        *lcid = GetUserDefaultLCID();
        return S_OK;
    }
    STDMETHODIMP GetPageContainer(IUnknown** container) override
    {
        if (!container) return E_POINTER;
        *container = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP TranslateAccelerator(MSG* msg) override
    {
        if (!msg) return E_POINTER;
        HWND frame = m_frame ? m_frame->Window() : nullptr;
        return frame && IsDialogMessageW(frame, msg) ? S_OK : S_FALSE;
    }

protected:
    const vexa::InterfaceEntry* Interfaces(std::size_t* count) noexcept override
    {
        static const vexa::InterfaceEntry table[] = {
            VEXA_INTERFACE(PropertyPageSite, IID_IPropertyPageSite, IPropertyPageSite),
        };
        return vexa::InterfaceTable(table, count);
    }

private:
    PropertyFrame* m_frame;
};

namespace {

// Dialog units of the system's dialog layout.
constexpr int kMargin = 7, kGap = 4, kButtonWidth = 50, kButtonHeight = 14;

// An empty dialog template in memory: the frame's controls are made at WM_INITDIALOG, once
// the pages' sizes in pixels are known.
std::vector<WORD> FrameTemplate(const std::wstring& caption)
{
    const DWORD style = DS_SETFONT | DS_MODALFRAME | DS_3DLOOK | WS_POPUP | WS_CAPTION | WS_SYSMENU;
    const DWORD exStyle = WS_EX_CONTROLPARENT | WS_EX_DLGMODALFRAME;
    std::vector<WORD> words = {LOWORD(style), HIWORD(style), LOWORD(exStyle), HIWORD(exStyle),
                               0, 0, 0, 100, 50, 0, 0};
    words.insert(words.end(), caption.begin(), caption.end());
    words.push_back(0);
    words.push_back(8); // points
    static const wchar_t kFace[] = L"MS Shell Dlg";
    words.insert(words.end(), kFace, kFace + sizeof kFace / sizeof kFace[0]);
    return words;
}

bool IsWithin(HWND parent, HWND window)
{
    return parent && window && (window == parent || IsChild(parent, window));
}

// Keys that belong to the frame's dialog manager whatever has the focus: Tab moves between
// the page and the buttons, Enter presses OK, Esc Cancel, Alt+letter a mnemonic.
bool IsFrameKey(const MSG& msg)
{
    switch (msg.message) {
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_CHAR:
        return msg.wParam == VK_TAB || msg.wParam == VK_RETURN || msg.wParam == VK_ESCAPE;
    case WM_SYSKEYDOWN:
    case WM_SYSKEYUP:
    case WM_SYSCHAR:
        return true;
    default:
        return false;
    }
}

HWND MakeControl(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int id)
{
    HWND control = CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                   GetModuleHandleW(nullptr), nullptr);
    if (control) SendMessageW(control, WM_SETFONT, SendMessageW(parent, WM_GETFONT, 0, 0), FALSE);
    return control;
}

} // namespace

HRESULT PropertyFrame::PagesOf(IUnknown* object, Pages& pages)
{
    pages.clear();
    auto specify = vexa::query<ISpecifyPropertyPages>(object);
    if (!specify) return E_NOINTERFACE;
    CAUUID uuids = {};
    HRESULT hr = specify->GetPages(&uuids);
    vexa::unique_cotaskmem elems(uuids.pElems);
    VEXA_RETURN_IF_FAILED(hr);
    for (ULONG i = 0; i < uuids.cElems; ++i) {
        vexa::com_ptr<IPropertyPage> page;
        VEXA_RETURN_IF_FAILED(CoCreateInstance(uuids.pElems[i], nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                                               page.put_void()));
        pages.push_back(std::move(page));
    }
    return pages.empty() ? E_FAIL : S_OK;
}

PropertyFrame::PropertyFrame(std::wstring caption, IUnknown* object, Pages pages)
    : m_caption(std::move(caption)), m_object(object)
{
    for (auto& page : pages) m_pages.push_back(Page{std::move(page)});
}

PropertyFrame::~PropertyFrame()
{
    Close();
}

HRESULT PropertyFrame::Create(HWND owner)
{
    if (m_hWnd || m_pages.empty()) return E_UNEXPECTED;
    m_site = vexa::com_ptr<PropertyPageSite>(new PropertyPageSite(this));
    IUnknown* objects[] = {m_object.get()};
    for (Page& page : m_pages) {
        PROPPAGEINFO info = {sizeof info};
        VEXA_RETURN_IF_FAILED(page.page->GetPageInfo(&info));
        vexa::unique_cotaskmem title(info.pszTitle), help(info.pszHelpFile), doc(info.pszDocString);
        page.title = info.pszTitle ? info.pszTitle : L"";
        page.size = info.size;
        VEXA_RETURN_IF_FAILED(page.page->SetPageSite(m_site.get()));
        VEXA_RETURN_IF_FAILED(page.page->SetObjects(m_object ? 1 : 0, objects));
    }
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_TAB_CLASSES};
    InitCommonControlsEx(&controls);
    const std::vector<WORD> dialog = FrameTemplate(m_caption);
    HWND frame = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<const DLGTEMPLATE*>(dialog.data()),
                                            owner, DialogProcedure, reinterpret_cast<LPARAM>(CreationParam()));
    if (!VEXA_VERIFY(frame != nullptr)) return E_FAIL;
    return Current() && Current()->window ? S_OK : E_FAIL;
}

bool PropertyFrame::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    result = 0;
    switch (msg) {
    case WM_INITDIALOG:
        OnInitDialog();
        result = FALSE; // the focus is set
        return true;
    case WM_COMMAND:
        if (HIWORD(wParam) != BN_CLICKED) return false;
        OnCommand(LOWORD(wParam));
        return true;
    case WM_NOTIFY: {
        const auto* header = reinterpret_cast<const NMHDR*>(lParam);
        if (!header || header->idFrom != IDC_TABS || header->code != TCN_SELCHANGE) return false;
        Select(static_cast<int>(SendMessageW(header->hwndFrom, TCM_GETCURSEL, 0, 0)));
        return true;
    }
    }
    return false;
}

void PropertyFrame::OnInitDialog()
{
    HWND tabs = MakeControl(m_hWnd, WC_TABCONTROLW, L"", WS_CLIPSIBLINGS | (m_pages.size() > 1 ? WS_TABSTOP : 0),
                            IDC_TABS);
    for (std::size_t i = 0; i < m_pages.size(); ++i) {
        TCITEMW item = {TCIF_TEXT};
        item.pszText = const_cast<wchar_t*>(m_pages[i].title.c_str());
        SendMessageW(tabs, TCM_INSERTITEMW, i, reinterpret_cast<LPARAM>(&item));
    }
    MakeControl(m_hWnd, L"Button", L"OK", WS_TABSTOP | WS_GROUP | BS_DEFPUSHBUTTON, IDOK);
    MakeControl(m_hWnd, L"Button", L"Cancel", WS_TABSTOP | BS_PUSHBUTTON, IDCANCEL);
    MakeControl(m_hWnd, L"Button", L"&Apply", WS_TABSTOP | WS_DISABLED | BS_PUSHBUTTON, IDC_APPLY);
    SendMessageW(m_hWnd, DM_SETDEFID, IDOK, 0);
    Layout();
    CenterOnOwner();
    Select(0);
    // The first control of the page, or OK when the page has none.
    HWND focus = Current() && Current()->window ? GetNextDlgTabItem(Current()->window, nullptr, FALSE) : nullptr;
    SetFocus(focus ? focus : GetDlgItem(m_hWnd, IDOK));
}

void PropertyFrame::Layout()
{
    SIZE area = {0, 0};
    for (const Page& page : m_pages) {
        area.cx = std::max(area.cx, page.size.cx);
        area.cy = std::max(area.cy, page.size.cy);
    }
    RECT units = {kMargin, kGap, kButtonWidth, kButtonHeight};
    MapDialogRect(m_hWnd, &units);
    const int margin = units.left, gap = units.top, width = units.right, height = units.bottom;

    HWND tabs = GetDlgItem(m_hWnd, IDC_TABS);
    RECT tabRect = {0, 0, area.cx, area.cy};
    SendMessageW(tabs, TCM_ADJUSTRECT, TRUE, reinterpret_cast<LPARAM>(&tabRect));
    OffsetRect(&tabRect, margin - tabRect.left, margin - tabRect.top);
    MoveWindow(tabs, tabRect.left, tabRect.top, tabRect.right - tabRect.left, tabRect.bottom - tabRect.top, FALSE);
    m_pageArea = tabRect;
    SendMessageW(tabs, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&m_pageArea));

    // OK, Cancel, Apply at the bottom right, under the tabs.
    const int top = tabRect.bottom + margin;
    int left = tabRect.right - 3 * width - 2 * gap;
    for (int id : {IDOK, IDCANCEL, static_cast<int>(IDC_APPLY)}) {
        MoveWindow(GetDlgItem(m_hWnd, id), left, top, width, height, FALSE);
        left += width + gap;
    }
    RECT frame = {0, 0, tabRect.right + margin, top + height + margin};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongW(m_hWnd, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongW(m_hWnd, GWL_EXSTYLE)));
    SetWindowPos(m_hWnd, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Centred on the owner (on the work area without one), kept within the work area.
void PropertyFrame::CenterOnOwner()
{
    RECT frame, around;
    GetWindowRect(m_hWnd, &frame);
    HWND owner = GetWindow(m_hWnd, GW_OWNER);
    MONITORINFO monitor = {sizeof monitor};
    GetMonitorInfoW(MonitorFromWindow(owner ? owner : m_hWnd, MONITOR_DEFAULTTOPRIMARY), &monitor);
    const RECT work = monitor.rcWork;
    if (!owner || !IsWindowVisible(owner) || !GetWindowRect(owner, &around)) around = work;
    const int w = frame.right - frame.left, h = frame.bottom - frame.top;
    int x = (around.left + around.right - w) / 2, y = (around.top + around.bottom - h) / 2;
    x = std::max(static_cast<int>(work.left), std::min(x, static_cast<int>(work.right) - w));
    y = std::max(static_cast<int>(work.top), std::min(y, static_cast<int>(work.bottom) - h));
    SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void PropertyFrame::Select(int index)
{
    if (index < 0 || index >= static_cast<int>(m_pages.size())) return;
    if (Page* old = Current(); old && old->window && index != m_current) old->page->Show(SW_HIDE);
    m_current = index;
    Page& page = m_pages[static_cast<std::size_t>(index)];
    if (!page.window) {
        // The page's window is the one child that the frame did not make.
        std::vector<HWND> before;
        for (HWND w = GetWindow(m_hWnd, GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT)) before.push_back(w);
        if (VEXA_FAILED(VEXA_CHECK_HR(page.page->Activate(m_hWnd, &m_pageArea, TRUE)))) return;
        for (HWND w = GetWindow(m_hWnd, GW_CHILD); w && !page.window; w = GetWindow(w, GW_HWNDNEXT))
            if (std::find(before.begin(), before.end(), w) == before.end()) page.window = w;
        if (page.window) {
            // A control parent, so that Tab moves through its controls and on to the buttons.
            SetWindowLongW(page.window, GWL_EXSTYLE, GetWindowLongW(page.window, GWL_EXSTYLE) | WS_EX_CONTROLPARENT);
            SetWindowPos(page.window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        }
    }
    VEXA_CHECK_HR(page.page->Show(SW_SHOW));
    SendMessageW(GetDlgItem(m_hWnd, IDC_TABS), TCM_SETCURSEL, static_cast<WPARAM>(index), 0);
}

PropertyFrame::Page* PropertyFrame::Current()
{
    return m_current >= 0 && m_current < static_cast<int>(m_pages.size()) ? &m_pages[static_cast<std::size_t>(m_current)]
                                                                          : nullptr;
}

void PropertyFrame::OnCommand(WORD id)
{
    switch (id) {
    case IDOK:
        if (ApplyAll()) m_result = IDOK;
        break;
    case IDCANCEL:
        m_result = IDCANCEL;
        break;
    case IDC_APPLY:
        ApplyAll();
        break;
    }
}

bool PropertyFrame::ApplyAll()
{
    bool stored = true;
    for (Page& page : m_pages)
        if (page.window && page.page->IsPageDirty() == S_OK && VEXA_FAILED(VEXA_CHECK_HR(page.page->Apply())))
            stored = false;
    UpdateApply();
    return stored;
}

void PropertyFrame::OnPageStatus(DWORD flags)
{
    if (flags & PROPPAGESTATUS_DIRTY)
        EnableWindow(GetDlgItem(m_hWnd, IDC_APPLY), TRUE);
    else
        UpdateApply();
}

void PropertyFrame::UpdateApply()
{
    bool dirty = false;
    for (Page& page : m_pages) dirty = dirty || (page.window && page.page->IsPageDirty() == S_OK);
    if (HWND apply = GetDlgItem(m_hWnd, IDC_APPLY)) {
        // The focus must not stay on a button that is disabled: it moves on to OK.
        if (!dirty && GetFocus() == apply) SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(m_hWnd, IDOK)), TRUE);
        EnableWindow(apply, dirty);
    }
}

bool PropertyFrame::PreTranslate(MSG& msg)
{
    if (!m_hWnd || !IsWithin(m_hWnd, msg.hwnd)) return false;
    const bool keyboard = msg.message >= WM_KEYFIRST && msg.message <= WM_KEYLAST;
    Page* page = Current();
    if (keyboard && !IsFrameKey(msg) && page && IsWithin(page->window, msg.hwnd) &&
        page->page->TranslateAccelerator(&msg) == S_OK)
        return true;
    return IsDialogMessageW(m_hWnd, &msg) != FALSE;
}

int PropertyFrame::RunModal(const std::function<void()>& afterMessage)
{
    HWND owner = m_hWnd ? GetWindow(m_hWnd, GW_OWNER) : nullptr;
    const bool disabled = owner && IsWindowEnabled(owner);
    if (disabled) EnableWindow(owner, FALSE);
    if (m_hWnd) ShowWindow(m_hWnd, SW_SHOW);
    bool quit = false;
    WPARAM quitCode = 0;
    MSG msg;
    while (m_hWnd && !m_result) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got <= 0) {
            quit = got == 0;
            quitCode = msg.wParam;
            m_result = IDCANCEL;
            break;
        }
        if (!PreTranslate(msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (afterMessage) afterMessage();
    }
    if (!m_result) m_result = IDCANCEL; // the window went without OK
    // The owner comes back before the frame goes, so the activation returns to it.
    if (disabled) EnableWindow(owner, TRUE);
    Close();
    if (quit) PostQuitMessage(static_cast<int>(quitCode));
    return m_result;
}

void PropertyFrame::Close()
{
    for (Page& page : m_pages) {
        if (page.window) VEXA_CHECK_HR(page.page->Deactivate());
        page.window = nullptr;
        if (m_site) page.page->SetPageSite(nullptr);
    }
    m_pages.clear();
    m_current = -1;
    if (m_site) m_site->Detach();
    m_site.reset();
    m_object.reset();
    DestroyWindowNow();
}

HRESULT ShowPropertyFrame(HWND owner, const wchar_t* caption, IUnknown* object,
                          const std::function<void()>& afterMessage)
{
    VEXA_COM_TRY
    PropertyFrame::Pages pages;
    VEXA_RETURN_IF_FAILED(PropertyFrame::PagesOf(object, pages));
    PropertyFrame frame(caption ? caption : L"", object, std::move(pages));
    VEXA_RETURN_IF_FAILED(frame.Create(owner));
    frame.RunModal(afterMessage);
    return S_OK;
    VEXA_COM_CATCH
}

} // namespace host
