// Native build: the owning pointer as the store uses it.
#pragma once
#include <utility>

namespace vexa {
template <typename T>
class com_ptr {
public:
    com_ptr() = default;
    ~com_ptr() { reset(); }
    com_ptr(const com_ptr&) = delete;
    com_ptr& operator=(const com_ptr&) = delete;
    void attach(T* p) noexcept { reset(); m_p = p; }
    void reset() noexcept { if (m_p) std::exchange(m_p, nullptr)->Release(); }
    T* get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};
} // namespace vexa
