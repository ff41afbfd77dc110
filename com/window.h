// The one window-procedure thunk: every window of the project derives from WindowBase. The
// object is stored with the window when it is created (WM_NCCREATE for a window class,
// WM_INITDIALOG for a dialog), every later message goes to OnMessage, exceptions stop here,
// and the handle is forgotten at WM_NCDESTROY so no stale handle is ever used.
#pragma once
#include <windows.h>

namespace vexa {

class WindowBase {
public:
    WindowBase(const WindowBase&) = delete;
    WindowBase& operator=(const WindowBase&) = delete;

    // The window, or null while there is none.
    HWND Window() const noexcept { return m_hWnd; }

protected:
    WindowBase() = default;
    // Destroys a window still alive; it no longer reaches this object.
    virtual ~WindowBase() { DestroyWindowNow(); }

    // One message. Returns true when handled, with its result in result; otherwise the
    // default processing runs (DefWindowProc for a window, the dialog manager's for a
    // dialog). An exception is reported and the message counts as handled with 0 (a
    // window) or left to the dialog manager (a dialog).
    virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) = 0;

    // The procedure of a window class: create the window with CreationParam() as the
    // lpParam of CreateWindowEx.
    static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
    // The procedure of a dialog: create it with CreationParam() as the init parameter of
    // CreateDialogParam.
    static INT_PTR CALLBACK DialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;

    // This object as the procedures expect it: the WindowBase part, which is not at the
    // start of a class that has other bases first.
    void* CreationParam() noexcept { return this; }

    // Cuts the window off from this object, then destroys it.
    void DestroyWindowNow() noexcept;

    HWND m_hWnd = nullptr;

private:
    // Finds the object of a window, storing it at creation; null before and after.
    static WindowBase* Attach(HWND window, UINT message, LPARAM lParam, int slot, UINT creation) noexcept;
};

} // namespace vexa
