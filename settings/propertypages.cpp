#include "settings/propertypages.h"

#include <cwctype>
#include <memory>
#include <new>
#include <vector>

#include "com/check.h"
#include "com/text.h"
#include "resources/resource.h"
#include "settings/registryhelper.h"

namespace {

// The property sheet's own dialog template in the common controls library: its font is
// the one the frame lays pages out with.
constexpr WORD kPropertySheetTemplate = 1006;

const wchar_t kSizingLetters[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

struct TemplateInfo {
    short cx = 0;
    short cy = 0;
    bool hasFont = false;
    WORD points = 0;
    std::wstring face;
};

// Skips a template string or ordinal field (0x0000, 0xFFFF + ordinal, or a NUL-terminated
// text), returning the text when there is one.
const WORD* SkipField(const WORD* p, const WORD* end, std::wstring* text = nullptr)
{
    if (p >= end) return end;
    if (*p == 0x0000) return p + 1;
    if (*p == 0xFFFF) return p + 2;
    const WORD* start = p;
    while (p < end && *p) ++p;
    if (text) text->assign(reinterpret_cast<const wchar_t*>(start), p - start);
    return p < end ? p + 1 : end;
}

// Reads the size and font of a dialog template, plain or extended.
bool ParseTemplate(const void* data, DWORD bytes, TemplateInfo* info)
{
    const WORD* words = static_cast<const WORD*>(data);
    const WORD* end = words + bytes / sizeof(WORD);
    DWORD style = 0;
    const WORD* p = nullptr;
    if (bytes >= 26 && words[0] == 1 && words[1] == 0xFFFF) {
        // DLGTEMPLATEEX: dlgVer, signature, helpID, exStyle, style, cDlgItems, x, y, cx, cy
        const BYTE* b = static_cast<const BYTE*>(data);
        style = *reinterpret_cast<const DWORD*>(b + 12);
        info->cx = *reinterpret_cast<const short*>(b + 22);
        info->cy = *reinterpret_cast<const short*>(b + 24);
        p = words + 13;
        p = SkipField(p, end);               // menu
        p = SkipField(p, end);               // class
        p = SkipField(p, end);               // title
        if (style & (DS_SETFONT | DS_SHELLFONT)) {
            if (end - p < 3) return false;
            info->points = p[0];
            p += 3;                          // points, weight, italic + charset
            SkipField(p, end, &info->face);
            info->hasFont = true;
        }
        return true;
    }
    if (bytes < sizeof(DLGTEMPLATE)) return false;
    const DLGTEMPLATE* plain = static_cast<const DLGTEMPLATE*>(data);
    style = plain->style;
    info->cx = plain->cx;
    info->cy = plain->cy;
    p = words + sizeof(DLGTEMPLATE) / sizeof(WORD);
    p = SkipField(p, end);
    p = SkipField(p, end);
    p = SkipField(p, end);
    if (style & DS_SETFONT) {
        if (end - p < 1) return false;
        info->points = p[0];
        SkipField(p + 1, end, &info->face);
        info->hasFont = true;
    }
    return true;
}

enum class TemplateLoad { Loaded, Missing, Unreadable };

// Finds a dialog template of a module and reads its size and font.
TemplateLoad LoadTemplate(HMODULE module, WORD id, TemplateInfo* info)
{
    HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5) /* RT_DIALOG */);
    if (!res) return TemplateLoad::Missing;
    HGLOBAL global = LoadResource(module, res);
    const void* data = global ? LockResource(global) : nullptr;
    if (!data || !ParseTemplate(data, SizeofResource(module, res), info))
        return TemplateLoad::Unreadable;
    return TemplateLoad::Loaded;
}

struct FontMetrics {
    int avgWidth;
    int charHeight; // tmHeight + tmExternalLeading
    int textHeight; // tmHeight
};

// Metrics of a font given by face and point size on the screen; the dialog base units
// when there is no face or no screen.
FontMetrics GetFontMetrics(const std::wstring& face, WORD points)
{
    LONG base = GetDialogBaseUnits();
    FontMetrics metrics = {LOWORD(base), HIWORD(base), HIWORD(base)};
    HDC dc = GetDC(nullptr);
    if (face.empty() || !dc) {
        if (dc) ReleaseDC(nullptr, dc);
        return metrics;
    }
    LOGFONTW lf = {};
    lf.lfHeight = -MulDiv(points, GetDeviceCaps(dc, LOGPIXELSY), 72);
    lf.lfWeight = FW_NORMAL;
    lf.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(lf.lfFaceName, face.c_str(), LF_FACESIZE);
    HFONT font = CreateFontIndirectW(&lf);
    if (font) {
        HGDIOBJ old = SelectObject(dc, font);
        TEXTMETRICW tm = {};
        SIZE extent = {};
        if (GetTextMetricsW(dc, &tm) && GetTextExtentPoint32W(dc, kSizingLetters, 52, &extent)) {
            metrics.avgWidth = (extent.cx + 26) / 52;
            metrics.charHeight = tm.tmHeight + tm.tmExternalLeading;
            metrics.textHeight = tm.tmHeight;
        }
        SelectObject(dc, old);
        DeleteObject(font);
    }
    ReleaseDC(nullptr, dc);
    return metrics;
}

// The template's size in pixels as a property sheet lays it out.
SIZE PageSizeInPixels(const TemplateInfo& page)
{
    FontMetrics pageFont = page.hasFont ? GetFontMetrics(page.face, page.points)
                                        : GetFontMetrics(std::wstring(), 0);
    SIZE size;
    size.cx = MulDiv(page.cx, pageFont.avgWidth, 4);
    size.cy = MulDiv(page.cy, pageFont.charHeight, 8);

    HMODULE comctl = LoadLibraryW(L"comctl32.dll");
    if (comctl) {
        TemplateInfo sheet;
        if (LoadTemplate(comctl, kPropertySheetTemplate, &sheet) == TemplateLoad::Loaded &&
            sheet.hasFont) {
            FontMetrics sheetFont = GetFontMetrics(sheet.face, sheet.points);
            if (sheetFont.textHeight > 0) {
                size.cy = MulDiv(page.cy, sheetFont.charHeight, 8);
                size.cy = MulDiv(size.cy, pageFont.textHeight, sheetFont.textHeight);
            }
        }
        FreeLibrary(comctl);
    }
    return size;
}

// A module string copied into task memory, or null (traced) when it cannot be loaded.
LPOLESTR LoadTaskString(UINT id)
{
    std::wstring text = id ? vexa::LoadResourceString(id) : std::wstring();
    if (text.empty()) {
        vexa::Trace("Error : Failed to load string from res\n");
        return nullptr;
    }
    const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    auto copy = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
    if (copy) CopyMemory(copy, text.c_str(), bytes);
    return copy;
}

std::wstring WindowText(HWND win)
{
    if (!win) return std::wstring();
    int length = GetWindowTextLengthW(win);
    if (length <= 0) return std::wstring();
    std::vector<wchar_t> buffer(length + 1);
    int got = GetWindowTextW(win, buffer.data(), length + 1);
    return std::wstring(buffer.data(), got > 0 ? got : 0);
}

} // namespace

// ---- Dialog window ------------------------------------------------------------------------

HWND CDialogWindow::Create(HWND parent, UINT templateId)
{
    return CreateDialogParamW(vexa::Module::Instance(), MAKEINTRESOURCEW(templateId), parent,
                              DialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CDialogWindow::DialogProc(HWND win, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* self = reinterpret_cast<CDialogWindow*>(GetWindowLongPtrW(win, DWLP_USER));
    if (msg == WM_INITDIALOG) {
        self = reinterpret_cast<CDialogWindow*>(lParam);
        SetWindowLongPtrW(win, DWLP_USER, lParam);
        self->m_hWnd = win;
    }
    if (!self)
        return FALSE; // messages before WM_INITDIALOG (WM_SETFONT) and after WM_NCDESTROY
    if (msg == WM_NCDESTROY) {
        // The window goes away (perhaps with its parent): forget it, so no stale handle
        // is ever destroyed or moved later.
        SetWindowLongPtrW(win, DWLP_USER, 0);
        if (self->m_hWnd == win)
            self->m_hWnd = nullptr;
        return FALSE;
    }
    LRESULT result = 0;
    // Nothing may unwind through the window manager: an exception in a handler (out of
    // memory) is reported and leaves the message to the default processing.
    VEXA_TRY
        if (!self->ProcessWindowMessage(win, msg, wParam, lParam, result))
            return FALSE;
    VEXA_CATCH_RETURN(FALSE)
    if (msg == WM_INITDIALOG)
        return static_cast<INT_PTR>(result);
    SetWindowLongPtrW(win, DWLP_MSGRESULT, result);
    return TRUE;
}

// ---- The page -----------------------------------------------------------------------------

CVexaPluginPropertyPage::CVexaPluginPropertyPage(IUnknown* outer)
    : RootType(outer), m_dwTitleID(IDS_PAGE_TITLE)
{
}

CVexaPluginPropertyPage::~CVexaPluginPropertyPage()
{
    // Released without Deactivate: the window must not outlive the object it calls.
    if (m_hWnd && IsWindow(m_hWnd))
        DestroyWindow(m_hWnd);
    m_hWnd = nullptr;
    ReleaseObjects();
}

const vexa::InterfaceEntry* CVexaPluginPropertyPage::Interfaces(std::size_t* count) noexcept
{
    static const vexa::InterfaceEntry table[] = {
        VEXA_INTERFACE(CVexaPluginPropertyPage, IID_IPropertyPage, IPropertyPage),
    };
    *count = 1;
    return table;
}

void CVexaPluginPropertyPage::ReleaseObjects()
{
    for (ULONG i = 0; i < m_nObjects; ++i)
        if (m_ppUnk[i]) m_ppUnk[i]->Release();
    delete[] m_ppUnk;
    m_ppUnk = nullptr;
    m_nObjects = 0;
}

STDMETHODIMP CVexaPluginPropertyPage::SetPageSite(IPropertyPageSite* site)
{
    VEXA_COM_TRY
    if (!site) {
        m_pPageSite = nullptr;
        return S_OK;
    }
    if (m_pPageSite) {
        vexa::Trace("Error : setting page site again with non NULL value\n");
        return E_UNEXPECTED;
    }
    m_pPageSite = vexa::com_ptr<IPropertyPageSite>(site);
    return S_OK;
    VEXA_COM_CATCH
}

STDMETHODIMP CVexaPluginPropertyPage::Activate(HWND parent, LPCRECT rect, BOOL /*modal*/)
{
    VEXA_COM_TRY
    if (!rect) {
        vexa::Trace("Error : Passed a NULL rect\n");
        return E_POINTER;
    }
    // A second Activate replaces the window rather than leaving an orphan behind.
    if (m_hWnd && IsWindow(m_hWnd))
        DestroyWindow(m_hWnd);
    m_hWnd = nullptr;
    HWND win = Create(parent, IDD_VEXAPLUGINPROPERTYPAGE);
    if (!VEXA_VERIFY(win != nullptr))
        return E_FAIL;
    m_hWnd = win;
    SetWindowPos(win, nullptr, rect->left, rect->top, rect->right - rect->left,
                 rect->bottom - rect->top, SWP_NOZORDER | SWP_NOACTIVATE);
    m_size.cx = rect->right - rect->left;
    m_size.cy = rect->bottom - rect->top;
    return S_OK;
    VEXA_COM_CATCH
}

STDMETHODIMP CVexaPluginPropertyPage::Deactivate()
{
    VEXA_COM_TRY
    if (m_hWnd) {
        vexa::Trace("Destroying Dialog\n");
        HWND win = m_hWnd;
        if (IsWindow(win))
            DestroyWindow(win);
        m_hWnd = nullptr;
    }
    return S_OK;
    VEXA_COM_CATCH
}

STDMETHODIMP CVexaPluginPropertyPage::GetPageInfo(PROPPAGEINFO* info)
{
    VEXA_COM_TRY
    if (!info) {
        vexa::Trace("Error : PROPPAGEINFO passed == NULL\n");
        return E_POINTER;
    }
    TemplateInfo page;
    switch (LoadTemplate(vexa::Module::Instance(), IDD_VEXAPLUGINPROPERTYPAGE, &page)) {
    case TemplateLoad::Missing:
        vexa::Trace("Could not find resource template\n");
        return E_UNEXPECTED;
    case TemplateLoad::Unreadable:
        vexa::Trace("Could not load resource template\n");
        return E_UNEXPECTED;
    case TemplateLoad::Loaded:
        break;
    }
    m_size = PageSizeInPixels(page);

    info->cb = sizeof(PROPPAGEINFO);
    info->pszTitle = LoadTaskString(m_dwTitleID);
    info->size = m_size;
    info->pszHelpFile = LoadTaskString(m_dwHelpFileID);
    info->pszDocString = LoadTaskString(m_dwDocStringID);
    info->dwHelpContext = m_dwHelpContext;
    return S_OK;
    VEXA_COM_CATCH
}

STDMETHODIMP CVexaPluginPropertyPage::SetObjects(ULONG count, IUnknown** objects)
{
    VEXA_COM_TRY
    if (!objects)
        return E_POINTER;
    ReleaseObjects();
    if (count == 0)
        return S_OK;
    m_ppUnk = new (std::nothrow) IUnknown*[count];
    if (!m_ppUnk)
        return E_OUTOFMEMORY;
    for (ULONG i = 0; i < count; ++i) {
        m_ppUnk[i] = objects[i];
        if (m_ppUnk[i]) m_ppUnk[i]->AddRef();
    }
    m_nObjects = count;
    return S_OK;
    VEXA_COM_CATCH
}

STDMETHODIMP CVexaPluginPropertyPage::Show(UINT cmdShow)
{
    VEXA_COM_TRY
    if (!m_hWnd)
        return E_UNEXPECTED;
    ShowWindow(m_hWnd, static_cast<int>(cmdShow));
    return S_OK;
    VEXA_COM_CATCH
}

STDMETHODIMP CVexaPluginPropertyPage::Move(LPCRECT rect)
{
    VEXA_COM_TRY
    if (!m_hWnd)
        return E_UNEXPECTED;
    if (!rect)
        return E_POINTER;
    MoveWindow(m_hWnd, rect->left, rect->top, rect->right - rect->left,
               rect->bottom - rect->top, TRUE);
    return S_OK;
    VEXA_COM_CATCH
}

STDMETHODIMP CVexaPluginPropertyPage::IsPageDirty()
{
    return m_bDirty ? S_OK : S_FALSE;
}

STDMETHODIMP CVexaPluginPropertyPage::Apply()
{
    VEXA_COM_TRY
    // The list box is the page's only copy of the list. Without the page's window (never
    // activated, or deactivated, which drops its edits) there is nothing to apply, and
    // saving its count of 0 would wipe the stored list.
    if (!m_hWnd) {
        m_bDirty = FALSE;
        return S_OK;
    }
    // The plugin is not told: it reads the new list at its next refresh.
    auto store = std::make_unique<CRegistryHelper>();
    int n = GetListCount();
    if (n > CRegistryHelper::kMaxDest)
        n = CRegistryHelper::kMaxDest;
    for (int i = 0; i < n; ++i)
        store->m_sDest[i] = GetListItem(i);
    store->m_nDestCount = n;
    store->Save();
    store.reset();
    m_bDirty = FALSE;
    return S_OK;
    VEXA_COM_CATCH
}

STDMETHODIMP CVexaPluginPropertyPage::Help(LPCOLESTR /*helpDir*/)
{
    VEXA_COM_TRY
    // The page names no help file.
    LPOLESTR helpFile = LoadTaskString(m_dwHelpFileID);
    if (!helpFile)
        return E_OUTOFMEMORY;
    CoTaskMemFree(helpFile);
    return S_OK;
    VEXA_COM_CATCH
}

STDMETHODIMP CVexaPluginPropertyPage::TranslateAccelerator(MSG* msg)
{
    VEXA_COM_TRY
    if (!msg)
        return E_POINTER;
    // Fixed ranges: WM_KEYLAST and WM_MOUSELAST grow with the Windows version built for
    // (WM_UNICHAR, the wheel messages), and those are not the page's to translate.
    bool keyboard = msg->message >= 0x100 && msg->message <= 0x108;
    bool mouse = msg->message >= 0x200 && msg->message <= 0x209;
    if (!keyboard && !mouse)
        return S_FALSE;
    if (m_hWnd && IsDialogMessageW(m_hWnd, msg))
        return S_OK;
    return S_FALSE;
    VEXA_COM_CATCH
}

// ---- Message map and handlers ---------------------------------------------------------------

BOOL CVexaPluginPropertyPage::ProcessWindowMessage(HWND, UINT msg, WPARAM wParam, LPARAM lParam,
                                                   LRESULT& result)
{
    BOOL bHandled = TRUE;
    if (msg == WM_INITDIALOG) {
        result = OnInitDialog(msg, wParam, lParam, bHandled);
        if (bHandled) return TRUE;
    }
    if (msg == WM_COMMAND) {
        WORD id = LOWORD(wParam), code = HIWORD(wParam);
        HWND control = reinterpret_cast<HWND>(lParam);
        bHandled = TRUE;
        if (id == IDC_NEW_URL && code == EN_CHANGE)
            result = OnUrlChange(code, id, control, bHandled);
        else if (id == IDC_ADD && code == BN_CLICKED)
            result = OnAdd(code, id, control, bHandled);
        else if (id == IDC_REMOVE && code == BN_CLICKED)
            result = OnRemove(code, id, control, bHandled);
        else if (id == IDC_DEST_LIST && code == LBN_SELCHANGE)
            result = OnListSelChange(code, id, control, bHandled);
        else
            bHandled = FALSE;
        if (bHandled) return TRUE;
    }
    if (msg == WM_STYLECHANGING) {
        bHandled = TRUE;
        result = OnStyleChanging(msg, wParam, lParam, bHandled);
        if (bHandled) return TRUE;
    }
    return FALSE;
}

LRESULT CVexaPluginPropertyPage::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&)
{
    auto store = std::make_unique<CRegistryHelper>();
    store->LoadOrSeed();
    for (int i = 0; i < store->m_nDestCount; ++i)
        AddToList(store->m_sDest[i]);
    store.reset();
    SetDirty(FALSE);
    return 0; // the dialog manager does not set the focus
}

LRESULT CVexaPluginPropertyPage::OnUrlChange(WORD, WORD, HWND, BOOL&)
{
    UpdateAddButton();
    return 0;
}

LRESULT CVexaPluginPropertyPage::OnAdd(WORD, WORD, HWND, BOOL&)
{
    std::wstring sNewUrl = GetUrlText();
    // Add is disabled for these, but the command may still arrive.
    if (!CanAdd(sNewUrl))
        return 0;
    AddToList(sNewUrl);
    SetDirty(TRUE);
    UpdateAddButton(); // the list may be full now
    return 0;
}

LRESULT CVexaPluginPropertyPage::OnRemove(WORD, WORD, HWND, BOOL&)
{
    HWND winList = DlgItem(IDC_DEST_LIST);
    if (winList) {
        LRESULT nSel = SendMessageW(winList, LB_GETCURSEL, 0, 0);
        if (nSel != LB_ERR)
            SendMessageW(winList, LB_DELETESTRING, static_cast<WPARAM>(nSel), 0);
    }
    SetDirty(TRUE);
    UpdateAddButton(); // room again below the limit
    return 0;
}

LRESULT CVexaPluginPropertyPage::OnListSelChange(WORD, WORD, HWND, BOOL&)
{
    HWND winList = DlgItem(IDC_DEST_LIST);
    if (!winList) return 0;
    LRESULT nCount = SendMessageW(winList, LB_GETCOUNT, 0, 0);
    if (nCount == LB_ERR) return 0;
    bool selected = SendMessageW(winList, LB_GETCURSEL, 0, 0) != LB_ERR;
    if (HWND winRm = DlgItem(IDC_REMOVE))
        EnableWindow(winRm, nCount > 0 && selected);
    return 0;
}

LRESULT CVexaPluginPropertyPage::OnStyleChanging(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    if (wParam == static_cast<WPARAM>(GWL_EXSTYLE)) {
        auto* styles = reinterpret_cast<STYLESTRUCT*>(lParam);
        styles->styleNew |= WS_EX_CONTROLPARENT;
        return 0;
    }
    return 1;
}

void CVexaPluginPropertyPage::SetDirty(BOOL bDirty)
{
    bDirty = bDirty ? TRUE : FALSE;
    if (bDirty == m_bDirty)
        return;
    m_bDirty = bDirty;
    if (m_pPageSite)
        VEXA_CHECK_HR(m_pPageSite->OnStatusChange(bDirty ? PROPPAGESTATUS_DIRTY
                                                         : PROPPAGESTATUS_CLEAN));
}

// ---- List box helpers ---------------------------------------------------------------------

void CVexaPluginPropertyPage::AddToList(const std::wstring& sDest)
{
    if (HWND winList = DlgItem(IDC_DEST_LIST))
        SendMessageW(winList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(sDest.c_str()));
}

std::wstring CVexaPluginPropertyPage::GetListItem(int i)
{
    std::wstring sDest;
    HWND winList = DlgItem(IDC_DEST_LIST);
    if (!winList) return sDest;
    LRESULT nLen = SendMessageW(winList, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
    if (nLen > 0) {
        std::vector<wchar_t> buffer(static_cast<std::size_t>(nLen) + 1);
        LRESULT got = SendMessageW(winList, LB_GETTEXT, static_cast<WPARAM>(i),
                                   reinterpret_cast<LPARAM>(buffer.data()));
        if (got > 0 && got <= nLen)
            sDest = vexa::TrimWhiteSpace(std::wstring(buffer.data(), static_cast<std::size_t>(got)));
    }
    return sDest;
}

int CVexaPluginPropertyPage::GetListCount()
{
    HWND winList = DlgItem(IDC_DEST_LIST);
    if (!winList) return 0;
    LRESULT nCount = SendMessageW(winList, LB_GETCOUNT, 0, 0);
    return nCount == LB_ERR ? 0 : static_cast<int>(nCount);
}

std::wstring CVexaPluginPropertyPage::GetUrlText()
{
    return WindowText(DlgItem(IDC_NEW_URL));
}

// Add is offered for a non-blank address short enough to be read back from the registry
// (its NUL included), while the stored list has room for it.
bool CVexaPluginPropertyPage::CanAdd(const std::wstring& sNewUrl)
{
    std::wstring sTrimmed = vexa::TrimWhiteSpace(sNewUrl);
    return !sTrimmed.empty() && sTrimmed.size() < CRegistryHelper::kMaxValueUnits &&
           GetListCount() < CRegistryHelper::kMaxDest;
}

void CVexaPluginPropertyPage::UpdateAddButton()
{
    HWND winBnAdd = DlgItem(IDC_ADD);
    if (!winBnAdd) return;
    EnableWindow(winBnAdd, CanAdd(GetUrlText()));
}

HRESULT CreateVexaPluginPropertyPageInstance(IUnknown* outer, REFIID riid, void** ppv)
{
    return vexa::CreateComInstance<CVexaPluginPropertyPage>(outer, riid, ppv);
}
