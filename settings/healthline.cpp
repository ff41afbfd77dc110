#include "settings/healthline.h"

#include "com/module.h"
#include "com/owners.h"

namespace vexa {

namespace {

// The health line wraps within its control; what does not fit ends in an ellipsis.
constexpr UINT kHealthFormat = DT_LEFT | DT_TOP | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX;

bool FitsIn(HDC dc, const std::wstring& text, const RECT& box)
{
    RECT need = {0, 0, box.right - box.left, 0};
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &need, kHealthFormat | DT_CALCRECT);
    // A word wider than the box widens the rectangle rather than wrapping.
    return need.bottom <= box.bottom - box.top && need.right <= box.right - box.left;
}

} // namespace

std::wstring FitWithEllipsis(HDC dc, const std::wstring& text, const RECT& box)
{
    if (FitsIn(dc, text, box))
        return text;
    auto cut = [&text](std::size_t length) {
        // Never half of a surrogate pair before the ellipsis.
        if (length > 0 && length < text.size() && IS_HIGH_SURROGATE(text[length - 1]))
            --length;
        std::wstring start = text.substr(0, length);
        start.erase(start.find_last_not_of(L" \t") + 1);
        return start + L"...";
    };
    std::size_t low = 0, high = text.size();
    while (low < high) {
        const std::size_t middle = (low + high + 1) / 2;
        if (FitsIn(dc, cut(middle), box))
            low = middle;
        else
            high = middle - 1;
    }
    return cut(low);
}

void HealthLine::Read(const std::vector<std::wstring>& addresses)
{
    m_records = ReadFeedHealth(addresses);
}

void HealthLine::Show(HWND control, const std::vector<std::wstring>& list, int selected)
{
    m_line = FeedHealthLine(m_records, list, selected);
    SetWindowTextW(control, m_line.c_str());
    InvalidateRect(control, nullptr, TRUE);
}

void HealthLine::Draw(const DRAWITEMSTRUCT& item, HFONT font)
{
    RECT box = item.rcItem;
    FillRect(item.hDC, &box, GetSysColorBrush(COLOR_BTNFACE));
    unique_select_object selected(item.hDC, reinterpret_cast<HGDIOBJ>(font));
    SetBkMode(item.hDC, TRANSPARENT);
    SetTextColor(item.hDC, GetSysColor(COLOR_WINDOWTEXT));
    const std::wstring shown = FitWithEllipsis(item.hDC, m_line, box);
    m_cut = shown != m_line;
    DrawTextW(item.hDC, shown.c_str(), static_cast<int>(shown.size()), &box, kHealthFormat);
}

void HealthLine::AddTip(HWND page, HWND control)
{
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    m_tip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                            CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, page, nullptr,
                            Module::Instance(), nullptr);
    if (!m_tip) return;
    TTTOOLINFOW tool = {};
    tool.cbSize = TTTOOLINFOW_V2_SIZE; // what every version of the controls takes
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = page;
    tool.uId = reinterpret_cast<UINT_PTR>(control);
    tool.lpszText = LPSTR_TEXTCALLBACKW; // asked for when shown: the line as it is then
    SendMessageW(m_tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    RECT units = {0, 0, 160, 0};
    MapDialogRect(page, &units);
    SendMessageW(m_tip, TTM_SETMAXTIPWIDTH, 0, units.right);
}

void HealthLine::DestroyTip()
{
    HWND tip = m_tip;
    m_tip = nullptr;
    if (tip && IsWindow(tip))
        DestroyWindow(tip);
}

bool HealthLine::TipText(NMTTDISPINFOW* info) const
{
    if (!m_tip || !info || info->hdr.hwndFrom != m_tip || info->hdr.code != TTN_GETDISPINFOW)
        return false;
    // Only a line cut short has a tooltip: the whole of it.
    info->lpszText = const_cast<wchar_t*>(m_cut ? m_line.c_str() : L"");
    return true;
}

} // namespace vexa
