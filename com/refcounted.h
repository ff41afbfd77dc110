// A reference count shared by the owners of an object that is not a COM object (a download
// held by its owner and its worker thread): the last Release deletes it. Works with com_ptr.
#pragma once
#include <atomic>

namespace vexa {

template <typename T>
class RefCounted {
public:
    unsigned long AddRef() noexcept { return static_cast<unsigned long>(++m_refs); }
    unsigned long Release() noexcept
    {
        const long refs = --m_refs;
        if (refs == 0)
            delete static_cast<T*>(this);
        return static_cast<unsigned long>(refs);
    }

protected:
    RefCounted() noexcept = default;
    ~RefCounted() = default;

private:
    std::atomic<long> m_refs{1}; // the creator's
};

} // namespace vexa
