// The settings page's health line: the line for the selected feed (or the whole list) in an
// owner-drawn control, cut with an ellipsis to the control's size, and a tooltip that shows
// the whole of a line cut short. The wording is the health records' own (userdata).
#pragma once
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "userdata/feedhealth.h"

namespace vexa {

// The longest start of `text` that fits in `box` as the line is drawn, with "..." after it
// (the text itself when it fits whole).
std::wstring FitWithEllipsis(HDC dc, const std::wstring& text, const RECT& box);

class HealthLine {
public:
    // Reads the records of the list's addresses (when the page is activated).
    void Read(const std::vector<std::wstring>& addresses);
    // Shows in `control` the line for list[selected], or for the whole list (selected < 0).
    void Show(HWND control, const std::vector<std::wstring>& list, int selected);
    // Draws the line into its control, cut to fit.
    void Draw(const DRAWITEMSTRUCT& item, HFONT font);

    // The tooltip of `control`, a control of `page`; its owner is the page's frame (a page is
    // a child window), so it goes with the page, not with the frame.
    void AddTip(HWND page, HWND control);
    void DestroyTip();
    // Fills in the tooltip's text: the whole line when it was cut short, else nothing.
    // False when `info` is not the tooltip's question.
    bool TipText(NMTTDISPINFOW* info) const;

private:
    std::vector<FeedHealth> m_records; // read when the page is activated
    std::wstring m_line;               // the whole line; drawn cut to fit
    bool m_cut = false;                // the tooltip shows the whole line
    HWND m_tip = nullptr;              // owned by the page's window
};

} // namespace vexa
