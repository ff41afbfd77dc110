// com_ptr: the owner of one COM interface reference.
#pragma once
#include <unknwn.h>
#include <memory>
#include <utility>

namespace vexa {

template <typename T>
class com_ptr {
public:
    com_ptr() noexcept = default;
    com_ptr(std::nullptr_t) noexcept {}
    // Takes a new reference on p.
    explicit com_ptr(T* p) noexcept : m_p(p) { if (m_p) m_p->AddRef(); }
    com_ptr(const com_ptr& other) noexcept : com_ptr(other.m_p) {}
    com_ptr(com_ptr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ~com_ptr() { reset(); }

    com_ptr& operator=(const com_ptr& other) noexcept
    {
        // AddRef the new one before releasing the old one: they may be the same object.
        T* p = other.m_p;
        if (p) p->AddRef();
        reset();
        m_p = p;
        return *this;
    }
    com_ptr& operator=(com_ptr&& other) noexcept
    {
        if (this != std::addressof(other)) {
            reset();
            m_p = std::exchange(other.m_p, nullptr);
        }
        return *this;
    }
    com_ptr& operator=(std::nullptr_t) noexcept { reset(); return *this; }

    T* get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    operator T*() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    // Releases what is held and hands out the address for an out parameter.
    T** put() noexcept { reset(); return &m_p; }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    T** operator&() noexcept { return put(); }

    void reset() noexcept
    {
        if (T* p = std::exchange(m_p, nullptr))
            p->Release();
    }
    // Takes over a reference that the caller owns.
    void attach(T* p) noexcept { reset(); m_p = p; }
    T* detach() noexcept { return std::exchange(m_p, nullptr); }

    // Hands out a new reference through an out parameter.
    HRESULT copy_to(T** out) const noexcept
    {
        if (!out) return E_POINTER;
        *out = m_p;
        if (m_p) m_p->AddRef();
        return S_OK;
    }

    template <typename U>
    HRESULT query(com_ptr<U>& out, REFIID iid = __uuidof(U)) const noexcept
    {
        if (!m_p) { out.reset(); return E_POINTER; }
        return m_p->QueryInterface(iid, out.put_void());
    }
    template <typename U>
    com_ptr<U> try_query(REFIID iid = __uuidof(U)) const noexcept
    {
        com_ptr<U> out;
        if (m_p) m_p->QueryInterface(iid, out.put_void());
        return out;
    }

private:
    T* m_p = nullptr;
};

// Asks any interface pointer for another interface; a null source gives a null result.
template <typename U, typename T>
com_ptr<U> query(T* p, REFIID iid = __uuidof(U)) noexcept
{
    com_ptr<U> out;
    if (p) p->QueryInterface(iid, out.put_void());
    return out;
}

} // namespace vexa
