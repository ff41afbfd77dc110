#include "com/window.h"

#include <initializer_list>

#include "com/check.h"

namespace vexa {

WindowBase* WindowBase::Attach(HWND window, UINT message, LPARAM lParam, int slot, UINT creation) noexcept
{
    if (message == creation) {
        auto* self = reinterpret_cast<WindowBase*>(
            creation == WM_NCCREATE ? reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams
                                    : reinterpret_cast<void*>(lParam));
        if (self) {
            SetWindowLongPtrW(window, slot, reinterpret_cast<LONG_PTR>(self));
            self->m_hWnd = window;
        }
        return self;
    }
    auto* self = reinterpret_cast<WindowBase*>(GetWindowLongPtrW(window, slot));
    if (self && message == WM_NCDESTROY) {
        // The window goes away (perhaps with its parent): forget it.
        SetWindowLongPtrW(window, slot, 0);
        if (self->m_hWnd == window) self->m_hWnd = nullptr;
        return nullptr;
    }
    return self;
}

LRESULT CALLBACK WindowBase::WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept
{
    WindowBase* self = Attach(window, message, lParam, GWLP_USERDATA, WM_NCCREATE);
    // Nothing may unwind through the window manager: a handler that throws (out of memory)
    // is reported and the message counts as handled.
    VEXA_TRY
    LRESULT result = 0;
    if (self && self->OnMessage(message, wParam, lParam, result))
        return result;
    return DefWindowProcW(window, message, wParam, lParam);
    VEXA_CATCH_RETURN(0)
}

INT_PTR CALLBACK WindowBase::DialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept
{
    WindowBase* self = Attach(window, message, lParam, DWLP_USER, WM_INITDIALOG);
    LRESULT result = 0;
    // As above; a message whose handler threw goes to the dialog manager.
    VEXA_TRY
    if (!self || !self->OnMessage(message, wParam, lParam, result))
        return FALSE; // also messages before WM_INITDIALOG (WM_SETFONT) and after WM_NCDESTROY
    VEXA_CATCH_RETURN(FALSE)
    if (message == WM_INITDIALOG)
        return static_cast<INT_PTR>(result);
    SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
    return TRUE;
}

void WindowBase::DestroyWindowNow() noexcept
{
    HWND window = m_hWnd;
    if (!window) return;
    m_hWnd = nullptr;
    if (!IsWindow(window)) return;
    // A window keeps the object in its user data, a dialog in DWLP_USER: clear the one
    // that holds it.
    for (int slot : {GWLP_USERDATA, static_cast<int>(DWLP_USER)})
        if (GetWindowLongPtrW(window, slot) == reinterpret_cast<LONG_PTR>(this))
            SetWindowLongPtrW(window, slot, 0);
    DestroyWindow(window);
}

} // namespace vexa
