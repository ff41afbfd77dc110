// The settings page with real windows (under Xvfb) and the real registry, over one fixture;
// the import merge and the template arithmetic without windows.
#include <windows.h>
#include <commctrl.h>
#include <ocidl.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "com/ptr.h"
#include "format/opml.h"
#include "host/lib/propertyframe.h"
#include "resources/resource.h"
#include "settings/pagesize.h"
#include "settings/propertypages.h"
#include "userdata/feedhealth.h"
#include "userdata/feedlistfile.h"
#include "tests/support/feedlist_fixture.h"

using namespace vexa;

using vexa::com_ptr;
using List = std::vector<std::wstring>;

namespace {

// The frame's side of the page: records every status change.
struct TestSite : IPropertyPageSite {
    ULONG refs = 1;
    std::vector<DWORD> changes;
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        const bool known = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPropertyPageSite);
        *ppv = known ? this : nullptr;
        return known ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    STDMETHODIMP OnStatusChange(DWORD flags) override { return changes.push_back(flags), S_OK; }
    STDMETHODIMP GetLocaleID(LCID* lcid) override { return *lcid = LOCALE_USER_DEFAULT, S_OK; }
    STDMETHODIMP GetPageContainer(IUnknown** ppUnk) override { return *ppUnk = nullptr, E_NOTIMPL; }
    STDMETHODIMP TranslateAccelerator(MSG*) override { return S_FALSE; }
};

// Import and Export with the file dialogs answered by the test: the path of g_dialogPath,
// or Cancel when it is empty.
std::wstring g_dialogPath;
BOOL AnswerDialog(OPENFILENAMEW* ofn, bool)
{
    EXPECT_EQ(std::wstring(ofn->lpstrFilter, 48), std::wstring(L"OPML files (*.opml)\0*.opml\0All files (*.*)\0*.*\0", 48));
    EXPECT_STREQ(ofn->lpstrDefExt, L"opml");
    lstrcpynW(ofn->lpstrFile, g_dialogPath.c_str(), static_cast<int>(ofn->nMaxFile));
    return !g_dialogPath.empty();
}

class SettingsPage : public vexatest::FeedListTest {
protected:
    void SetUp() override
    {
        FeedListTest::SetUp();
        SetFileDialogFn(AnswerDialog);
        const WNDCLASSW wc = {0, DefWindowProcW, 0, 0, GetModuleHandleW(nullptr), nullptr, nullptr,
                              GetSysColorBrush(COLOR_BTNFACE), nullptr, L"VexaTestFrame"};
        RegisterClassW(&wc);
        m_frame = CreateWindowExW(WS_EX_CONTROLPARENT, L"VexaTestFrame", L"Vexa settings", WS_OVERLAPPEDWINDOW,
                                  40, 40, 640, 330, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(m_frame, nullptr);
    }
    void TearDown() override
    {
        ReleasePage();
        DestroyWindow(m_frame);
        SetFileDialogFn(nullptr);
        DeleteFileW(m_file.c_str());
        EXPECT_EQ(vexa::InstanceCounter<CVexaPluginPropertyPage>::Count(), 0);
        FeedListTest::TearDown();
    }

    // Takes the page down as the frame does: its last reference goes.
    void ReleasePage()
    {
        if (!m_page) return;
        m_page->Deactivate();
        m_page->SetPageSite(nullptr);
        EXPECT_EQ(m_page.detach()->Release(), 0u);
    }
    com_ptr<IPropertyPage> NewPage()
    {
        com_ptr<IPropertyPage> page;
        EXPECT_EQ(CreateVexaPluginPropertyPageInstance(nullptr, IID_IPropertyPage, page.put_void()), S_OK);
        return page;
    }
    // Creates the page as the frame does, and activates it.
    void Open()
    {
        if (!m_page) {
            m_page = NewPage();
            ASSERT_EQ(m_page->SetPageSite(&m_site), S_OK);
        }
        RECT rc = {8, 8, 8 + 520, 8 + 240};
        ASSERT_EQ(m_page->Activate(m_frame, &rc, FALSE), S_OK);
        m_win = GetWindow(m_frame, GW_CHILD);
        ASSERT_NE(m_win, nullptr);
    }
    void Reopen()
    {
        ASSERT_EQ(m_page->Deactivate(), S_OK);
        Open();
    }

    HWND Item(int id) { return GetDlgItem(m_win, id); }
    void SetUrl(const std::wstring& text) { SendMessageW(Item(IDC_NEW_URL), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str())); }
    void Click(int id) { SendMessageW(Item(id), BM_CLICK, 0, 0); }
    // Add's command as a frame or another program may send it, the button disabled or not.
    void CommandAdd() { SendMessageW(m_win, WM_COMMAND, MAKEWPARAM(IDC_ADD, BN_CLICKED), reinterpret_cast<LPARAM>(Item(IDC_ADD))); }
    void Select(int index)
    {
        SendMessageW(Item(IDC_DEST_LIST), LB_SETCURSEL, index, 0);
        SendMessageW(m_win, WM_COMMAND, MAKEWPARAM(IDC_DEST_LIST, LBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(Item(IDC_DEST_LIST)));
    }
    // Selects `address` (nothing when the list lacks it) and gives the health line then.
    std::wstring SelectLine(const std::wstring& address)
    {
        const List items = Items();
        auto at = std::find(items.begin(), items.end(), address);
        Select(at == items.end() ? -1 : static_cast<int>(at - items.begin()));
        return Text(Item(IDC_FEED_HEALTH));
    }
    static std::wstring Text(HWND window)
    {
        wchar_t text[600] = {};
        GetWindowTextW(window, text, 600);
        return text;
    }
    bool Enabled(int id) { return IsWindowEnabled(Item(id)) != FALSE; }
    List Items()
    {
        List out;
        HWND list = Item(IDC_DEST_LIST);
        for (int i = 0, n = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0)); i < n; ++i) {
            std::wstring text(SendMessageW(list, LB_GETTEXTLEN, i, 0), L'\0');
            SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(&text[0]));
            out.push_back(text);
        }
        return out;
    }
    static List Numbered(const std::wstring& prefix, int count)
    {
        List out;
        for (int i = 0; i < count; ++i)
            out.push_back(prefix + std::to_wstring(100 + i));
        return out;
    }

    // Clicks Import or Export with `path` in the dialog; gives the message shown.
    std::wstring Choose(int button, const std::wstring& path)
    {
        g_dialogPath = path;
        Boxes().clear();
        Click(button);
        return Boxes().empty() ? std::wstring() : Boxes().back().text;
    }
    std::wstring Import(const std::string& bytes)
    {
        std::ofstream(m_file.c_str(), std::ios::binary) << bytes;
        return Choose(IDC_IMPORT, m_file);
    }
    static std::string Document(const std::string& body)
    {
        return "<?xml version=\"1.0\"?>\n<opml version=\"1.0\"><head/><body>" + body + "</body></opml>";
    }
    static std::string Outlines(const List& urls)
    {
        std::string body;
        for (const std::wstring& url : urls)
            body += "<outline text=\"" + Name(url) + "\" xmlUrl=\"" + vexatest::Narrow(url) + "\"/>";
        return body;
    }
    static std::string Name(const std::wstring& url) { return "Feed " + vexatest::Narrow(url); }
    static List Sorted(List list)
    {
        std::sort(list.begin(), list.end());
        return list;
    }

    HWND m_frame = nullptr;
    HWND m_win = nullptr;
    TestSite m_site;
    com_ptr<IPropertyPage> m_page;
    const std::wstring m_file = vexatest::Widen(std::getenv("TEMP") ? std::getenv("TEMP") : ".") + L"\\vexa-list.opml";
};

TEST_F(SettingsPage, IdentityAndAggregation)
{
    com_ptr<IPropertyPage> page = NewPage();
    com_ptr<IUnknown> unknown;
    ASSERT_EQ(page->QueryInterface(IID_IUnknown, unknown.put_void()), S_OK);
    EXPECT_EQ(static_cast<void*>(unknown.get()), static_cast<void*>(page.get()));
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(page->QueryInterface(IID_IPropertyPage2, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(page->QueryInterface(IID_IPersistStreamInit, &other), E_NOINTERFACE);
    unknown.reset();

    vexatest::FakeOuter outer;
    void* out = nullptr;
    EXPECT_EQ(CreateVexaPluginPropertyPageInstance(&outer, IID_IPropertyPage, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(CreateVexaPluginPropertyPageInstance(nullptr, IID_IPropertyPage, nullptr), E_POINTER);
    IUnknown* inner = nullptr;
    ASSERT_EQ(CreateVexaPluginPropertyPageInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
    EXPECT_EQ(vexa::InstanceCounter<CVexaPluginPropertyPage>::Count(), 2);
    EXPECT_EQ(inner->Release(), 0u);
    EXPECT_EQ(page.detach()->Release(), 0u);
}

TEST_F(SettingsPage, ArgumentAndStateErrors)
{
    m_page = NewPage();
    IPropertyPage* page = m_page.get();
    auto& traces = m_channels->traces();

    EXPECT_EQ(page->SetPageSite(&m_site), S_OK);
    EXPECT_EQ(m_site.refs, 2u);
    TestSite second;
    EXPECT_EQ(page->SetPageSite(&second), E_UNEXPECTED);
    EXPECT_EQ(traces.back(), "Error : setting page site again with non NULL value\n");
    EXPECT_EQ(second.refs, 1u);
    EXPECT_EQ(page->SetPageSite(nullptr), S_OK);
    EXPECT_EQ(m_site.refs, 1u);
    EXPECT_EQ(page->SetPageSite(&second), S_OK);
    EXPECT_EQ(page->SetPageSite(nullptr), S_OK);

    // Calls refused for their arguments or for want of a window, and what each traces:
    // nullptr not looked at, "" nothing.
    RECT rc = {0, 0, 10, 10};
    MSG timer = {nullptr, WM_TIMER, 0, 0};
    const struct {
        const char* call;
        std::function<HRESULT()> run;
        HRESULT hr;
        const char* trace;
    } rows[] = {
        {"Activate(null)", [&] { return page->Activate(m_frame, nullptr, FALSE); }, E_POINTER, "Error : Passed a NULL rect\n"},
        {"GetPageInfo(null)", [&] { return page->GetPageInfo(nullptr); }, E_POINTER, "Error : PROPPAGEINFO passed == NULL\n"},
        {"SetObjects(null)", [&] { return page->SetObjects(1, nullptr); }, E_POINTER, nullptr},
        {"TranslateAccelerator(null)", [&] { return page->TranslateAccelerator(nullptr); }, E_POINTER, nullptr},
        {"Show", [&] { return page->Show(SW_SHOW); }, E_UNEXPECTED, ""},
        {"Move", [&] { return page->Move(&rc); }, E_UNEXPECTED, ""},
        {"Move(null)", [&] { return page->Move(nullptr); }, E_UNEXPECTED, ""},
        {"Deactivate", [&] { return page->Deactivate(); }, S_OK, ""},
        {"IsPageDirty", [&] { return page->IsPageDirty(); }, S_FALSE, nullptr},
        {"Help", [&] { return page->Help(L"C:\\"); }, E_OUTOFMEMORY, nullptr},
        {"TranslateAccelerator(WM_TIMER)", [&] { return page->TranslateAccelerator(&timer); }, S_FALSE, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.call);
        m_channels->clear();
        EXPECT_EQ(row.run(), row.hr);
        const std::string last = traces.empty() || !row.trace ? "" : traces.back();
        EXPECT_EQ(last, row.trace ? row.trace : "");
        EXPECT_TRUE(!row.trace || *row.trace || traces.empty());
    }
    EXPECT_EQ(GetWindow(m_frame, GW_CHILD), nullptr) << "no window for a refused Activate";

    Open();
    EXPECT_EQ(page->Move(nullptr), E_POINTER);
    EXPECT_EQ(page->Move(&rc), S_OK);
    RECT now;
    GetWindowRect(m_win, &now);
    EXPECT_EQ(now.right - now.left, 10);
    EXPECT_EQ(page->Show(SW_SHOW), S_OK);
    EXPECT_TRUE(IsWindowVisible(m_win) || !IsWindowVisible(m_frame));
    EXPECT_TRUE(GetWindowLongW(m_win, GWL_STYLE) & WS_VISIBLE);
    m_channels->clear();
    EXPECT_EQ(page->Deactivate(), S_OK);
    EXPECT_EQ(traces, std::vector<std::string>{"Destroying Dialog\n"});
    EXPECT_FALSE(IsWindow(m_win));
    EXPECT_EQ(page->Show(SW_SHOW), E_UNEXPECTED);
}

TEST_F(SettingsPage, PageInfoAndHeldObjects)
{
    m_page = NewPage();
    PROPPAGEINFO info = {};
    ASSERT_EQ(m_page->GetPageInfo(&info), S_OK);
    EXPECT_EQ(info.cb, sizeof(PROPPAGEINFO));
    ASSERT_NE(info.pszTitle, nullptr);
    EXPECT_STREQ(info.pszTitle, L"Page 1");
    EXPECT_EQ(info.pszDocString, nullptr);
    EXPECT_EQ(info.pszHelpFile, nullptr);
    EXPECT_EQ(info.dwHelpContext, 0u);
    EXPECT_EQ(m_channels->traces(), std::vector<std::string>(2, "Error : Failed to load string from res\n"));
    CoTaskMemFree(info.pszTitle);

    // The width follows the template's font as the dialog manager lays it out; the height
    // is scaled to the sheet's font, so only its order of size is known here.
    Open();
    RECT units = {0, 0, 328, 127};
    MapDialogRect(m_win, &units);
    EXPECT_EQ(info.size.cx, units.right);
    EXPECT_GT(info.size.cy, units.bottom / 2);
    EXPECT_LT(info.size.cy, units.bottom * 2);

    // References held on the objects: {a, b} after each call.
    vexatest::FakeOuter a, b;
    IUnknown* objects[] = {&a, &b};
    const struct { std::function<HRESULT()> run; ULONG a, b; } rows[] = {
        {[&] { return m_page->SetObjects(2, objects); }, 2, 2},
        {[&] { return m_page->SetObjects(1, objects + 1); }, 1, 2},
        {[&] { return m_page->Apply(); }, 1, 2}, // Apply leaves the plugin alone
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.run(), S_OK);
        EXPECT_EQ(std::make_pair(a.refs, b.refs), std::make_pair(row.a, row.b));
    }
    ReleasePage();
    EXPECT_EQ(b.refs, 1u);
}

TEST_F(SettingsPage, DialogLayoutAndInitialState)
{
    Open();
    // The template's table: id, x, y, w, h, class, styles beyond WS_CHILD | WS_VISIBLE.
    struct Control {
        int id, x, y, w, h;
        const wchar_t* cls;
        LONG style;
    } controls[] = {
        {-1, 18, 14, 281, 35, L"Static", WS_GROUP | SS_LEFT},
        {IDC_NEW_URL, 19, 51, 144, 12, L"Edit", WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL},
        {IDC_ADD, 175, 50, 50, 14, L"Button", WS_DISABLED | WS_TABSTOP},
        {IDC_DEST_LIST, 17, 73, 213, 40, L"ListBox",
         WS_BORDER | WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_SORT | LBS_NOINTEGRALHEIGHT},
        {IDC_REMOVE, 242, 73, 50, 14, L"Button", WS_TABSTOP},
        {IDC_FEED_HEALTH, 242, 89, 82, 20, L"Static", SS_OWNERDRAW | SS_NOTIFY},
        {IDC_IMPORT, 242, 111, 40, 14, L"Button", WS_TABSTOP},
        {IDC_EXPORT, 284, 111, 40, 14, L"Button", WS_TABSTOP},
    };
    HWND child = GetWindow(m_win, GW_CHILD);
    for (const Control& c : controls) {
        SCOPED_TRACE(c.id);
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(GetDlgCtrlID(child), c.id);
        wchar_t cls[32] = {};
        GetClassNameW(child, cls, 32);
        EXPECT_EQ(lstrcmpiW(cls, c.cls), 0);
        // Edit and list box controls turn WS_BORDER into a client edge when created; the
        // list shows its scroll bar only once it has more items than room.
        const bool edged = (GetWindowLongW(child, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) != 0;
        EXPECT_EQ(GetWindowLongW(child, GWL_STYLE) | (edged ? WS_BORDER : 0) | (c.id == IDC_DEST_LIST ? WS_VSCROLL : 0),
                  WS_CHILD | WS_VISIBLE | c.style);
        // Position and size are each converted from dialog units.
        RECT pos = {c.x, c.y, c.w, c.h}, got;
        MapDialogRect(m_win, &pos);
        GetWindowRect(child, &got);
        MapWindowPoints(nullptr, m_win, reinterpret_cast<POINT*>(&got), 2);
        EXPECT_EQ((std::vector<LONG>{got.left, got.top, got.right - got.left, got.bottom - got.top}),
                  (std::vector<LONG>{pos.left, pos.top, pos.right, pos.bottom}));
        child = GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_EQ(child, nullptr);
    const std::wstring instruction = Text(GetWindow(m_win, GW_CHILD));
    EXPECT_EQ(instruction.rfind(L"To add RSS source to the list enter complete URL for the source (e.g. http://", 0), 0u);
    EXPECT_NE(instruction.find(L"# or http://"), std::wstring::npos);
    EXPECT_NE(instruction.find(L".xml) and push \"Add\" button"), std::wstring::npos);

    // A new key: the default alone, a clean page, the key created empty.
    EXPECT_EQ(Items(), List{m_default});
    EXPECT_EQ(m_page->IsPageDirty(), S_FALSE);
    EXPECT_TRUE(m_site.changes.empty());
    EXPECT_TRUE(Stored().empty());
    EXPECT_FALSE(Enabled(IDC_ADD));
    EXPECT_TRUE(Enabled(IDC_REMOVE));

    // The page is a control parent inside the frame.
    SetWindowLongW(m_win, GWL_EXSTYLE, 0);
    EXPECT_TRUE(GetWindowLongW(m_win, GWL_EXSTYLE) & WS_EX_CONTROLPARENT);
}

// Add is offered for a non-blank address short enough for the store (trimmed), while the
// list has room; its command, which may still come from a frame or another program, adds
// nothing then.
TEST_F(SettingsPage, AddIsOfferedForWhatTheStoreCanHold)
{
    Open();
    const std::pair<std::wstring, bool> typed[] = {
        {L"   \t ", false},
        {L"  http://a.example/rss  ", true},
        {std::wstring(554, L'x'), true},
        {L" " + std::wstring(555, L'x'), false},
    };
    for (const auto& row : typed) {
        SetUrl(row.first);
        EXPECT_EQ(Enabled(IDC_ADD), row.second) << vexatest::Narrow(row.first);
    }
    CommandAdd();
    EXPECT_EQ(Items().size(), 1u);

    Store(Numbered(L"http://f.example/", 98));
    Reopen();
    ASSERT_EQ(Items().size(), 99u);
    EXPECT_TRUE(GetWindowLongW(Item(IDC_DEST_LIST), GWL_STYLE) & WS_VSCROLL);
    SetUrl(L"http://g.example/");
    ASSERT_TRUE(Enabled(IDC_ADD));
    Click(IDC_ADD);
    EXPECT_EQ(Items().size(), 100u);
    EXPECT_FALSE(Enabled(IDC_ADD));
    SetUrl(L"http://h.example/");
    EXPECT_FALSE(Enabled(IDC_ADD));
    CommandAdd();
    EXPECT_EQ(Items().size(), 100u);
    Select(5);
    Click(IDC_REMOVE);
    EXPECT_TRUE(Enabled(IDC_ADD)) << "room again";

    Click(IDC_ADD);
    EXPECT_EQ(m_page->Apply(), S_OK);
    Reopen();
    EXPECT_EQ(Items().size(), 100u) << "every applied address reads back";
}

TEST_F(SettingsPage, AddTrimsOnApplyAndTracksDirtiness)
{
    Open();
    SetUrl(L"  http://a.example/rss  ");
    Click(IDC_ADD);
    Click(IDC_ADD);
    EXPECT_EQ(Items(), (List{L"  http://a.example/rss  ", L"  http://a.example/rss  ", m_default}));
    EXPECT_EQ(m_page->IsPageDirty(), S_OK);
    EXPECT_EQ(m_site.changes, std::vector<DWORD>{PROPPAGESTATUS_DIRTY});
    EXPECT_TRUE(Enabled(IDC_ADD));

    EXPECT_EQ(m_page->Apply(), S_OK);
    EXPECT_EQ(m_page->IsPageDirty(), S_FALSE);
    EXPECT_EQ(m_site.changes.size(), 1u) << "Apply tells the site nothing";
    EXPECT_EQ(Stored(), (List{L"http://a.example/rss", L"http://a.example/rss", m_default}));

    Reopen();
    EXPECT_EQ(Items(), (List{m_default, L"http://a.example/rss"}));
    EXPECT_EQ(m_page->IsPageDirty(), S_FALSE);
}

TEST_F(SettingsPage, RemoveSelectionAndSortedApply)
{
    Store({L"http://c.example/", L"http://a.example/", L"http://b.example/"});
    Open();
    EXPECT_EQ(Items(), (List{m_default, L"http://a.example/", L"http://b.example/", L"http://c.example/"}))
        << "sorted whatever the stored order (the default sorts first here)";

    // Remove with nothing selected deletes nothing but dirties the page.
    Click(IDC_REMOVE);
    EXPECT_EQ(Items().size(), 4u);
    EXPECT_EQ(m_page->IsPageDirty(), S_OK);

    Select(-1);
    EXPECT_FALSE(Enabled(IDC_REMOVE));
    Select(0);
    EXPECT_TRUE(Enabled(IDC_REMOVE));
    Click(IDC_REMOVE);
    EXPECT_TRUE(Enabled(IDC_REMOVE)) << "Remove follows selection changes only";
    EXPECT_EQ(m_page->Apply(), S_OK);
    EXPECT_EQ(Stored(), (List{L"http://a.example/", L"http://b.example/", L"http://c.example/"}));
    Reopen();
    EXPECT_EQ(Items().size(), 4u) << "the default comes back";

    // Deactivating a dirty page loses its edits.
    Select(1);
    Click(IDC_REMOVE);
    Reopen();
    EXPECT_EQ(Items().size(), 4u);
    EXPECT_EQ(m_page->IsPageDirty(), S_FALSE);
    // Apply cleared the flag quietly, so the site heard dirty twice and clean once.
    EXPECT_EQ(m_site.changes, (std::vector<DWORD>{PROPPAGESTATUS_DIRTY, PROPPAGESTATUS_DIRTY, PROPPAGESTATUS_CLEAN}));

    // Removing everything leaves the key empty; Apply without edits rewrites it.
    while (!Items().empty()) {
        Select(0);
        Click(IDC_REMOVE);
    }
    EXPECT_EQ(m_page->Apply(), S_OK);
    EXPECT_TRUE(Stored().empty());
    Reopen();
    EXPECT_EQ(Items(), List{m_default});
    Store({L"zzz", L"http://x.example/"});
    EXPECT_EQ(m_page->Apply(), S_OK);
    EXPECT_EQ(Stored(), List{m_default});
}

TEST_F(SettingsPage, AddressesInAnyScriptAreShownAndKeptAsWritten)
{
    // A Cyrillic path, a Japanese host and path, an emoji in a query; under a Cyrillic code page.
    vexatest::ThreadCodePage page(1251);
    const std::wstring cyrillic = L"http://example.test/\x043D\x043E\x0432\x043E\x0441\x0442\x0438.xml";
    const std::wstring japanese = L"http://\x4F8B\x3048.\x30C6\x30B9\x30C8/\x30D1\x30B9?q=\xD83D\xDE00";
    Store({cyrillic});
    Open();
    EXPECT_EQ(Items(), (List{m_default, cyrillic}));
    SetUrl(japanese);
    Click(IDC_ADD);
    EXPECT_EQ(m_page->Apply(), S_OK);
    EXPECT_EQ(Stored(), (List{m_default, cyrillic, japanese}));
    Reopen();
    EXPECT_EQ(Items(), (List{m_default, cyrillic, japanese}));
}

// Apply stores nothing without a window (never shown, or deactivated with its edits) and
// succeeds when the key cannot be reached, after warning.
TEST_F(SettingsPage, ApplyWithoutWindowOrKey)
{
    const List stored = {L"http://a.example/", L"http://b.example/"};
    Store(stored);
    m_page = NewPage();
    ASSERT_EQ(m_page->SetPageSite(&m_site), S_OK);
    EXPECT_EQ(m_page->Apply(), S_OK) << "a page the frame never showed";
    EXPECT_EQ(Stored(), stored);

    Open();
    Select(0);
    Click(IDC_REMOVE);
    ASSERT_EQ(m_page->Deactivate(), S_OK);
    EXPECT_EQ(m_page->Apply(), S_OK) << "edits dropped with the window";
    EXPECT_EQ(m_page->IsPageDirty(), S_FALSE);
    EXPECT_EQ(Stored(), stored);

    RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\Orvall");
    MakeKeyUncreatable();
    Boxes().clear();
    Open();
    EXPECT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Items(), List{m_default});
    Select(0);
    Click(IDC_REMOVE);
    EXPECT_EQ(m_page->IsPageDirty(), S_OK);
    Boxes().clear();
    EXPECT_EQ(m_page->Apply(), S_OK);
    EXPECT_EQ(Boxes().size(), 2u);
    EXPECT_EQ(m_page->IsPageDirty(), S_FALSE);
}

TEST_F(SettingsPage, HealthLineDescribesTheSelectionOrSumsUpTheList)
{
    using vexa::FeedState;
    using vexatest::HealthRecord;
    using vexatest::TodayAt;
    const std::wstring a = L"http://a.example/rss", b = L"http://b.example/rss?x=1&y=2",
                       c = L"http://c.example/rss", d = L"http://d.example/rss";
    Store({a, b, c, d});
    auto write = [](const vexa::FeedHealth& record) { ASSERT_EQ(WriteFeedHealth(record), ERROR_SUCCESS); };
    write(HealthRecord(a, FeedState::Loaded, TodayAt(14, 2), L"", 20));
    write(HealthRecord(b, FeedState::Failing, TodayAt(9, 12), L"not found (HTTP 404)"));
    write(HealthRecord(c, FeedState::Paused, TodayAt(14, 5), L"server error (HTTP 503)"));
    Open();
    const std::pair<std::wstring, const wchar_t*> rows[] = {
        {L"(none)", L"2 of 5 feeds failing"}, // the default address counts, not loaded yet
        {a, L"Loaded 14:02, 20 entries"},
        {b, L"Failing since 09:12: not found (HTTP 404)"},
        {c, L"Paused until 14:05: server error (HTTP 503)"},
        {d, L"Not loaded yet"},
        {m_default, L"Not loaded yet"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(SelectLine(row.first), row.second) << vexatest::Narrow(row.first);

    // The records are read when the page is activated: a recovery shows after that.
    write(HealthRecord(b, FeedState::Loaded, TodayAt(9, 30), L"", 1));
    EXPECT_EQ(SelectLine(L"(none)"), L"2 of 5 feeds failing");
    Reopen();
    EXPECT_EQ(SelectLine(L"(none)"), L"1 of 5 feeds failing");
    SetUrl(L"http://e.example/rss");
    Click(IDC_ADD);
    EXPECT_EQ(SelectLine(L"(none)"), L"1 of 6 feeds failing");

    // A line too long for its two lines is drawn cut; its tooltip holds the whole of it.
    // One tooltip, owned by the frame, whatever the number of activations.
    const std::wstring cause = L"not valid XML: line 12, column 5: " + std::wstring(200, L'x') + L" end";
    write(HealthRecord(d, FeedState::Failing, TodayAt(9, 12), cause));
    Reopen();
    ShowWindow(m_frame, SW_SHOWNA);
    ASSERT_EQ(m_page->Show(SW_SHOW), S_OK);
    NMTTDISPINFOW info = {};
    int tips = 0;
    for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, TOOLTIPS_CLASSW, nullptr)) != nullptr;)
        if (GetWindow(w, GW_OWNER) == m_frame) info.hdr.hwndFrom = w, ++tips;
    ASSERT_EQ(tips, 1);
    info.hdr.code = TTN_GETDISPINFOW;
    const std::wstring whole = L"Failing since 09:12: " + cause;
    const struct { std::wstring address, line, tip; } shown[] = {{d, whole, whole}, {b, L"Loaded 09:30, 1 entry", L""}};
    for (const auto& row : shown) {
        EXPECT_EQ(SelectLine(row.address), row.line);
        UpdateWindow(m_frame);
        SendMessageW(m_win, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&info));
        EXPECT_EQ(std::wstring(info.lpszText ? info.lpszText : L"?"), row.tip) << "only a line cut short has one";
    }
    ShowWindow(m_frame, SW_HIDE);
}

TEST_F(SettingsPage, KeyboardMessagesGoThroughTheDialog)
{
    Open();
    // WM_UNICHAR is past the keyboard range, although newer headers count it in.
    const std::pair<MSG, HRESULT> rows[] = {
        {{Item(IDC_NEW_URL), WM_KEYDOWN, VK_TAB, 0}, S_OK},
        {{Item(IDC_NEW_URL), WM_COMMAND, VK_TAB, 0}, S_FALSE},
        {{Item(IDC_NEW_URL), WM_UNICHAR, L'a', 0}, S_FALSE},
    };
    for (auto row : rows)
        EXPECT_EQ(m_page->TranslateAccelerator(&row.first), row.second) << row.first.message;
}

TEST_F(SettingsPage, ImportAddsWhatTheListLacksUpToItsLimit)
{
    Store({L"http://a.example/rss", L"http://b.example/"});
    Open();
    const List before = Items();
    // Files that change nothing, and the start of what each says.
    const std::wstring cannot = L"Could not read \"" + m_file + L"\": ";
    const struct {
        std::function<std::wstring()> run;
        std::wstring said;
        bool whole; // else the start of it
    } unread[] = {
        {[&] { return Choose(IDC_IMPORT, L""); }, L"", true}, // cancelled
        {[&] { return Import(Document(Outlines({L"http://n.example/"})).substr(0, 90)); },
         cannot + L"it is not well-formed XML (line 2, column ", false},
        {[&] { return Import("<rss><channel/></rss>"); }, cannot + L"it is not an OPML file. The list is unchanged.", true},
        {[&] { return Choose(IDC_IMPORT, m_file + L"x"); }, L"Could not read \"" + m_file + L"x\": ", false},
        {[&] { return Import(Document("")); }, L"The file lists no feeds", true},
    };
    for (const auto& row : unread) {
        const std::wstring said = row.run();
        EXPECT_EQ(row.whole ? said : said.substr(0, row.said.size()), row.said);
    }
    EXPECT_EQ(Items(), before);
    EXPECT_EQ(m_page->IsPageDirty(), S_FALSE);

    // Compared as the stored list compares: trimmed, ASCII case ignored, other case kept.
    const std::wstring feed = L"http://\x043F\x0440\x0438/\x043B\x0435\x043D\x0442\x0430";
    const std::wstring upper = L"http://\x043F\x0440\x0438/\x041B\x0415\x041D\x0422\x0410";
    const std::string file = Document(Outlines(
        {L"http://A.example/rss", L" http://c.example/ ", L"http://c.example/", L"http://d.example/?a=1&amp;b=2", feed, upper}));
    EXPECT_EQ(Import(file), L"Added 4 feeds; 2 were already in the list");
    EXPECT_EQ(Text(Item(IDC_FEED_HEALTH)), L"7 feeds, not loaded yet");
    EXPECT_EQ(Sorted(Items()), Sorted({m_default, L"http://a.example/rss", L"http://b.example/", L"http://c.example/",
                                       L"http://d.example/?a=1&b=2", feed, upper}));
    EXPECT_EQ(m_page->IsPageDirty(), S_OK);
    EXPECT_EQ(Stored(), (List{L"http://a.example/rss", L"http://b.example/"})) << "nothing stored before Apply";
    EXPECT_EQ(Import(file), L"Added no feeds; 6 were already in the list");

    EXPECT_EQ(Import(Document(Outlines(Numbered(L"http://f.example/", 95)) +
                              Outlines({L"http://x.example/" + std::wstring(560, L'x')}))),
              L"Added 93 feeds; 2 did not fit (the list holds 100); 1 address was too long to keep");
    EXPECT_EQ(Items().size(), 100u);
    EXPECT_FALSE(Enabled(IDC_ADD));
}

// A new user brings 30 feeds in three folders, applies, and exports them again: the same
// addresses in the list's (sorted) order, with what the health records know of them.
TEST_F(SettingsPage, ImportedAppliedAndExportedListsRoundTrip)
{
    List urls;
    std::string body;
    for (int i = 0; i < 30; ++i) {
        urls.push_back(i == 29 ? L"http://\x4F8B\x3048.example/\x30D5\x30A3\x30FC\x30C9?q=\xD83D\xDE00"
                               : L"http://site" + std::to_wstring(29 - i) + L".example/feed");
        body += (i % 10 == 0 ? "<outline text=\"Folder\">" : "") + Outlines({urls.back()}) + (i % 10 == 9 ? "</outline>" : "");
    }
    Open();
    EXPECT_EQ(Import(Document(body)), L"Added 30 feeds");
    EXPECT_EQ(m_page->Apply(), S_OK);
    urls.push_back(m_default);
    EXPECT_EQ(Sorted(Stored()), Sorted(urls));

    FeedHealth titled, page;
    titled.address = L"http://site5.example/feed";
    titled.title = L"Site & \"Five\"";
    page.address = L"http://site6.example/feed";
    page.feedAddress = L"http://site6.example/real.rss";
    ASSERT_EQ(WriteFeedHealth(titled), ERROR_SUCCESS);
    ASSERT_EQ(WriteFeedHealth(page), ERROR_SUCCESS);
    Reopen();
    std::ofstream(m_file.c_str()) << "an older file";
    EXPECT_EQ(Choose(IDC_EXPORT, m_file), L"");
    std::ostringstream bytes;
    bytes << std::ifstream(m_file.c_str(), std::ios::binary).rdbuf();
    OpmlReadResult read = ReadOpml(bytes.str().data(), bytes.str().size());
    const List stored = Stored();
    ASSERT_EQ(read.outlines.size(), stored.size());
    for (std::size_t i = 0; i < stored.size(); ++i) {
        const std::string address = vexatest::Narrow(stored[i]),
                          title = stored[i] == titled.address ? "Site & \"Five\"" : stored[i] == m_default || stored[i] == page.address ? address : Name(stored[i]);
        EXPECT_EQ(read.outlines[i], stored[i] == page.address
                                        ? (OpmlOutline{address, address, "http://site6.example/real.rss", address})
                                        : (OpmlOutline{title, title, address, ""})) << address;
    }
    EXPECT_EQ(Choose(IDC_EXPORT, L"C:\\no such folder\\feeds.opml").rfind(L"Could not write \"C:\\no such folder", 0), 0u);
}

// Shows the page in a visible frame for scripts/screenshot-settings.sh, three times: nothing
// selected, a failing feed selected, a loaded one selected. Each time the script captures the
// screen once settings-page.ready exists and then creates settings-page.done.
TEST_F(SettingsPage, ShowForScreenshot)
{
    if (!std::getenv("VEXA_SCREENSHOT"))
        GTEST_SKIP() << "set VEXA_SCREENSHOT to show the page for a screenshot";
    const std::wstring failing = L"http://news.example.org/rss/headlines.xml";
    const std::wstring loaded = L"http://127.0.0.1:8025/vexa/feeds/tech.xml";
    Store({failing, loaded});
    WriteFeedHealth(vexatest::HealthRecord(failing, vexa::FeedState::Failing, vexatest::TodayAt(9, 12),
                                           L"not a feed: the server sent a web page (text/html)"));
    WriteFeedHealth(vexatest::HealthRecord(loaded, vexa::FeedState::Loaded, vexatest::TodayAt(14, 2), L"", 20));
    // In the sidebar's own frame, as a person sees it.
    host::PropertyFrame frame(L"Vexa settings", nullptr, host::PropertyFrame::Pages{NewPage()});
    ASSERT_EQ(frame.Create(nullptr), S_OK);
    ShowWindow(frame.Window(), SW_SHOW);
    m_win = GetWindow(frame.Window(), GW_CHILD);
    SetUrl(L"http://feeds.example.com/daily.xml");
    UpdateWindow(frame.Window());

    auto pump = [](DWORD ms) {
        for (DWORD start = GetTickCount(); GetTickCount() - start < ms; Sleep(20))
            for (MSG msg; PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);)
                TranslateMessage(&msg), DispatchMessageW(&msg);
    };
    for (const std::wstring& selected : {std::wstring(L"(none)"), failing, loaded}) {
        SelectLine(selected);
        pump(500);
        CloseHandle(CreateFileW(L"settings-page.ready", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
        for (int i = 0; i < 300 && GetFileAttributesW(L"settings-page.done") == INVALID_FILE_ATTRIBUTES; ++i)
            pump(100);
        DeleteFileW(L"settings-page.ready");
        DeleteFileW(L"settings-page.done");
    }
}

// The merge of an imported list into the page's: counts, and the feeds taken in the file's
// order with their names.
TEST(ImportMerge, TakesWhatTheListLacksWhileItHasRoomAndTheStoreCanKeepIt)
{
    using Feeds = std::vector<ListedFeed>;
    const std::wstring longest(554, L'x');
    const struct {
        const char* name;
        List held;
        Feeds feeds;
        std::size_t maxCount;
        Feeds added;
        int counts[4]; // added, already, full, too long
    } rows[] = {
        {"nothing to import", {L"http://a/"}, {}, 5, {}, {0, 0, 0, 0}},
        {"ASCII case ignored, other case kept", {L"http://a/x"},
         {{L"HTTP://A/X", L"A"}, {L"http://\x0434/", L""}, {L"http://\x0414/", L"D"}}, 5,
         {{L"http://\x0434/", L""}, {L"http://\x0414/", L"D"}}, {2, 1, 0, 0}},
        {"named twice in the file", {}, {{L"http://b/", L"B"}, {L"http://B/", L"b"}}, 5, {{L"http://b/", L"B"}}, {1, 1, 0, 0}},
        {"up to the limit", {L"1", L"2"}, {{L"3", L""}, {L"4", L""}, {L"1", L""}}, 3, {{L"3", L""}}, {1, 1, 1, 0}},
        {"shorter than the store's value", {}, {{longest + L"y", L""}, {longest, L"L"}}, 5, {{longest, L"L"}}, {1, 0, 0, 1}},
    };
    auto flat = [](const Feeds& feeds) {
        List out;
        for (const ListedFeed& feed : feeds) out.push_back(feed.address + L" | " + feed.name);
        return out;
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const ImportMerge merge = MergeImport(row.held, row.feeds, row.maxCount, 555);
        EXPECT_EQ(flat(merge.added), flat(row.added));
        const ImportCounts& c = merge.counts;
        EXPECT_EQ((std::vector<int>{c.added, c.already, c.full, c.tooLong}), std::vector<int>(row.counts, row.counts + 4));
    }
}

} // namespace

// A dialog template's size and font, read from its bytes: the plain and the extended form,
// with and without a font, and templates cut short.
TEST(DialogTemplate, SizeAndFontFromTheBytes)
{
    auto words = [](std::initializer_list<WORD> w) { return std::vector<WORD>(w); };
    // DLGTEMPLATE: style (2 words), exStyle (2), cdit, x, y, cx, cy; menu, class, title;
    // with DS_SETFONT the point size and the face.
    const WORD setFont = DS_SETFONT;
    struct Case {
        const char* name;
        std::vector<WORD> bytes;
        bool ok;
        short cx, cy;
        bool hasFont;
        WORD points;
        std::wstring face;
    };
    const Case cases[] = {
        {"plain, no font", words({0, 0, 0, 0, 0, 0, 0, 120, 80, 0, 0, 0}), true, 120, 80, false, 0, L""},
        {"plain with font", words({setFont, 0, 0, 0, 0, 0, 0, 200, 90, 0, 0, L'T', 0, 8, L'M', L'S', 0}),
         true, 200, 90, true, 8, L"MS"},
        {"plain, ordinal menu and class", words({setFont, 0, 0, 0, 0, 0, 0, 10, 20, 0xFFFF, 7, 0xFFFF, 9, 0, 9, L'A', 0}),
         true, 10, 20, true, 9, L"A"},
        {"plain, cut before the font", words({setFont, 0, 0, 0, 0, 0, 0, 10, 20, 0, 0, 0}), false, 10, 20, false, 0, L""},
        {"too short", words({0, 0, 0}), false, 0, 0, false, 0, L""},
        // DLGTEMPLATEEX: dlgVer 1, 0xFFFF, helpID (2), exStyle (2), style (2), cDlgItems, x, y, cx, cy
        {"extended with font", words({1, 0xFFFF, 0, 0, 0, 0, setFont, 0, 0, 0, 0, 300, 150, 0, 0, 0, 9, 400, 0, L'S', 0}),
         true, 300, 150, true, 9, L"S"},
        {"extended, cut in the font", words({1, 0xFFFF, 0, 0, 0, 0, setFont, 0, 0, 0, 0, 300, 150, 0, 0, 0, 9}),
         false, 300, 150, false, 0, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vexa::DialogTemplateInfo info;
        EXPECT_EQ(vexa::ParseDialogTemplate(c.bytes.data(), DWORD(c.bytes.size() * sizeof(WORD)), &info), c.ok);
        EXPECT_EQ(std::tie(info.cx, info.cy, info.hasFont, info.points, info.face),
                  std::tie(c.cx, c.cy, c.hasFont, c.points, c.face));
    }
}

// Dialog units to pixels: the width by the page font, the height by the sheet font scaled to
// the page font's text height when the sheet's font is known.
TEST(DialogTemplate, PageSizeFromTheFontMetrics)
{
    vexa::DialogTemplateInfo page;
    page.cx = 200;
    page.cy = 80;
    const vexa::FontMetrics pageFont = {6, 13, 13}, sheetFont = {7, 16, 14}, noHeight = {7, 16, 0};
    // 200 * 6 / 4 wide; 80 * 13 / 8 high, or by the sheet 80 * 16 / 8 = 160, then * 13 / 14.
    const std::pair<const vexa::FontMetrics*, std::pair<LONG, LONG>> rows[] = {
        {nullptr, {300, 130}}, {&sheetFont, {300, 149}}, {&noHeight, {300, 130}}};
    for (const auto& row : rows) {
        const SIZE size = vexa::PageSizeFromMetrics(page, pageFont, row.first);
        EXPECT_EQ(std::make_pair(size.cx, size.cy), row.second);
    }
}
