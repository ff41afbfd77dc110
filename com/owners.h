// Owners for the platform's handles and allocations: BSTR, VARIANT, HKEY, task and local memory, icons,
// GDI objects and their selection into a device context, held locks, SAFEARRAY, and module
// references.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <objbase.h>
#include <new>
#include <string>
#include <utility>

namespace vexa {

// One move-only owner for a handle with a close function.
template <typename H, auto Close, H Invalid = H{}>
class unique_any {
public:
    unique_any() noexcept = default;
    explicit unique_any(H h) noexcept : m_h(h) {}
    unique_any(unique_any&& other) noexcept : m_h(std::exchange(other.m_h, Invalid)) {}
    unique_any& operator=(unique_any&& other) noexcept
    {
        if (this != &other) reset(std::exchange(other.m_h, Invalid));
        return *this;
    }
    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    ~unique_any() { reset(); }

    H get() const noexcept { return m_h; }
    explicit operator bool() const noexcept { return m_h != Invalid; }
    H* put() noexcept { reset(); return &m_h; }
    H release() noexcept { return std::exchange(m_h, Invalid); }
    void reset(H h = Invalid) noexcept
    {
        H old = std::exchange(m_h, h);
        if (old != Invalid) Close(old);
    }

private:
    H m_h = Invalid;
};

namespace detail {
inline void FreeBstr(BSTR b) noexcept { SysFreeString(b); }
inline void CloseKey(HKEY k) noexcept { RegCloseKey(k); }
inline void FreeTask(void* p) noexcept { CoTaskMemFree(p); }
inline void FreeLocal(void* p) noexcept { LocalFree(p); }
inline void DestroyIconHandle(HICON h) noexcept { DestroyIcon(h); }
inline void DestroyWindowHandle(HWND h) noexcept { DestroyWindow(h); }
inline void CloseKernelHandle(HANDLE h) noexcept { CloseHandle(h); }
inline void UnloadModule(HMODULE h) noexcept { FreeLibrary(h); }
inline void DeleteMemoryDc(HDC h) noexcept { DeleteDC(h); }
inline void DestroySafeArray(SAFEARRAY* a) noexcept { SafeArrayDestroy(a); }
template <typename T>
void DeleteGdiObject(T h) noexcept { DeleteObject(h); }
} // namespace detail

using unique_hkey = unique_any<HKEY, detail::CloseKey>;
using unique_cotaskmem = unique_any<void*, detail::FreeTask>;
using unique_hlocal = unique_any<void*, detail::FreeLocal>; // FormatMessage's buffers
using unique_hicon = unique_any<HICON, detail::DestroyIconHandle>;
using unique_hwnd = unique_any<HWND, detail::DestroyWindowHandle>;
// Kernel objects (events, threads); null is the empty value.
using unique_handle = unique_any<HANDLE, detail::CloseKernelHandle>;
// A module loaded with LoadLibrary.
using unique_hmodule = unique_any<HMODULE, detail::UnloadModule>;
using unique_safearray = unique_any<SAFEARRAY*, detail::DestroySafeArray>;

// GDI objects that the code created (fonts, brushes, pens, bitmaps, regions).
template <typename T>
using unique_gdi = unique_any<T, detail::DeleteGdiObject<T>>;
using unique_hfont = unique_gdi<HFONT>;
using unique_hbrush = unique_gdi<HBRUSH>;
using unique_hpen = unique_gdi<HPEN>;
using unique_hbitmap = unique_gdi<HBITMAP>;
using unique_hrgn = unique_gdi<HRGN>;
// A memory device context made with CreateCompatibleDC.
using unique_hdc = unique_any<HDC, detail::DeleteMemoryDc>;

// A device context got with GetDC, released to its window at the end.
class unique_window_dc {
public:
    explicit unique_window_dc(HWND window) noexcept : m_window(window), m_dc(GetDC(window)) {}
    ~unique_window_dc() { if (m_dc) ReleaseDC(m_window, m_dc); }
    unique_window_dc(const unique_window_dc&) = delete;
    unique_window_dc& operator=(const unique_window_dc&) = delete;
    HDC get() const noexcept { return m_dc; }
    explicit operator bool() const noexcept { return m_dc != nullptr; }

private:
    HWND m_window;
    HDC m_dc;
};

// An object selected into a device context; the one it replaced is selected back at the
// end, before the selected object's own owner (declared earlier) deletes it.
class unique_select_object {
public:
    unique_select_object(HDC dc, HGDIOBJ object) noexcept
        : m_dc(dc), m_previous(dc && object ? SelectObject(dc, object) : nullptr) {}
    ~unique_select_object() { if (m_previous) SelectObject(m_dc, m_previous); }
    unique_select_object(const unique_select_object&) = delete;
    unique_select_object& operator=(const unique_select_object&) = delete;

private:
    HDC m_dc;
    HGDIOBJ m_previous;
};

// A critical section that lives as long as its owner; Lock() holds it until the guard goes.
class CriticalSection {
public:
    CriticalSection() noexcept { InitializeCriticalSection(&m_section); }
    ~CriticalSection() { DeleteCriticalSection(&m_section); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    class Guard {
    public:
        explicit Guard(CRITICAL_SECTION& section) noexcept : m_section(&section) { EnterCriticalSection(m_section); }
        ~Guard() { LeaveCriticalSection(m_section); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        CRITICAL_SECTION* m_section;
    };
    [[nodiscard]] Guard Lock() noexcept { return Guard(m_section); }

private:
    CRITICAL_SECTION m_section;
};

// The text of a BSTR that someone else owns, embedded NULs included; empty for null.
inline std::wstring BstrText(BSTR text)
{
    return text ? std::wstring(text, SysStringLen(text)) : std::wstring();
}

// BSTR owner. Allocation failure leaves it empty: callers that must tell the difference
// test it against the source text.
class unique_bstr : public unique_any<BSTR, detail::FreeBstr> {
public:
    using unique_any::unique_any;
    static unique_bstr from(const wchar_t* text) { return unique_bstr(SysAllocString(text)); }
    static unique_bstr from(const std::wstring& text)
    {
        return unique_bstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    }
    // Like from(), but memory exhaustion throws std::bad_alloc instead of leaving it empty:
    // for texts that must not silently reach the host as null.
    static unique_bstr make(const std::wstring& text)
    {
        unique_bstr b = from(text);
        if (!b) throw std::bad_alloc();
        return b;
    }
    operator BSTR() const noexcept { return get(); }
    UINT length() const noexcept { return SysStringLen(get()); }
    std::wstring str() const { return BstrText(get()); }
};

// VARIANT owner: VariantInit on construction, VariantClear on destruction.
class unique_variant : public VARIANT {
public:
    unique_variant() noexcept { VariantInit(this); }
    ~unique_variant() { VariantClear(this); }
    unique_variant(const unique_variant&) = delete;
    unique_variant& operator=(const unique_variant&) = delete;
    VARIANT* put() noexcept { VariantClear(this); return this; }
    void reset() noexcept { VariantClear(this); }
};

// A held SRW lock, given back when the guard goes (also when what it guards throws): one
// template for the exclusive and the shared hold.
template <void(WINAPI* Acquire)(PSRWLOCK), void(WINAPI* Release)(PSRWLOCK)>
class srwlock_guard {
public:
    explicit srwlock_guard(SRWLOCK& lock) noexcept : m_lock(&lock) { Acquire(m_lock); }
    srwlock_guard(const srwlock_guard&) = delete;
    srwlock_guard& operator=(const srwlock_guard&) = delete;
    ~srwlock_guard() { Release(m_lock); }

private:
    SRWLOCK* m_lock;
};
using srwlock_exclusive_guard = srwlock_guard<AcquireSRWLockExclusive, ReleaseSRWLockExclusive>;
using srwlock_shared_guard = srwlock_guard<AcquireSRWLockShared, ReleaseSRWLockShared>;

// A loader reference on the module that holds some code: the module stays mapped while it is
// held. A thread of the module takes one before it starts and gives it back as its last act
// (ExitThread), so no code of the module runs after the module may be unloaded.
class unique_module_reference {
public:
    unique_module_reference() noexcept = default;
    unique_module_reference(unique_module_reference&& other) noexcept
        : m_module(std::exchange(other.m_module, nullptr)) {}
    unique_module_reference& operator=(unique_module_reference&& other) noexcept
    {
        if (this != &other) {
            reset();
            m_module = std::exchange(other.m_module, nullptr);
        }
        return *this;
    }
    unique_module_reference(const unique_module_reference&) = delete;
    unique_module_reference& operator=(const unique_module_reference&) = delete;
    ~unique_module_reference() { reset(); }

    // A reference on the module that holds `code`; empty when none could be had.
    static unique_module_reference ForCode(const void* code) noexcept
    {
        unique_module_reference held;
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, static_cast<LPCWSTR>(code),
                                &held.m_module))
            held.m_module = nullptr;
        return held;
    }
    explicit operator bool() const noexcept { return m_module != nullptr; }
    void reset() noexcept
    {
        if (HMODULE module = std::exchange(m_module, nullptr))
            FreeLibrary(module);
    }
    // Ends the calling thread and gives the reference back in one step.
    [[noreturn]] void ExitThread(DWORD code) noexcept
    {
        if (HMODULE module = std::exchange(m_module, nullptr))
            FreeLibraryAndExitThread(module, code);
        ::ExitThread(code);
    }

private:
    HMODULE m_module = nullptr;
};

} // namespace vexa
