// The sidebar's panel as a window: a narrow top-level window docked to the right edge of the
// work area, with a caption band (the plugin's large icon, its title, a settings button) and
// one row per content item below. It reads the host's panel model and never changes it;
// what the person asks for (open an item, refresh, settings) goes back through Commands.
#pragma once
#include <windows.h>
#include <ocidl.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "com/owners.h"
#include "com/ptr.h"
#include "com/window.h"
#include "host/lib/panelview.h"

namespace host {

class PanelWindow final : public vexa::WindowBase {
public:
    struct Commands {
        std::function<void(std::size_t index)> open; // the item at that place in the panel
        std::function<void()> refresh;
        std::function<void()> settings;
        std::function<void()> close;
    };

    explicit PanelWindow(Commands commands);
    ~PanelWindow() override;

    // Creates the window docked at the right of the primary monitor's work area and shows it.
    bool Create();
    HWND hwnd() const { return m_hWnd; }

    // Catches up with the host's panel (title, icon, items, clearings). Cheap when nothing
    // changed: call it after every dispatched message.
    void Sync();

    // A line under the title in the caption band, e.g. why the plugin did not start.
    void SetStatus(const std::wstring& text);

    // Reads the feeds' health records again; the window also does it every few seconds.
    // When a feed fails, the caption band shows a mark whose tooltip lists the failing feeds.
    void ReadHealth();
    RECT HealthMark() const;                                 // empty when no feed fails
    const std::wstring& HealthTip() const { return m_healthTip; } // empty when no feed fails

    // Makes the process per-monitor DPI aware (where the system knows how).
    static void EnableDpiAwareness();

    // What the window shows now, in client coordinates (for tests and the program's own use).
    UINT Dpi() const { return m_dpi; }
    int CaptionHeight() const { return m_captionHeight; }
    std::size_t RowCount() const { return m_cache.size(); }
    long Selected() const { return m_rows.selected(); }
    RECT RowRect(std::size_t index) const;   // may lie outside the view
    RECT SettingsButton() const;
    bool MarkedNew(std::size_t index) const { return MarkedNew(index, GetTickCount()); }
    std::size_t PaintedRows() const { return m_paintedRows; } // rows drawn by the last paint
    std::size_t WrappedRows() const;                           // rows whose text is laid out

private:
    bool OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    LRESULT Handle(UINT msg, WPARAM wParam, LPARAM lParam);
    // One method a message; those that do not handle it all give it the default processing.
    LRESULT OnPaint();
    LRESULT OnSize();
    LRESULT OnNotify(WPARAM wParam, LPARAM lParam);
    LRESULT OnGetMinMaxInfo(LPARAM lParam);
    LRESULT OnNcHitTest(WPARAM wParam, LPARAM lParam);
    LRESULT OnDpiChanged(WPARAM wParam, LPARAM lParam);
    LRESULT OnTimer(WPARAM wParam, LPARAM lParam);
    LRESULT OnMouseWheel(WPARAM wParam);
    LRESULT OnVScroll(WPARAM wParam);
    LRESULT OnKeyDown(WPARAM wParam, LPARAM lParam);
    LRESULT OnButtonDown(LPARAM lParam);
    LRESULT OnButtonUp(LPARAM lParam);
    LRESULT OnMouseMove(LPARAM lParam);
    LRESULT OnMouseLeave();
    LRESULT OnContextMenu(LPARAM lParam);
    LRESULT OnClose();

    struct Row {
        bool ready = false;
        RowText text;
        std::vector<std::wstring> heading; // wrapped, at most two lines
        std::vector<std::wstring> body;    // wrapped, at most three lines
        int picture = 0;                   // the picture's side at 96 dpi: an icon's, or a card's
    };

    int Scale(int pixels) const { return MulDiv(pixels, m_dpi, 96); }
    void MakeFonts();
    void Layout();
    void UpdateScrollBar();
    void Paint(HDC dc, const RECT& client);
    void PaintCaption(HDC dc, const RECT& band);
    void PaintHealthMark(HDC dc);
    void PlaceHealthTool();
    void PaintRow(HDC dc, std::size_t index, const RECT& rect, DWORD now);
    Row& RowAt(std::size_t index, HDC dc);
    long RowAtPoint(POINT client) const;
    void Select(long index);
    void Open(long index);
    void Run(const std::function<void()>& command);
    void ShowMenu(POINT screen, long row);
    void Scrolled();
    bool MarkedNew(std::size_t index, DWORD now) const;

    Commands m_commands;
    HWND m_scrollBar = nullptr;
    UINT m_dpi = 96;
    vexa::unique_hfont m_titleFont, m_statusFont, m_headingFont, m_bodyFont, m_timeFont;
    int m_captionHeight = 0;
    int m_lineHeading = 0, m_lineBody = 0, m_lineTime = 0;
    int m_textWidth = 0;

    RowList m_rows;
    std::vector<Row> m_cache;        // row texts, wrapped for m_textWidth
    std::vector<DWORD> m_addedAt;    // tick of arrival of each item, for the "new" mark
    int m_seenClears = -1;
    std::wstring m_title;
    std::wstring m_status;
    vexa::com_ptr<IPicture> m_icon;
    long m_pressed = -1;             // the row under a left button press
    bool m_pressedSettings = false;
    bool m_hotSettings = false;
    std::size_t m_paintedRows = 0;
    HWND m_tooltip = nullptr;        // owned by the window, destroyed with it
    std::wstring m_healthTip;
};

} // namespace host
