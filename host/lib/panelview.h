// What the sidebar's panel window shows, without any pixels: the text of each row (feed HTML
// reduced to plain text), line wrapping against a measure, the row layout, hit testing and
// scrolling. The window (panelwindow) draws what this computes.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace host {

struct ItemState;

// Feed HTML as plain text: comments, tags and the contents of script and style elements
// removed, character references decoded, runs of white space collapsed to one blank, no
// blank at either end. A '<' that does not start a tag is text; an unclosed tag ends the text.
std::wstring HtmlToText(const std::wstring& html);

// The texts of one row, as the panel shows them (the item's own texts stay as they are).
struct RowText {
    std::wstring heading; // the heading, without the ": " the plugin ends it with
    std::wstring body;    // the snippet as plain text, less a first line that repeats the heading
                          // and a last line that is only the link
    std::wstring site;    // the host name of that link ("example.org"), empty without one
    std::wstring time;    // "14:05" today, "2026-12-07 14:05" another day, empty when unset
};

// now: the current local time, to tell today from other days.
RowText MakeRowText(const ItemState& item, const SYSTEMTIME& now);

// Measures text in some font: the number of characters of `text` that fit in `width`, and the
// width of a whole text.
struct TextMeasure {
    std::function<int(const wchar_t* text, int length, int width)> fit;
    std::function<int(const wchar_t* text, int length)> width;
};

// Breaks `text` into at most `maxLines` lines no wider than `width`, at blanks where it can
// and inside a word that is wider than a line. When the text does not fit, the last line
// ends in an ellipsis (U+2026). Never splits a surrogate pair; every line has at least one
// character, so even a tiny width makes progress.
std::vector<std::wstring> WrapText(const std::wstring& text, int width, int maxLines,
                                   const TextMeasure& measure);

// Whether the text reads right to left: its first letter is of a right-to-left script.
bool IsRightToLeft(const std::wstring& text);

// One line no wider than `width`, cut with an ellipsis where needed.
std::wstring FitLine(const std::wstring& text, int width, const TextMeasure& measure);

// The rows of the panel: equal heights, a scroll offset in pixels and a selection. All
// positions are client pixels below the caption band.
class RowList {
public:
    void setCount(std::size_t count);       // keeps the selection and offset in range
    void setMetrics(int rowHeight, int viewHeight);

    std::size_t count() const { return m_count; }
    int rowHeight() const { return m_rowHeight; }
    int viewHeight() const { return m_viewHeight; }
    int offset() const { return m_offset; }
    int maxOffset() const;
    int contentHeight() const;

    // -1 when nothing is selected.
    long selected() const { return m_selected; }
    void select(long index);                // clamps, scrolls the row into view; -1 clears
    void clearSelection() { m_selected = -1; }

    // Scrolls to `offset` (clamped); returns whether it moved.
    bool scrollTo(int offset);
    bool scrollBy(int pixels) { return scrollTo(m_offset + pixels); }
    // Mouse wheel: `delta` in WHEEL_DELTA units of 120, `linesPerNotch` rows' worth of text
    // lines turned into pixels at a third of a row each; a partial notch scrolls in proportion.
    bool wheel(int delta, int linesPerNotch);

    // The row at view position y, or -1 below the last row or outside the view.
    long hitTest(int y) const;
    // The rows that intersect the view: [first, last), empty when there are none.
    void visibleRange(std::size_t* first, std::size_t* last) const;
    // Top of row `index` in view coordinates.
    int rowTop(std::size_t index) const;

    // Keys: VK_UP, VK_DOWN, VK_PRIOR, VK_NEXT, VK_HOME, VK_END move the selection (and the
    // view with it); returns whether the key was one of them.
    bool key(UINT vk);

private:
    void ensureVisible(long index);

    std::size_t m_count = 0;
    int m_rowHeight = 1;
    int m_viewHeight = 0;
    int m_offset = 0;
    long m_selected = -1;
};

} // namespace host
