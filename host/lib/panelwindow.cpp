// The panel window: input, docking and layout; the drawing is in panelpaint. The layout
// arithmetic lives in panelview, where it is tested without pixels.
#include "host/lib/panelwindow.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>

#include "host/lib/feedstatus.h"
#include "host/lib/hostlib.h"
#include "host/lib/panelmetrics.h"

namespace host {
using namespace panel;
namespace {

const wchar_t kClassName[] = L"VexaSidebarPanel";
const UINT_PTR kMarkTimer = 1;
const UINT_PTR kHealthTimer = 2;
const DWORD kNewMarkMs = 5000;    // how long a new item stays marked
// The plugin writes the health records as loads end, which the panel does not always see
// (an unchanged feed adds nothing): they are read on a timer, never while painting.
const UINT kHealthEveryMs = 3000;
const UINT_PTR kHealthTool = 1;

enum MenuCommand : UINT { kMenuOpen = 1, kMenuRefresh, kMenuSettings, kMenuClose };

// Per-monitor DPI functions, looked up at run time (newer than the headers' target).
using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using SetDpiContextFn = BOOL(WINAPI*)(HANDLE);

UINT WindowDpi(HWND hwnd)
{
    static auto getDpi = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    UINT dpi = getDpi ? getDpi(hwnd) : 0;
    if (dpi == 0) {
        vexa::unique_window_dc dc(hwnd);
        dpi = static_cast<UINT>(GetDeviceCaps(dc.get(), LOGPIXELSY));
    }
    return dpi ? dpi : 96;
}
} // namespace


PanelWindow::PanelWindow(Commands commands) : m_commands(std::move(commands)) {}

PanelWindow::~PanelWindow() { DestroyWindowNow(); }

void PanelWindow::EnableDpiAwareness()
{
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    auto setContext = reinterpret_cast<SetDpiContextFn>(
        reinterpret_cast<void*>(GetProcAddress(user32, "SetProcessDpiAwarenessContext")));
    // DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2, then V1.
    if (setContext && (setContext(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4))) ||
                       setContext(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-3)))))
        return;
    SetProcessDPIAware();
}

bool PanelWindow::Create()
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc = {sizeof(wc)};
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = WindowProcedure;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc); // fails harmlessly when a previous window registered it

    // The primary monitor's work area; the width follows that monitor's DPI once created.
    RECT work = {0, 0, 1024, 768};
    MONITORINFO info = {sizeof(info)};
    if (GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &info))
        work = info.rcWork;
    // The window procedure records the handle in m_hWnd.
    CreateWindowExW(WS_EX_APPWINDOW, kClassName, L"Sidebar", WS_POPUP | WS_THICKFRAME | WS_CLIPCHILDREN,
                    work.right - kDockedWidth, work.top, kDockedWidth, work.bottom - work.top, nullptr,
                    nullptr, instance, CreationParam());
    if (!m_hWnd) return false;
    m_dpi = WindowDpi(m_hWnd);
    int width = std::min<int>(Scale(kDockedWidth), work.right - work.left);
    SetWindowPos(m_hWnd, nullptr, work.right - width, work.top, width, work.bottom - work.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    MakeFonts();
    Layout();
    Sync();

    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    m_tooltip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, m_hWnd, nullptr,
                                instance, nullptr);
    if (m_tooltip) {
        TTTOOLINFOW tool = {};
        tool.cbSize = TTTOOLINFOW_V2_SIZE; // what every version of the controls takes
        tool.uFlags = TTF_SUBCLASS;
        tool.hwnd = m_hWnd;
        tool.uId = kHealthTool;
        tool.lpszText = LPSTR_TEXTCALLBACKW; // the text is m_healthTip, asked for when shown
        SendMessageW(m_tooltip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
        SendMessageW(m_tooltip, TTM_SETMAXTIPWIDTH, 0, Scale(360));
        SendMessageW(m_tooltip, TTM_SETDELAYTIME, TTDT_AUTOPOP, 30000);
    }
    ReadHealth();
    SetTimer(m_hWnd, kHealthTimer, kHealthEveryMs, nullptr);
    ShowWindow(m_hWnd, SW_SHOWNORMAL);
    UpdateWindow(m_hWnd);
    SetForegroundWindow(m_hWnd);
    return true;
}

// Sizes of one row at the current DPI: a card with an inner padding around the picture, two
// heading lines, three body lines and the time.
void PanelWindow::Layout()
{
    if (!m_hWnd) return;
    RECT client = {};
    GetClientRect(m_hWnd, &client);
    int rowHeight = Scale(kCardMargin) + Scale(kCardPadding) + kHeadingLines * m_lineHeading +
                    Scale(kSectionGap) + kBodyLines * m_lineBody + Scale(kSectionGap) + m_lineTime +
                    Scale(kCardBottom);
    int viewHeight = std::max<int>(0, client.bottom - m_captionHeight);
    m_rows.setMetrics(rowHeight, viewHeight);
    m_rows.setCount(m_cache.size());

    // The scroll bar shows only when the rows overflow; the text width follows.
    int barWidth = GetSystemMetrics(SM_CXVSCROLL);
    bool overflow = m_rows.contentHeight() > viewHeight;
    if (!m_scrollBar) {
        m_scrollBar = CreateWindowExW(0, L"SCROLLBAR", nullptr, WS_CHILD | SBS_VERT, 0, 0, 0, 0,
                                      m_hWnd, nullptr, GetModuleHandleW(nullptr), nullptr);
    }
    if (m_scrollBar) {
        MoveWindow(m_scrollBar, client.right - barWidth, m_captionHeight, barWidth, viewHeight, TRUE);
        ShowWindow(m_scrollBar, overflow ? SW_SHOWNA : SW_HIDE);
    }
    int listWidth = client.right - (overflow ? barWidth : 0);
    int textWidth = listWidth - 2 * Scale(kCardMargin) - Scale(kCardPadding) - Scale(kPictureSize) -
                    Scale(kPictureGap) - Scale(kTextRight);
    textWidth = std::max(textWidth, Scale(kMinTextWidth));
    if (textWidth != m_textWidth) {
        m_textWidth = textWidth;
        for (Row& row : m_cache) row.ready = false;
    }
    UpdateScrollBar();
}

void PanelWindow::UpdateScrollBar()
{
    if (!m_scrollBar) return;
    SCROLLINFO si = {sizeof(si)};
    si.fMask = SIF_RANGE | SIF_PAGE | SIF_POS | SIF_DISABLENOSCROLL;
    si.nMin = 0;
    si.nMax = std::max(0, m_rows.contentHeight() - 1);
    si.nPage = static_cast<UINT>(m_rows.viewHeight());
    si.nPos = m_rows.offset();
    SetScrollInfo(m_scrollBar, SB_CTL, &si, TRUE);
}

void PanelWindow::Sync()
{
    if (!m_hWnd) return;
    Panel& panel = Host::Get().panel();
    bool changed = false;
    std::wstring title = panel.title ? *panel.title : std::wstring();
    if (title != m_title) {
        m_title = title;
        SetWindowTextW(m_hWnd, m_title.empty() ? L"Sidebar" : m_title.c_str());
        changed = true;
    }
    if (panel.largeIcon.get() != m_icon.get()) {
        m_icon = panel.largeIcon;
        changed = true;
    }
    if (panel.clears != m_seenClears || panel.items.size() < m_cache.size()) {
        // Cleared: the rows, their marks and the selection go.
        m_seenClears = panel.clears;
        m_cache.clear();
        m_addedAt.clear();
        m_rows.clearSelection();
        m_pressed = -1;
        m_rows.scrollTo(0);
        changed = true;
    }
    if (panel.items.size() > m_cache.size()) {
        DWORD now = GetTickCount();
        m_cache.resize(panel.items.size());
        m_addedAt.resize(panel.items.size(), now);
        SetTimer(m_hWnd, kMarkTimer, 250, nullptr);
        changed = true;
    }
    if (changed) {
        Layout();
        InvalidateRect(m_hWnd, nullptr, FALSE);
    }
}

void PanelWindow::SetStatus(const std::wstring& text)
{
    m_status = text;
    if (m_hWnd) InvalidateRect(m_hWnd, nullptr, FALSE);
}

void PanelWindow::ReadHealth()
{
    if (!m_hWnd) return;
    std::wstring tip = FailingFeedsText(ReadFeedStatus());
    if (tip == m_healthTip) return;
    m_healthTip = std::move(tip);
    PlaceHealthTool();
    RECT band = {};
    GetClientRect(m_hWnd, &band);
    band.bottom = m_captionHeight; // the caption alone: the mark and the title's room
    InvalidateRect(m_hWnd, &band, FALSE);
}

RECT PanelWindow::HealthMark() const
{
    if (m_healthTip.empty() || !m_hWnd) return RECT{0, 0, 0, 0};
    RECT button = SettingsButton();
    int size = Scale(kHealthMarkSize);
    int top = (m_captionHeight - size) / 2;
    return RECT{button.left - Scale(kButtonGap) - size, top, button.left - Scale(kButtonGap), top + size};
}

// The tooltip's tool is the mark's rectangle, empty (never shown) when no feed fails.
void PanelWindow::PlaceHealthTool()
{
    if (!m_tooltip) return;
    TTTOOLINFOW tool = {};
    tool.cbSize = TTTOOLINFOW_V2_SIZE; // what every version of the controls takes
    tool.hwnd = m_hWnd;
    tool.uId = kHealthTool;
    tool.rect = HealthMark();
    SendMessageW(m_tooltip, TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&tool));
    if (m_healthTip.empty()) SendMessageW(m_tooltip, TTM_POP, 0, 0);
    else SendMessageW(m_tooltip, TTM_UPDATE, 0, 0);
}

bool PanelWindow::MarkedNew(std::size_t index, DWORD now) const
{
    return index < m_addedAt.size() && now - m_addedAt[index] < kNewMarkMs;
}

RECT PanelWindow::SettingsButton() const
{
    RECT client = {};
    GetClientRect(m_hWnd, &client);
    int size = Scale(kButtonSize);
    int top = (m_captionHeight - size) / 2;
    return RECT{client.right - Scale(kButtonRight) - size, top, client.right - Scale(kButtonRight), top + size};
}

RECT PanelWindow::RowRect(std::size_t index) const
{
    RECT client = {};
    GetClientRect(m_hWnd, &client);
    if (m_scrollBar && IsWindowVisible(m_scrollBar)) client.right -= GetSystemMetrics(SM_CXVSCROLL);
    int top = m_captionHeight + m_rows.rowTop(index);
    return RECT{0, top, client.right, top + m_rows.rowHeight()};
}

std::size_t PanelWindow::WrappedRows() const
{
    return static_cast<std::size_t>(
        std::count_if(m_cache.begin(), m_cache.end(), [](const Row& row) { return row.ready; }));
}

long PanelWindow::RowAtPoint(POINT client) const
{
    if (client.y < m_captionHeight) return -1;
    return m_rows.hitTest(client.y - m_captionHeight);
}

void PanelWindow::Scrolled()
{
    UpdateScrollBar();
    InvalidateRect(m_hWnd, nullptr, FALSE);
}

void PanelWindow::Select(long index)
{
    m_rows.select(index);
    Scrolled();
}

void PanelWindow::Open(long index)
{
    if (index < 0 || static_cast<std::size_t>(index) >= m_cache.size()) return;
    Select(index);
    UpdateWindow(m_hWnd);
    if (m_commands.open) m_commands.open(static_cast<std::size_t>(index));
    Sync();
}

void PanelWindow::Run(const std::function<void()>& command)
{
    if (!command) return;
    command();
    // The command may have changed the panel inside a modal loop of its own.
    Sync();
}

void PanelWindow::ShowMenu(POINT screen, long row)
{
    HMENU menu = CreatePopupMenu();
    if (!menu) return;
    if (row >= 0) {
        AppendMenuW(menu, MF_STRING, kMenuOpen, L"&Open");
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    }
    AppendMenuW(menu, MF_STRING, kMenuRefresh, L"&Refresh now");
    AppendMenuW(menu, MF_STRING, kMenuSettings, L"&Settings...");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, kMenuClose, L"&Close");
    UINT command = static_cast<UINT>(TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY,
                                                    screen.x, screen.y, 0, m_hWnd, nullptr));
    DestroyMenu(menu);
    switch (command) {
    case kMenuOpen: Open(row); break;
    case kMenuRefresh: Run(m_commands.refresh); break;
    case kMenuSettings: Run(m_commands.settings); break;
    case kMenuClose: Run(m_commands.close); break;
    }
}

// Every message goes to Handle, which gives the default processing itself.
bool PanelWindow::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    result = Handle(msg, wParam, lParam);
    return true;
}

// The messages the panel answers, each by its own method; the rest get the default processing.
LRESULT PanelWindow::Handle(UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_ERASEBKGND: return 1;
    case WM_PAINT: return OnPaint();
    case WM_SIZE: return OnSize();
    case WM_NOTIFY: return OnNotify(wParam, lParam);
    case WM_GETMINMAXINFO: return OnGetMinMaxInfo(lParam);
    case WM_NCHITTEST: return OnNcHitTest(wParam, lParam);
    case WM_DPICHANGED: return OnDpiChanged(wParam, lParam);
    case WM_TIMER: return OnTimer(wParam, lParam);
    case WM_MOUSEWHEEL: return OnMouseWheel(wParam);
    case WM_VSCROLL: return OnVScroll(wParam);
    case WM_KEYDOWN: return OnKeyDown(wParam, lParam);
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: return OnButtonDown(lParam);
    case WM_LBUTTONUP: return OnButtonUp(lParam);
    case WM_MOUSEMOVE: return OnMouseMove(lParam);
    case WM_MOUSELEAVE: return OnMouseLeave();
    case WM_CONTEXTMENU: return OnContextMenu(lParam);
    case WM_CLOSE: return OnClose();
    }
    return DefWindowProcW(m_hWnd, msg, wParam, lParam);
}

LRESULT PanelWindow::OnSize()
{
    Layout();
    PlaceHealthTool();
    InvalidateRect(m_hWnd, nullptr, FALSE);
    return 0;
}

LRESULT PanelWindow::OnNotify(WPARAM wParam, LPARAM lParam)
{
    auto* info = reinterpret_cast<NMTTDISPINFOW*>(lParam);
    if (info && m_tooltip && info->hdr.hwndFrom == m_tooltip && info->hdr.code == TTN_GETDISPINFOW) {
        info->lpszText = const_cast<wchar_t*>(m_healthTip.c_str());
        return 0;
    }
    return DefWindowProcW(m_hWnd, WM_NOTIFY, wParam, lParam);
}

LRESULT PanelWindow::OnGetMinMaxInfo(LPARAM lParam)
{
    auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
    limits->ptMinTrackSize.x = Scale(kMinWidth);
    return 0;
}

// Resizable in width only: the left and right edges size, the rest is client.
LRESULT PanelWindow::OnNcHitTest(WPARAM wParam, LPARAM lParam)
{
    LRESULT hit = DefWindowProcW(m_hWnd, WM_NCHITTEST, wParam, lParam);
    switch (hit) {
    case HTLEFT: case HTRIGHT: case HTCLIENT: case HTVSCROLL: return hit;
    case HTTOPLEFT: case HTBOTTOMLEFT: return HTLEFT;
    case HTTOPRIGHT: case HTBOTTOMRIGHT: return HTRIGHT;
    default: return HTBORDER;
    }
}

LRESULT PanelWindow::OnDpiChanged(WPARAM wParam, LPARAM lParam)
{
    m_dpi = LOWORD(wParam) ? LOWORD(wParam) : 96;
    MakeFonts();
    for (Row& row : m_cache) row.ready = false;
    m_textWidth = 0;
    const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
    SetWindowPos(m_hWnd, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    Layout();
    InvalidateRect(m_hWnd, nullptr, FALSE);
    return 0;
}

LRESULT PanelWindow::OnTimer(WPARAM wParam, LPARAM lParam)
{
    if (wParam == kHealthTimer) {
        ReadHealth();
        return 0;
    }
    if (wParam == kMarkTimer) {
        DWORD now = GetTickCount();
        bool any = false;
        for (std::size_t i = 0; i < m_addedAt.size() && !any; ++i) any = MarkedNew(i, now);
        if (!any) KillTimer(m_hWnd, kMarkTimer);
        InvalidateRect(m_hWnd, nullptr, FALSE);
        return 0;
    }
    return DefWindowProcW(m_hWnd, WM_TIMER, wParam, lParam);
}

LRESULT PanelWindow::OnMouseWheel(WPARAM wParam)
{
    UINT lines = 3;
    SystemParametersInfoW(SPI_GETWHEELSCROLLLINES, 0, &lines, 0);
    if (m_rows.wheel(GET_WHEEL_DELTA_WPARAM(wParam), lines > 100 ? -1 : static_cast<int>(lines)))
        Scrolled();
    return 0;
}

LRESULT PanelWindow::OnVScroll(WPARAM wParam)
{
    int line = std::max(m_rows.rowHeight() / 4, 1);
    int page = std::max(m_rows.viewHeight() - line, line);
    bool moved = false;
    switch (LOWORD(wParam)) {
    case SB_LINEUP: moved = m_rows.scrollBy(-line); break;
    case SB_LINEDOWN: moved = m_rows.scrollBy(line); break;
    case SB_PAGEUP: moved = m_rows.scrollBy(-page); break;
    case SB_PAGEDOWN: moved = m_rows.scrollBy(page); break;
    case SB_TOP: moved = m_rows.scrollTo(0); break;
    case SB_BOTTOM: moved = m_rows.scrollTo(m_rows.maxOffset()); break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION: {
        SCROLLINFO si = {sizeof(si), SIF_TRACKPOS};
        GetScrollInfo(m_scrollBar, SB_CTL, &si); // 32-bit position, beyond HIWORD's range
        moved = m_rows.scrollTo(si.nTrackPos);
        break;
    }
    }
    if (moved) Scrolled();
    return 0;
}

LRESULT PanelWindow::OnKeyDown(WPARAM wParam, LPARAM lParam)
{
    if (wParam == VK_RETURN) {
        Open(m_rows.selected());
        return 0;
    }
    if (wParam == VK_F5) {
        Run(m_commands.refresh);
        return 0;
    }
    if (m_rows.key(static_cast<UINT>(wParam))) {
        Scrolled();
        return 0;
    }
    return DefWindowProcW(m_hWnd, WM_KEYDOWN, wParam, lParam);
}

LRESULT PanelWindow::OnButtonDown(LPARAM lParam)
{
    SetFocus(m_hWnd);
    POINT pt = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    RECT button = SettingsButton();
    m_pressedSettings = PtInRect(&button, pt) != FALSE;
    m_pressed = m_pressedSettings ? -1 : RowAtPoint(pt);
    if (m_pressed >= 0) Select(m_pressed);
    if (m_pressedSettings) InvalidateRect(m_hWnd, &button, FALSE);
    SetCapture(m_hWnd);
    return 0;
}

LRESULT PanelWindow::OnButtonUp(LPARAM lParam)
{
    ReleaseCapture();
    POINT pt = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    RECT button = SettingsButton();
    bool settings = m_pressedSettings && PtInRect(&button, pt);
    long row = m_pressed >= 0 && RowAtPoint(pt) == m_pressed ? m_pressed : -1;
    m_pressedSettings = false;
    m_pressed = -1;
    InvalidateRect(m_hWnd, &button, FALSE);
    if (settings) Run(m_commands.settings);
    else if (row >= 0) Open(row);
    return 0;
}

LRESULT PanelWindow::OnMouseMove(LPARAM lParam)
{
    POINT pt = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    RECT button = SettingsButton();
    bool hot = PtInRect(&button, pt) != FALSE;
    if (hot != m_hotSettings) {
        m_hotSettings = hot;
        InvalidateRect(m_hWnd, &button, FALSE);
        if (hot) {
            TRACKMOUSEEVENT track = {sizeof(track), TME_LEAVE, m_hWnd, 0};
            TrackMouseEvent(&track);
        }
    }
    return 0;
}

LRESULT PanelWindow::OnMouseLeave()
{
    if (m_hotSettings) {
        m_hotSettings = false;
        InvalidateRect(m_hWnd, nullptr, FALSE);
    }
    return 0;
}

LRESULT PanelWindow::OnContextMenu(LPARAM lParam)
{
    POINT screen = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    long row = m_rows.selected();
    if (screen.x == -1 && screen.y == -1) {
        // From the keyboard: at the selected row, or the top of the list.
        POINT at = {Scale(40), m_captionHeight + (row >= 0 ? m_rows.rowTop(row) + Scale(20) : Scale(20))};
        ClientToScreen(m_hWnd, &at);
        screen = at;
    } else {
        POINT client = screen;
        ScreenToClient(m_hWnd, &client);
        row = RowAtPoint(client);
        if (row >= 0) Select(row);
    }
    ShowMenu(screen, row);
    return 0;
}

LRESULT PanelWindow::OnClose()
{
    if (m_commands.close) m_commands.close();
    return 0;
}

} // namespace host
