// The sidebar's panel window as a real window (under Xvfb): it follows the host's panel,
// turns clicks and keys on rows into opening the right item, never opens a row that went
// away, draws only the rows in view, survives nasty texts at the smallest width, and follows
// a change of DPI. Pixels are checked by the end-to-end script, not here.
#include <windows.h>
#include <algorithm>
#include <tuple>

#include <gtest/gtest.h>

#include "com/check.h"
#include "com/owners.h"
#include "com/ptr.h"
#include "host/lib/feedstatus.h"
#include "host/lib/panelwindow.h"
#include "tests/support/host_fixture.h"

using vexa::com_ptr;
using vexa::unique_bstr;
using vexa::FeedState;
using vexatest::HealthRecord;
using vexatest::TodayAt;

namespace {

// One window for all the tests: under an X server without a window manager, Wine waits a
// while for every top-level window it takes down.
class PanelWindowTest : public vexatest::HostTest {
protected:
    static void SetUpTestSuite()
    {
        host::PanelWindow::Commands commands;
        commands.open = [](std::size_t index) { s_current->m_opened.push_back(index); };
        commands.refresh = [] { ++s_current->m_refreshes; };
        commands.settings = [] { ++s_current->m_settings; };
        commands.close = [] { ++s_current->m_closes; };
        s_window = new host::PanelWindow(commands);
        if (!s_window->Create()) {
            delete s_window;
            s_window = nullptr;
        }
    }
    static void TearDownTestSuite()
    {
        delete s_window;
        s_window = nullptr;
    }
    void SetUp() override
    {
        HostTest::SetUp();
        ASSERT_NE(s_window, nullptr) << "the panel window was not created";
        s_current = this;
        m_window = s_window;
        m_window->Sync(); // the host's panel is new and empty
        ASSERT_EQ(m_window->RowCount(), 0u);
        ASSERT_EQ(CoCreateInstance(CLSID_DisplayPluginHelper, nullptr, CLSCTX_INPROC,
                                   IID_IDisplayPluginHelper, m_helper.put_void()), S_OK);
    }
    void TearDown() override
    {
        m_helper.reset();
        HostTest::TearDown();
        if (m_window) m_window->Sync();
        s_current = nullptr;
    }

    HRESULT AddItem(const std::wstring& heading, const std::wstring& snippet)
    {
        com_ptr<IDisplayContentItemHelper> item;
        HRESULT hr = host::CreateContentItemHelper(nullptr, IID_IDisplayContentItemHelper, item.put_void());
        if (VEXA_FAILED(hr)) return hr;
        item->put_heading(unique_bstr::from(heading));
        item->put_snippet(unique_bstr::from(snippet));
        item->put_time_created(45000.5);
        return m_helper->AddContentItem(item.get(), 9);
    }
    void AddItems(int count)
    {
        for (int i = 0; i < count; ++i) {
            std::wstring title = L"Item " + std::to_wstring(i + 1);
            std::wstring link = L"http://example.org/" + std::to_wstring(i);
            ASSERT_EQ(AddItem(title + L": ", title + L":\nBody\n\n" + link), S_OK);
        }
        m_window->Sync();
    }

    LPARAM Point(int x, int y) { return MAKELPARAM(x, y); }
    // The middle of row `index` in client coordinates.
    LPARAM RowPoint(std::size_t index)
    {
        RECT r = m_window->RowRect(index);
        return Point((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    }
    void Click(LPARAM at)
    {
        SendMessageW(m_window->hwnd(), WM_LBUTTONDOWN, MK_LBUTTON, at);
        SendMessageW(m_window->hwnd(), WM_LBUTTONUP, 0, at);
    }
    void Key(UINT vk) { SendMessageW(m_window->hwnd(), WM_KEYDOWN, vk, 0); }
    RECT Frame() const
    {
        RECT frame = {};
        GetWindowRect(m_window->hwnd(), &frame);
        return frame;
    }
    int RowHeight() const { return m_window->RowRect(1).top - m_window->RowRect(0).top; }
    void Paint()
    {
        InvalidateRect(m_window->hwnd(), nullptr, FALSE);
        UpdateWindow(m_window->hwnd());
    }

    static host::PanelWindow* s_window;
    static PanelWindowTest* s_current;
    com_ptr<IDisplayPluginHelper> m_helper;
    host::PanelWindow* m_window = nullptr;
    std::vector<std::size_t> m_opened;
    int m_refreshes = 0, m_settings = 0, m_closes = 0;
};

host::PanelWindow* PanelWindowTest::s_window = nullptr;
PanelWindowTest* PanelWindowTest::s_current = nullptr;

TEST_F(PanelWindowTest, DocksAtTheRightOfTheWorkAreaAndFollowsThePanel)
{
    MONITORINFO info = {sizeof(info)};
    ASSERT_TRUE(GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &info));
    const RECT frame = Frame();
    EXPECT_EQ(std::make_tuple(frame.right, frame.top, frame.bottom),
              std::make_tuple(info.rcWork.right, info.rcWork.top, info.rcWork.bottom));
    EXPECT_EQ(frame.right - frame.left, MulDiv(320, m_window->Dpi(), 96));
    EXPECT_TRUE(IsWindowVisible(m_window->hwnd()));

    EXPECT_EQ(m_helper->put_title(unique_bstr::from(L"Cindral  Plugin")), S_OK);
    AddItems(3);
    EXPECT_EQ(m_window->RowCount(), 3u);
    wchar_t text[64] = {};
    GetWindowTextW(m_window->hwnd(), text, 64);
    EXPECT_STREQ(text, L"Cindral  Plugin");
    EXPECT_TRUE(m_window->MarkedNew(0)); // just arrived
    Paint();

    Key(VK_DOWN);
    EXPECT_EQ(m_window->Selected(), 0);
    ASSERT_EQ(m_helper->RemoveAllContentItems(), S_OK);
    m_window->Sync();
    EXPECT_EQ(m_window->RowCount(), 0u);
    EXPECT_EQ(m_window->Selected(), -1);
    Paint();
}

TEST_F(PanelWindowTest, ClicksAndKeysOpenTheRightItem)
{
    AddItems(4);
    Click(RowPoint(1));
    Click(RowPoint(3));
    EXPECT_EQ(m_opened, (std::vector<std::size_t>{1, 3}));
    EXPECT_EQ(m_window->Selected(), 3);

    for (UINT key : {VK_UP, VK_RETURN, VK_HOME, VK_RETURN, VK_END, VK_RETURN}) Key(key);
    EXPECT_EQ(m_opened, (std::vector<std::size_t>{1, 3, 2, 0, 3}));

    // Below the last row, a press on one row let go on another, and the caption open nothing.
    RECT last = m_window->RowRect(3);
    Click(Point(40, last.bottom + 5));
    SendMessageW(m_window->hwnd(), WM_LBUTTONDOWN, MK_LBUTTON, RowPoint(0));
    SendMessageW(m_window->hwnd(), WM_LBUTTONUP, 0, RowPoint(1));
    Click(Point(40, 10));
    EXPECT_EQ(m_opened.size(), 5u);

    // The settings button and F5.
    RECT button = m_window->SettingsButton();
    Click(Point((button.left + button.right) / 2, (button.top + button.bottom) / 2));
    EXPECT_EQ(m_settings, 1);
    Key(VK_F5);
    EXPECT_EQ(m_refreshes, 1);
    SendMessageW(m_window->hwnd(), WM_CLOSE, 0, 0);
    EXPECT_EQ(m_closes, 1);
    EXPECT_TRUE(IsWindow(m_window->hwnd())); // closing is the owner's decision
}

TEST_F(PanelWindowTest, ARowClearedAwayIsNeverOpened)
{
    AddItems(3);
    LPARAM at = RowPoint(2);
    SendMessageW(m_window->hwnd(), WM_LBUTTONDOWN, MK_LBUTTON, at);
    EXPECT_EQ(m_window->Selected(), 2);
    ASSERT_EQ(m_helper->RemoveAllContentItems(), S_OK);
    m_window->Sync();
    SendMessageW(m_window->hwnd(), WM_LBUTTONUP, 0, at);
    Key(VK_RETURN);
    EXPECT_TRUE(m_opened.empty());

    // New items in the place of the old: the press before the clearing still opens nothing.
    AddItems(3);
    SendMessageW(m_window->hwnd(), WM_LBUTTONDOWN, MK_LBUTTON, at);
    ASSERT_EQ(m_helper->RemoveAllContentItems(), S_OK);
    AddItems(3);
    SendMessageW(m_window->hwnd(), WM_LBUTTONUP, 0, at);
    EXPECT_TRUE(m_opened.empty());
    EXPECT_EQ(m_window->Selected(), -1);
}

TEST_F(PanelWindowTest, FiveThousandItemsDrawOnlyTheRowsInView)
{
    AddItems(5000);
    ASSERT_EQ(m_window->RowCount(), 5000u);
    RECT client = {};
    GetClientRect(m_window->hwnd(), &client);
    const int rowHeight = RowHeight();
    std::size_t inView = static_cast<std::size_t>(client.bottom / rowHeight) + 2;

    Paint();
    EXPECT_GT(m_window->PaintedRows(), 0u);
    EXPECT_LE(m_window->PaintedRows(), inView);
    EXPECT_LE(m_window->WrappedRows(), inView);

    Key(VK_END);
    EXPECT_EQ(m_window->Selected(), 4999);
    Paint();
    EXPECT_LE(m_window->PaintedRows(), inView);
    EXPECT_LE(m_window->WrappedRows(), 2 * inView);
    RECT last = m_window->RowRect(4999);
    EXPECT_LE(last.bottom, client.bottom);
    Click(RowPoint(4999));
    EXPECT_EQ(m_opened, (std::vector<std::size_t>{4999}));

    // The wheel and the scroll bar's messages move the view.
    int before = m_window->RowRect(0).top;
    SendMessageW(m_window->hwnd(), WM_MOUSEWHEEL, MAKEWPARAM(0, WHEEL_DELTA), 0);
    EXPECT_GT(m_window->RowRect(0).top, before);
    SendMessageW(m_window->hwnd(), WM_VSCROLL, SB_TOP, 0);
    EXPECT_EQ(m_window->RowRect(0).top, m_window->CaptionHeight());
    SendMessageW(m_window->hwnd(), WM_VSCROLL, SB_PAGEDOWN, 0);
    EXPECT_LT(m_window->RowRect(0).top, m_window->CaptionHeight());
}

TEST_F(PanelWindowTest, NastyTextsAtTheSmallestWidth)
{
    std::wstring longHeading(2000, L'x');
    std::wstring longWord(5000, L'w');
    ASSERT_EQ(AddItem(longHeading + L": ", longHeading + L":\n" + longWord + L"\n\nhttp://example.org/"), S_OK);
    const std::wstring hebrew = L"\u05E9\u05DC\u05D5\u05DD";
    const std::wstring mixed = L"\u0645\u0631\u062D\u0628\u0627 \u05E2\u05D5\u05DC\u05DD";
    ASSERT_EQ(AddItem(hebrew + L": ", hebrew + L":\n" + mixed + L"\n\nhttp://x/"), S_OK);
    ASSERT_EQ(AddItem(L"Html: ", L"Html:\n<p>a<script>b</script><!-- c --><b unclosed\n\nhttp://x/"), S_OK);
    ASSERT_EQ(AddItem(L"", L""), S_OK);
    m_window->Sync();
    Paint();
    const RECT docked = Frame();
    for (int width : {1, 60, 200, 2000}) {
        const RECT frame = Frame();
        SetWindowPos(m_window->hwnd(), nullptr, frame.right - width, frame.top, width, frame.bottom - frame.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        Paint();
        Click(RowPoint(1));
    }
    EXPECT_EQ(m_opened, (std::vector<std::size_t>{1, 1, 1, 1}));
    SetWindowPos(m_window->hwnd(), nullptr, docked.left, docked.top, docked.right - docked.left,
                 docked.bottom - docked.top, SWP_NOZORDER | SWP_NOACTIVATE);

    // Sizing by hand stops at a useful width.
    MINMAXINFO limits = {};
    SendMessageW(m_window->hwnd(), WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
    EXPECT_EQ(limits.ptMinTrackSize.x, MulDiv(200, m_window->Dpi(), 96));

    m_window->SetStatus(L"Did not start: the ProgID is not registered");
    ASSERT_EQ(m_helper->RemoveAllContentItems(), S_OK);
    m_window->Sync();
    Paint();
    m_window->SetStatus(L"");
}

TEST_F(PanelWindowTest, FollowsAChangeOfDpi)
{
    AddItems(3);
    const int rowHeight = RowHeight();
    const UINT dpi = m_window->Dpi();
    RECT frame = Frame();
    RECT suggested = {frame.right - MulDiv(320, dpi * 2, 96), frame.top, frame.right, frame.bottom};
    SendMessageW(m_window->hwnd(), WM_DPICHANGED, MAKEWPARAM(dpi * 2, dpi * 2), reinterpret_cast<LPARAM>(&suggested));
    EXPECT_EQ(m_window->Dpi(), dpi * 2);
    const int doubled = RowHeight();
    EXPECT_GE(doubled, rowHeight * 17 / 10);
    EXPECT_LE(doubled, rowHeight * 23 / 10);
    frame = Frame();
    EXPECT_EQ(frame.right - frame.left, suggested.right - suggested.left);
    Paint();
    Click(RowPoint(2));
    EXPECT_EQ(m_opened, (std::vector<std::size_t>{2}));

    RECT back = {frame.right - MulDiv(320, dpi, 96), frame.top, frame.right, frame.bottom};
    SendMessageW(m_window->hwnd(), WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&back));
    EXPECT_EQ(RowHeight(), rowHeight);
}

TEST_F(PanelWindowTest, MarksFailingFeedsWithTheirCauses)
{
    const std::wstring a = L"http://a.example/rss", b = L"http://b.example/rss", c = L"http://c.example/rss";
    auto write = [](const vexa::FeedHealth& record) { ASSERT_EQ(vexa::WriteFeedHealth(record), ERROR_SUCCESS); };
    m_window->ReadHealth();
    RECT mark = m_window->HealthMark();
    EXPECT_TRUE(IsRectEmpty(&mark));
    write(HealthRecord(c, FeedState::Paused, TodayAt(14, 5), L"server error (HTTP 503)"));
    write(HealthRecord(a, FeedState::Loaded, TodayAt(14, 2), L"", 20));
    write(HealthRecord(b, FeedState::Failing, TodayAt(9, 12), L"not found (HTTP 404)", -1, L"Town news"));
    m_window->ReadHealth();
    EXPECT_EQ(m_window->HealthTip(), L"2 of 3 feeds failing\n"
                                     L"Town news \u2014 Failing since 09:12: not found (HTTP 404)\n"
                                     L"http://c.example/rss \u2014 Paused until 14:05: server error (HTTP 503)");
    mark = m_window->HealthMark();
    EXPECT_TRUE(!IsRectEmpty(&mark) && mark.right <= m_window->SettingsButton().left && mark.top >= 0 &&
                mark.bottom <= m_window->CaptionHeight());
    Paint();

    // Recovered: no mark. Many failing: the tooltip stays short.
    write(HealthRecord(b, FeedState::Loaded, TodayAt(9, 30), L"", 3));
    write(HealthRecord(c, FeedState::Loaded, TodayAt(14, 6), L"", 3));
    m_window->ReadHealth();
    mark = m_window->HealthMark();
    EXPECT_TRUE(IsRectEmpty(&mark));
    EXPECT_EQ(m_window->HealthTip(), L"");
    for (int i = 0; i < 12; ++i)
        write(HealthRecord(L"http://f.example/" + std::to_wstring(10 + i), FeedState::Failing, TodayAt(9, 12), L"x"));
    m_window->ReadHealth();
    const std::wstring& text = m_window->HealthTip();
    EXPECT_EQ(std::count(text.begin(), text.end(), L'\n'), 11);
    EXPECT_EQ(text.substr(0, text.find(L'\n')), L"12 of 15 feeds failing");
    EXPECT_EQ(text.substr(text.rfind(L'\n') + 1), L"and 2 more");
    Paint();
    ASSERT_EQ(vexa::PruneFeedHealth({}), ERROR_SUCCESS);
    m_window->ReadHealth();
}

// The sidebar program's "feeds" lines: state, address, last success, entries, cause.
TEST(FeedStatus, OneLinePerAddress)
{
    vexa::FeedHealth recovering = HealthRecord(L"http://c/", FeedState::Failing, TodayAt(9, 12), L"no answer for 15 s", 1);
    recovering.lastSuccess = TodayAt(8, 0);
    const struct {
        vexa::FeedHealth record;
        const wchar_t* line;
    } rows[] = {
        {HealthRecord(L"http://a/", FeedState::Loaded, TodayAt(14, 2), L"", 20),
         L"loaded   http://a/  last success 14:02, 20 entries"},
        {HealthRecord(L"http://b/", FeedState::Failing, TodayAt(9, 12), L"not found (HTTP 404)"),
         L"failing  http://b/  last success never, entries unknown: not found (HTTP 404)"},
        {recovering, L"failing  http://c/  last success 08:00, 1 entry: no answer for 15 s"},
        {HealthRecord(L"http://d/", FeedState::Paused, TodayAt(14, 5), L"server error (HTTP 503)"),
         L"paused   http://d/  last success never, entries unknown, paused until 14:05: server error (HTTP 503)"},
        {HealthRecord(L"http://e/", FeedState::Never, 0), L"never    http://e/  last success never, entries unknown"},
        {HealthRecord(L"http://f/", FeedState::Loaded, TodayAt(14, 2), L"moved permanently to http://g/ (HTTP 301)", 0),
         L"loaded   http://f/  last success 14:02, 0 entries: moved permanently to http://g/ (HTTP 301)"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(host::FeedStatusLine(row.record), row.line);
}

} // namespace
