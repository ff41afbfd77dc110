// A stream over bytes that the caller keeps: what the platform's reader reads a document in
// memory through, with no copy of the whole document first.
#pragma once
#include <windows.h>
#include <objidl.h>
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "format/uncounted.h"

namespace vexa {

// The bytes of one document: reads are copied straight from the caller's bytes. Its owner
// keeps it alive while the reader reads (nothing is counted), and it only ever reads.
class CByteStream final : public UncountedUnknown<IStream, &IID_IStream> {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv && IsEqualIID(riid, IID_ISequentialStream)) {
            *ppv = static_cast<IStream*>(this);
            return S_OK;
        }
        return UncountedUnknown::QueryInterface(riid, ppv);
    }
    STDMETHODIMP Read(void* buffer, ULONG size, ULONG* read) override
    {
        if (!buffer)
            return STG_E_INVALIDPOINTER;
        const ULONG taken = static_cast<ULONG>(std::min<std::size_t>(size, m_size - m_at));
        if (taken)
            std::memcpy(buffer, m_data + m_at, taken);
        m_at += taken;
        if (read)
            *read = taken;
        return S_OK;
    }
    STDMETHODIMP Write(const void*, ULONG, ULONG*) override { return STG_E_ACCESSDENIED; }
    STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override
    {
        LONGLONG base = 0;
        if (origin == STREAM_SEEK_CUR)
            base = static_cast<LONGLONG>(m_at);
        else if (origin == STREAM_SEEK_END)
            base = static_cast<LONGLONG>(m_size);
        else if (origin != STREAM_SEEK_SET)
            return STG_E_INVALIDFUNCTION;
        const LONGLONG at = base + move.QuadPart;
        if (at < 0)
            return STG_E_INVALIDFUNCTION;
        m_at = static_cast<std::size_t>(std::min<ULONGLONG>(static_cast<ULONGLONG>(at), m_size));
        if (position)
            position->QuadPart = m_at;
        return S_OK;
    }
    STDMETHODIMP SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    STDMETHODIMP Commit(DWORD) override { return S_OK; }
    STDMETHODIMP Revert() override { return E_NOTIMPL; }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
    STDMETHODIMP Stat(STATSTG* stat, DWORD) override
    {
        if (!stat)
            return STG_E_INVALIDPOINTER;
        *stat = STATSTG();
        stat->type = STGTY_STREAM;
        stat->cbSize.QuadPart = m_size;
        return S_OK;
    }
    STDMETHODIMP Clone(IStream**) override { return E_NOTIMPL; }

    // The bytes that the next reads give, from their start; the caller keeps them alive.
    void Reset(const char* data, std::size_t size) noexcept
    {
        m_data = data;
        m_size = size;
        m_at = 0;
    }

private:
    const char* m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_at = 0;
};

} // namespace vexa
