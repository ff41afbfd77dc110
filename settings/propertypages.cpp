#include "settings/propertypages.h"

#include <commctrl.h>

#include <memory>
#include <vector>

#include "com/check.h"
#include "com/owners.h"
#include "com/text.h"
#include "resources/resource.h"
#include "settings/healthline.h"
#include "settings/pagesize.h"
#include "userdata/feedlistfile.h"
#include "userdata/registryhelper.h"

namespace vexa {

namespace {

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


// ---- The page -----------------------------------------------------------------------------

CVexaPluginPropertyPage::CVexaPluginPropertyPage(IUnknown* outer)
    : RootType(outer), m_dwTitleID(IDS_PAGE_TITLE)
{
}

CVexaPluginPropertyPage::~CVexaPluginPropertyPage()
{
    // Released without Deactivate: the window must not outlive the object it calls.
    m_healthLine.DestroyTip();
    DestroyWindowNow();
}

const vexa::InterfaceEntry* CVexaPluginPropertyPage::Interfaces(std::size_t* count) noexcept
{
    static const vexa::InterfaceEntry table[] = {
        VEXA_INTERFACE(CVexaPluginPropertyPage, IID_IPropertyPage, IPropertyPage),
    };
    return vexa::InterfaceTable(table, count);
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
    m_healthLine.DestroyTip();
    DestroyWindowNow();
    HWND win = CreateDialogParamW(vexa::Module::Instance(), MAKEINTRESOURCEW(IDD_VEXAPLUGINPROPERTYPAGE),
                                  parent, DialogProcedure, reinterpret_cast<LPARAM>(CreationParam()));
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
    vexa::DialogTemplateInfo page;
    switch (vexa::LoadDialogTemplate(vexa::Module::Instance(), IDD_VEXAPLUGINPROPERTYPAGE, &page)) {
    case vexa::TemplateLoad::Missing:
        vexa::Trace("Could not find resource template\n");
        return E_UNEXPECTED;
    case vexa::TemplateLoad::Unreadable:
        vexa::Trace("Could not load resource template\n");
        return E_UNEXPECTED;
    case vexa::TemplateLoad::Loaded:
        break;
    }
    m_size = vexa::PageSizeInPixels(page);

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
    m_ppUnk.clear();
    // Built aside, so that running out of memory leaves no objects rather than some.
    std::vector<vexa::com_ptr<IUnknown>> held(objects, objects + count);
    m_ppUnk = std::move(held);
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
    std::vector<std::wstring> list = ListItems();
    if (list.size() > static_cast<std::size_t>(CRegistryHelper::kMaxDest))
        list.resize(CRegistryHelper::kMaxDest);
    store->SetList(list);
    store->Save();
    store.reset();
    // The names that imported feeds came with, kept until their own titles are known.
    for (const std::wstring& address : list) {
        auto named = m_names.find(address);
        if (named != m_names.end())
            VEXA_VERIFY(vexa::WriteFeedName(address, named->second) == ERROR_SUCCESS);
    }
    m_names.clear();
    m_bDirty = FALSE;
    return S_OK;
    VEXA_COM_CATCH
}

STDMETHODIMP CVexaPluginPropertyPage::Help(LPCOLESTR /*helpDir*/)
{
    VEXA_COM_TRY
    // The page names no help file.
    const vexa::unique_cotaskmem helpFile(LoadTaskString(m_dwHelpFileID));
    return helpFile ? S_OK : E_OUTOFMEMORY;
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

bool CVexaPluginPropertyPage::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    BOOL bHandled = TRUE;
    if (msg == WM_INITDIALOG) {
        result = OnInitDialog(msg, wParam, lParam, bHandled);
        if (bHandled) return true;
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
        else if (id == IDC_IMPORT && code == BN_CLICKED)
            result = OnImport(code, id, control, bHandled);
        else if (id == IDC_EXPORT && code == BN_CLICKED)
            result = OnExport(code, id, control, bHandled);
        else
            bHandled = FALSE;
        if (bHandled) return true;
    }
    if (msg == WM_DRAWITEM) {
        result = OnDrawItem(msg, wParam, lParam, bHandled);
        if (bHandled) return true;
    }
    if (msg == WM_NOTIFY) {
        result = OnNotify(msg, wParam, lParam, bHandled);
        if (bHandled) return true;
    }
    if (msg == WM_DESTROY)
        m_healthLine.DestroyTip(); // and the dialog manager goes on
    if (msg == WM_STYLECHANGING) {
        bHandled = TRUE;
        result = OnStyleChanging(msg, wParam, lParam, bHandled);
        if (bHandled) return true;
    }
    return false;
}

LRESULT CVexaPluginPropertyPage::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&)
{
    auto store = std::make_unique<CRegistryHelper>();
    store->LoadOrSeed();
    for (const std::wstring& sDest : store->List())
        AddToList(sDest);
    store.reset();
    m_names.clear();
    SetDirty(FALSE);
    m_healthLine.Read(ListItems());
    if (HWND winLine = DlgItem(IDC_FEED_HEALTH))
        m_healthLine.AddTip(m_hWnd, winLine);
    UpdateHealthLine();
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
    UpdateHealthLine();
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
    UpdateHealthLine();
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
    UpdateHealthLine();
    return 0;
}

LRESULT CVexaPluginPropertyPage::OnDrawItem(UINT, WPARAM, LPARAM lParam, BOOL& bHandled)
{
    const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
    if (!item || item->CtlID != IDC_FEED_HEALTH) {
        bHandled = FALSE;
        return 0;
    }
    m_healthLine.Draw(*item, reinterpret_cast<HFONT>(SendMessageW(m_hWnd, WM_GETFONT, 0, 0)));
    return TRUE;
}

LRESULT CVexaPluginPropertyPage::OnNotify(UINT, WPARAM, LPARAM lParam, BOOL& bHandled)
{
    if (!m_healthLine.TipText(reinterpret_cast<NMTTDISPINFOW*>(lParam)))
        bHandled = FALSE;
    return 0;
}

// Adds the addresses of an OPML file that the list does not hold yet, to the list box only
// (Apply stores them, as after Add), then says in one message what it did. A file that
// cannot be read changes nothing.
LRESULT CVexaPluginPropertyPage::OnImport(WORD, WORD, HWND, BOOL&)
{
    std::wstring path;
    if (!AskForFeedFile(m_hWnd, false, path))
        return 0;
    std::vector<ListedFeed> feeds;
    std::wstring problem;
    if (!ReadFeedFile(path, feeds, problem)) {
        ShowMessageBox(m_hWnd, problem.c_str(), L"Import feeds", MB_OK | MB_ICONWARNING);
        return 0;
    }
    const ImportMerge merge = MergeImport(ListItems(), feeds, CRegistryHelper::kMaxDest,
                                          CRegistryHelper::kMaxValueUnits);
    for (const ListedFeed& feed : merge.added) {
        AddToList(feed.address);
        if (!feed.name.empty())
            m_names[feed.address] = feed.name;
    }
    const ImportCounts& counts = merge.counts;
    if (counts.added) {
        SetDirty(TRUE);
        UpdateAddButton(); // the list may be full now
        UpdateHealthLine();
    }
    const std::wstring text = DescribeImport(counts, CRegistryHelper::kMaxDest);
    ShowMessageBox(m_hWnd, text.c_str(), L"Import feeds", MB_OK | MB_ICONINFORMATION);
    return 0;
}

// Writes the list box's addresses, in the list box's order, to an OPML file.
LRESULT CVexaPluginPropertyPage::OnExport(WORD, WORD, HWND, BOOL&)
{
    std::wstring path;
    if (!AskForFeedFile(m_hWnd, true, path))
        return 0;
    std::vector<ListedFeed> feeds;
    for (const std::wstring& sDest : ListItems()) {
        if (sDest.empty())
            continue;
        auto named = m_names.find(sDest);
        feeds.push_back(ListedFeed{sDest, named != m_names.end() ? named->second : std::wstring()});
    }
    std::wstring problem;
    if (!WriteFeedFile(path, feeds, problem))
        ShowMessageBox(m_hWnd, problem.c_str(), L"Export feeds", MB_OK | MB_ICONWARNING);
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

// ---- The health line ----------------------------------------------------------------------

void CVexaPluginPropertyPage::UpdateHealthLine()
{
    HWND winList = DlgItem(IDC_DEST_LIST);
    HWND winLine = DlgItem(IDC_FEED_HEALTH);
    if (!winList || !winLine) return;
    LRESULT nSel = SendMessageW(winList, LB_GETCURSEL, 0, 0);
    m_healthLine.Show(winLine, ListItems(), nSel == LB_ERR ? -1 : static_cast<int>(nSel));
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

std::vector<std::wstring> CVexaPluginPropertyPage::ListItems()
{
    std::vector<std::wstring> items;
    for (int i = 0, n = GetListCount(); i < n; ++i)
        items.push_back(GetListItem(i));
    return items;
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

} // namespace vexa
