// The panel window's painting: the caption band, the cards of the rows in view and the
// fonts they are drawn with, off screen and then copied.
#include "host/lib/panelwindow.h"

#include <algorithm>

#include "com/check.h"
#include "host/lib/hostlib.h"
#include "host/lib/panelmetrics.h"

namespace host {
using namespace panel;
namespace {

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

PanelWindow::Row& PanelWindow::RowAt(std::size_t index, HDC dc)
{
    Row& row = m_cache[index];
    if (row.ready) return row;
    const auto& items = Host::Get().panel().items;
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    const bool known = index < items.size() && items[index].state;
    row.text = known ? MakeRowText(*items[index].state, now) : RowText();
    // An item's own picture (a bitmap) is drawn at the card's image size, an icon smaller;
    // the text takes what the picture leaves.
    short type = PICTYPE_UNINITIALIZED;
    const bool card = known && items[index].state->image && VEXA_OK(items[index].state->image->get_Type(&type)) &&
                      type == PICTYPE_BITMAP;
    row.picture = card ? kCardPictureSize : kPictureSize;
    const int textWidth = std::max(Scale(kMinTextWidth), m_textWidth - Scale(row.picture - kPictureSize));
    TextMeasure measure = MeasureIn(dc);
    {
        SelectIn s(dc, m_headingFont.get());
        row.heading = WrapText(row.text.heading, textWidth, kHeadingLines, measure);
    }
    {
        SelectIn s(dc, m_bodyFont.get());
        row.body = WrapText(row.text.body, textWidth, kBodyLines, measure);
    }
    {
        SelectIn s(dc, m_timeFont.get());
        std::wstring line = row.text.time;
        if (!row.text.site.empty()) line += (line.empty() ? L"" : L"  \u00B7  ") + row.text.site;
        row.text.time = FitLine(line, textWidth, measure);
    }
    row.ready = true;
    return row;
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
                    card.top + Scale(kCardPadding), Scale(row.picture));

    int x = card.left + Scale(kCardPadding) + Scale(row.picture) + Scale(kPictureGap);
    int right = card.left + Scale(kCardPadding) + Scale(kPictureSize) + Scale(kPictureGap) + m_textWidth;
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

// Drawn off screen, then copied: no flicker while rows scroll or arrive.
LRESULT PanelWindow::OnPaint()
{
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(m_hWnd, &ps);
    RECT client = {};
    GetClientRect(m_hWnd, &client);
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

} // namespace host
