// The panel window: drawing, input and docking. The layout arithmetic lives in panelview,
// where it is tested without pixels.
#include "host/lib/panelwindow.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>

#include "com/check.h"
#include "host/lib/feedstatus.h"
#include "host/lib/hostlib.h"

namespace host {
namespace {

const wchar_t kClassName[] = L"VexaSidebarPanel";
const UINT_PTR kMarkTimer = 1;
const UINT_PTR kHealthTimer = 2;
const DWORD kNewMarkMs = 5000;    // how long a new item stays marked
// The plugin writes the health records as loads end, which the panel does not always see
// (an unchanged feed adds nothing): they are read on a timer, never while painting.
const UINT kHealthEveryMs = 3000;
const UINT_PTR kHealthTool = 1;

// The panel's geometry at 96 dpi, in one place: Layout sizes rows and text from it and the
// paint code draws by it, so the two cannot disagree.
constexpr int kDockedWidth = 320;
constexpr int kMinWidth = 200;
constexpr int kCaptionHeight = 56;
constexpr int kCaptionIconLeft = 12;
constexpr int kCaptionTitleTop = 10;
constexpr int kCaptionStatusTop = 21; // below the title's top
constexpr int kButtonSize = 30;       // the settings button
constexpr int kButtonRight = 10;
constexpr int kButtonGap = 8;         // between the caption texts and the button
constexpr int kHealthMarkSize = 16;   // the failing-feeds mark, left of the settings button
constexpr int kCardMargin = 6;        // around each card: above, left and right
constexpr int kCardPadding = 10;      // inside a card: above and left of the picture and text
constexpr int kCardBottom = 8;        // inside a card: below the time line
constexpr int kCardRadius = 8;
constexpr int kPictureSize = 32;      // an item's picture and the caption's icon
constexpr int kPictureGap = 10;       // between a picture and its text
constexpr int kTextRight = 10;        // right of a card's text
constexpr int kSectionGap = 3;        // between heading, body and time
constexpr int kMinTextWidth = 24;
constexpr int kMarkInset = 4;         // the "new" mark's distance from the card's top and bottom
constexpr int kMarkWidth = 3;
constexpr int kHeadingLines = 2;
constexpr int kBodyLines = 3;

enum MenuCommand : UINT { kMenuOpen = 1, kMenuRefresh, kMenuSettings, kMenuClose };

// Colours of the panel.
const COLORREF kCaptionTop = RGB(0x1E, 0x3A, 0x5F);
const COLORREF kCaptionBottom = RGB(0x27, 0x55, 0x85);
const COLORREF kCaptionText = RGB(0xFF, 0xFF, 0xFF);
const COLORREF kCaptionSubtle = RGB(0xBF, 0xD2, 0xE8);
const COLORREF kCaptionWarning = RGB(0xFF, 0xB4, 0x9C);
const COLORREF kButtonHot = RGB(0x3A, 0x6A, 0x9C);
const COLORREF kListBack = RGB(0xEE, 0xF1, 0xF5);
const COLORREF kCardBack = RGB(0xFF, 0xFF, 0xFF);
const COLORREF kCardBorder = RGB(0xDD, 0xE3, 0xEA);
const COLORREF kCardSelected = RGB(0xE8, 0xF0, 0xFE);
const COLORREF kCardSelectedBorder = RGB(0x3B, 0x82, 0xF6);
const COLORREF kCardNew = RGB(0xFF, 0xF8, 0xE6);
const COLORREF kNewMark = RGB(0xF5, 0x9E, 0x0B);
const COLORREF kHeadingText = RGB(0x11, 0x18, 0x27);
const COLORREF kBodyText = RGB(0x4B, 0x55, 0x63);
const COLORREF kTimeText = RGB(0x9C, 0xA3, 0xAF);
const COLORREF kEmptyText = RGB(0x8A, 0x94, 0xA3);
const COLORREF kHealthMark = RGB(0xF5, 0x9E, 0x0B);
const COLORREF kHealthMarkText = RGB(0x1E, 0x3A, 0x5F);

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

using SelectIn = vexa::unique_select_object;

void FillSolid(HDC dc, const RECT& rect, COLORREF color)
{
    vexa::unique_hbrush brush(CreateSolidBrush(color));
    FillRect(dc, &rect, brush.get());
}

void RoundBox(HDC dc, const RECT& rect, int radius, COLORREF fill, COLORREF border)
{
    vexa::unique_hbrush brush(CreateSolidBrush(fill));
    vexa::unique_hpen pen(CreatePen(PS_SOLID, 1, border));
    SelectIn b(dc, brush.get()), p(dc, pen.get());
    RoundRect(dc, rect.left, rect.top, rect.right, rect.bottom, radius, radius);
}

COLORREF Mix(COLORREF a, COLORREF b, int num, int den)
{
    auto mix = [&](int x, int y) { return x + (y - x) * num / den; };
    return RGB(mix(GetRValue(a), GetRValue(b)), mix(GetGValue(a), GetGValue(b)),
               mix(GetBValue(a), GetBValue(b)));
}

void DrawLine(HDC dc, const std::wstring& text, RECT rect, COLORREF color)
{
    if (text.empty()) return;
    SetTextColor(dc, color);
    UINT format = DT_SINGLELINE | DT_NOPREFIX | DT_TOP;
    if (IsRightToLeft(text)) format |= DT_RIGHT | DT_RTLREADING;
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rect, format);
}

TextMeasure MeasureIn(HDC dc)
{
    TextMeasure measure;
    measure.fit = [dc](const wchar_t* text, int length, int width) {
        int fit = 0;
        SIZE size = {};
        if (!GetTextExtentExPointW(dc, text, length, width, &fit, nullptr, &size)) return length;
        return fit;
    };
    measure.width = [dc](const wchar_t* text, int length) {
        SIZE size = {};
        GetTextExtentPoint32W(dc, text, length, &size);
        return static_cast<int>(size.cx);
    };
    return measure;
}

int LineHeight(HDC dc, HFONT font)
{
    SelectIn s(dc, font);
    TEXTMETRICW tm = {};
    GetTextMetricsW(dc, &tm);
    return tm.tmHeight + tm.tmExternalLeading;
}

void DrawPicture(HDC dc, IPicture* picture, int x, int y, int size)
{
    if (!picture) return;
    short type = PICTYPE_UNINITIALIZED;
    OLE_HANDLE handle = 0;
    if (VEXA_OK(picture->get_Type(&type)) && type == PICTYPE_ICON &&
        VEXA_OK(picture->get_Handle(&handle)) && handle) {
        DrawIconEx(dc, x, y, reinterpret_cast<HICON>(static_cast<UINT_PTR>(handle)), size, size, 0,
                   nullptr, DI_NORMAL);
        return;
    }
    OLE_XSIZE_HIMETRIC width = 0;
    OLE_YSIZE_HIMETRIC height = 0;
    if (VEXA_OK(picture->get_Width(&width)) && VEXA_OK(picture->get_Height(&height)))
        picture->Render(dc, x, y, size, size, 0, height, width, -height, nullptr);
}

// The settings glyph: three slider tracks with their knobs.
void DrawSettingsGlyph(HDC dc, const RECT& box, int scale96)
{
    auto s = [&](int v) { return MulDiv(v, scale96, 96); };
    int width = box.right - box.left;
    int left = box.left + width / 4, right = box.right - width / 4;
    int knobs[3] = {right - s(4), left + s(4), (left + right) / 2 + s(2)};
    vexa::unique_hpen pen(CreatePen(PS_SOLID, std::max(1, s(2)), kCaptionText));
    vexa::unique_hbrush knobBrush(CreateSolidBrush(kCaptionText));
    SelectIn p(dc, pen.get()), b(dc, knobBrush.get());
    for (int i = 0; i < 3; ++i) {
        int y = box.top + (box.bottom - box.top) * (i + 1) / 4;
        MoveToEx(dc, left, y, nullptr);
        LineTo(dc, right, y);
        int r = std::max(2, s(3));
        Ellipse(dc, knobs[i] - r, y - r, knobs[i] + r + 1, y + r + 1);
    }
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

void PanelWindow::MakeFonts()
{
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof(metrics);
    LOGFONTW base = {};
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0))
        base = metrics.lfMessageFont;
    else
        wcscpy(base.lfFaceName, L"Tahoma");
    base.lfQuality = CLEARTYPE_QUALITY;
    base.lfCharSet = DEFAULT_CHARSET;
    auto font = [&](int pixels, LONG weight) {
        LOGFONTW lf = base;
        lf.lfHeight = -Scale(pixels);
        lf.lfWidth = 0;
        lf.lfWeight = weight;
        lf.lfItalic = FALSE;
        return vexa::unique_hfont(CreateFontIndirectW(&lf));
    };
    m_titleFont = font(16, FW_BOLD);
    m_statusFont = font(11, FW_NORMAL);
    m_headingFont = font(13, FW_BOLD);
    m_bodyFont = font(12, FW_NORMAL);
    m_timeFont = font(11, FW_NORMAL);

    vexa::unique_window_dc dc(m_hWnd);
    m_lineHeading = LineHeight(dc.get(), m_headingFont.get());
    m_lineBody = LineHeight(dc.get(), m_bodyFont.get());
    m_lineTime = LineHeight(dc.get(), m_timeFont.get());
    m_captionHeight = Scale(kCaptionHeight);
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

void PanelWindow::PaintHealthMark(HDC dc)
{
    RECT mark = HealthMark();
    if (IsRectEmpty(&mark)) return;
    {
        vexa::unique_hbrush brush(CreateSolidBrush(kHealthMark));
        vexa::unique_hpen pen(CreatePen(PS_SOLID, 1, kHealthMark));
        SelectIn b(dc, brush.get()), p(dc, pen.get());
        Ellipse(dc, mark.left, mark.top, mark.right, mark.bottom);
    }
    SelectIn s(dc, m_statusFont.get());
    SetTextColor(dc, kHealthMarkText);
    DrawTextW(dc, L"!", 1, &mark, DT_SINGLELINE | DT_CENTER | DT_VCENTER | DT_NOPREFIX);
}

bool PanelWindow::MarkedNew(std::size_t index, DWORD now) const
{
    return index < m_addedAt.size() && now - m_addedAt[index] < kNewMarkMs;
}

PanelWindow::Row& PanelWindow::RowAt(std::size_t index, HDC dc)
{
    Row& row = m_cache[index];
    if (row.ready) return row;
    const auto& items = Host::Get().panel().items;
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    row.text = index < items.size() && items[index].state ? MakeRowText(*items[index].state, now)
                                                            : RowText();
    TextMeasure measure = MeasureIn(dc);
    {
        SelectIn s(dc, m_headingFont.get());
        row.heading = WrapText(row.text.heading, m_textWidth, kHeadingLines, measure);
    }
    {
        SelectIn s(dc, m_bodyFont.get());
        row.body = WrapText(row.text.body, m_textWidth, kBodyLines, measure);
    }
    {
        SelectIn s(dc, m_timeFont.get());
        std::wstring line = row.text.time;
        if (!row.text.site.empty()) line += (line.empty() ? L"" : L"  \u00B7  ") + row.text.site;
        row.text.time = FitLine(line, m_textWidth, measure);
    }
    row.ready = true;
    return row;
}

RECT PanelWindow::SettingsButton() const
{
    RECT client = {};
    GetClientRect(m_hWnd, &client);
    int size = Scale(kButtonSize);
    int top = (m_captionHeight - size) / 2;
    return RECT{client.right - Scale(kButtonRight) - size, top, client.right - Scale(kButtonRight), top + size};
}

void PanelWindow::PaintCaption(HDC dc, const RECT& band)
{
    // A vertical gradient, one band of lines at a time.
    int height = band.bottom - band.top;
    for (int y = 0; y < height; y += 2) {
        RECT line = {band.left, band.top + y, band.right, std::min<LONG>(band.top + y + 2, band.bottom)};
        FillSolid(dc, line, Mix(kCaptionTop, kCaptionBottom, y, std::max(height, 1)));
    }
    int iconSize = Scale(kPictureSize);
    int x = band.left + Scale(kCaptionIconLeft);
    DrawPicture(dc, m_icon.get(), x, band.top + (height - iconSize) / 2, iconSize);
    x += iconSize + Scale(kPictureGap);

    RECT button = SettingsButton();
    if (m_hotSettings || m_pressedSettings)
        RoundBox(dc, button, Scale(kCardRadius), m_pressedSettings ? kCaptionTop : kButtonHot, kButtonHot);
    DrawSettingsGlyph(dc, button, static_cast<int>(m_dpi));

    PaintHealthMark(dc);
    RECT mark = HealthMark();
    int right = (IsRectEmpty(&mark) ? button.left : mark.left) - Scale(kButtonGap);
    std::wstring title = m_title.empty() ? std::wstring(L"Sidebar") : m_title;
    std::wstring status = m_status;
    if (status.empty()) {
        std::size_t count = m_cache.size();
        status = count == 0 ? L"No items" : count == 1 ? L"1 item" : std::to_wstring(count) + L" items";
    }
    TextMeasure measure = MeasureIn(dc);
    int titleTop = band.top + Scale(kCaptionTitleTop);
    {
        SelectIn s(dc, m_titleFont.get());
        DrawLine(dc, FitLine(title, right - x, measure), RECT{x, titleTop, right, band.bottom}, kCaptionText);
    }
    {
        SelectIn s(dc, m_statusFont.get());
        DrawLine(dc, FitLine(status, right - x, measure), RECT{x, titleTop + Scale(kCaptionStatusTop), right, band.bottom},
                 m_status.empty() ? kCaptionSubtle : kCaptionWarning);
    }
}

void PanelWindow::PaintRow(HDC dc, std::size_t index, const RECT& rect, DWORD now)
{
    Row& row = RowAt(index, dc);
    bool selected = m_rows.selected() == static_cast<long>(index);
    bool fresh = MarkedNew(index, now);
    RECT card = {rect.left + Scale(kCardMargin), rect.top + Scale(kCardMargin), rect.right - Scale(kCardMargin),
                 rect.bottom};
    COLORREF back = selected ? kCardSelected : fresh ? kCardNew : kCardBack;
    RoundBox(dc, card, Scale(kCardRadius), back, selected ? kCardSelectedBorder : kCardBorder);
    if (fresh) {
        RECT mark = {card.left + 1, card.top + Scale(kMarkInset), card.left + 1 + Scale(kMarkWidth),
                     card.bottom - Scale(kMarkInset)};
        FillSolid(dc, mark, kNewMark);
    }

    const auto& items = Host::Get().panel().items;
    if (index < items.size() && items[index].state)
        DrawPicture(dc, items[index].state->image.get(), card.left + Scale(kCardPadding),
                    card.top + Scale(kCardPadding), Scale(kPictureSize));

    int x = card.left + Scale(kCardPadding) + Scale(kPictureSize) + Scale(kPictureGap);
    int right = x + m_textWidth;
    int y = card.top + Scale(kCardPadding);
    {
        SelectIn s(dc, m_headingFont.get());
        for (const std::wstring& line : row.heading) {
            DrawLine(dc, line, RECT{x, y, right, y + m_lineHeading}, kHeadingText);
            y += m_lineHeading;
        }
    }
    if (row.heading.size() < kHeadingLines) y += m_lineHeading / 3;
    y += Scale(kSectionGap);
    {
        SelectIn s(dc, m_bodyFont.get());
        for (const std::wstring& line : row.body) {
            DrawLine(dc, line, RECT{x, y, right, y + m_lineBody}, kBodyText);
            y += m_lineBody;
        }
    }
    int timeTop = card.bottom - Scale(kCardBottom) - m_lineTime;
    SelectIn s(dc, m_timeFont.get());
    DrawLine(dc, row.text.time, RECT{x, timeTop, right, timeTop + m_lineTime}, kTimeText);
}

void PanelWindow::Paint(HDC dc, const RECT& client)
{
    SetBkMode(dc, TRANSPARENT);
    RECT band = {client.left, client.top, client.right, m_captionHeight};
    PaintCaption(dc, band);

    RECT list = {client.left, m_captionHeight, client.right, client.bottom};
    if (m_scrollBar && IsWindowVisible(m_scrollBar)) list.right -= GetSystemMetrics(SM_CXVSCROLL);
    FillSolid(dc, list, kListBack);
    m_paintedRows = 0;
    if (m_cache.empty()) {
        SelectIn s(dc, m_bodyFont.get());
        // Empty: say so, or give the whole of what went wrong (the caption may cut it).
        RECT text = {list.left + Scale(16), list.top + Scale(24), list.right - Scale(16), list.bottom};
        SetTextColor(dc, kEmptyText);
        const std::wstring message = m_status.empty() ? std::wstring(L"Nothing to show yet") : m_status;
        DrawTextW(dc, message.c_str(), static_cast<int>(message.size()), &text,
                  DT_CENTER | DT_TOP | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX);
        return;
    }
    // Only the rows in view are drawn (and wrapped), however many there are.
    std::size_t first = 0, last = 0;
    m_rows.visibleRange(&first, &last);
    DWORD now = GetTickCount();
    m_paintedRows = last - first;
    {
        vexa::unique_hrgn clip(CreateRectRgn(list.left, list.top, list.right, list.bottom));
        SelectClipRgn(dc, clip.get()); // the DC keeps a copy of the region
    }
    for (std::size_t i = first; i < last; ++i) {
        int top = list.top + m_rows.rowTop(i);
        PaintRow(dc, i, RECT{list.left, top, list.right, top + m_rows.rowHeight()}, now);
    }
    SelectClipRgn(dc, nullptr);
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

LRESULT PanelWindow::Handle(UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(m_hWnd, &ps);
        RECT client = {};
        GetClientRect(m_hWnd, &client);
        // Drawn off screen, then copied: no flicker while rows scroll or arrive.
        {
            vexa::unique_hdc memory(CreateCompatibleDC(dc));
            vexa::unique_hbitmap bitmap(
                CreateCompatibleBitmap(dc, std::max<LONG>(client.right, 1), std::max<LONG>(client.bottom, 1)));
            if (memory && bitmap) {
                SelectIn selected(memory.get(), bitmap.get());
                Paint(memory.get(), client);
                BitBlt(dc, 0, 0, client.right, client.bottom, memory.get(), 0, 0, SRCCOPY);
            } else {
                Paint(dc, client);
            }
        }
        EndPaint(m_hWnd, &ps);
        return 0;
    }
    case WM_SIZE:
        Layout();
        PlaceHealthTool();
        InvalidateRect(m_hWnd, nullptr, FALSE);
        return 0;
    case WM_NOTIFY: {
        auto* info = reinterpret_cast<NMTTDISPINFOW*>(lParam);
        if (info && m_tooltip && info->hdr.hwndFrom == m_tooltip && info->hdr.code == TTN_GETDISPINFOW) {
            info->lpszText = const_cast<wchar_t*>(m_healthTip.c_str());
            return 0;
        }
        break;
    }
    case WM_GETMINMAXINFO: {
        auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
        limits->ptMinTrackSize.x = Scale(kMinWidth);
        return 0;
    }
    case WM_NCHITTEST: {
        // Resizable in width only: the left and right edges size, the rest is client.
        LRESULT hit = DefWindowProcW(m_hWnd, msg, wParam, lParam);
        switch (hit) {
        case HTLEFT: case HTRIGHT: case HTCLIENT: case HTVSCROLL: return hit;
        case HTTOPLEFT: case HTBOTTOMLEFT: return HTLEFT;
        case HTTOPRIGHT: case HTBOTTOMRIGHT: return HTRIGHT;
        default: return HTBORDER;
        }
    }
    case WM_DPICHANGED: {
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
    case WM_TIMER:
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
        break;
    case WM_MOUSEWHEEL: {
        UINT lines = 3;
        SystemParametersInfoW(SPI_GETWHEELSCROLLLINES, 0, &lines, 0);
        if (m_rows.wheel(GET_WHEEL_DELTA_WPARAM(wParam), lines > 100 ? -1 : static_cast<int>(lines)))
            Scrolled();
        return 0;
    }
    case WM_VSCROLL: {
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
    case WM_KEYDOWN:
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
        break;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
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
    case WM_LBUTTONUP: {
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
    case WM_MOUSEMOVE: {
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
    case WM_MOUSELEAVE:
        if (m_hotSettings) {
            m_hotSettings = false;
            InvalidateRect(m_hWnd, nullptr, FALSE);
        }
        return 0;
    case WM_CONTEXTMENU: {
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
    case WM_CLOSE:
        if (m_commands.close) m_commands.close();
        return 0;
    }
    return DefWindowProcW(m_hWnd, msg, wParam, lParam);
}

} // namespace host
