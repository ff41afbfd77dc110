#include "com/module.h"

#include <new>
#include <vector>

#include "com/check.h"
#include "com/owners.h"

namespace vexa {
namespace {
std::atomic<long> g_lockCount{0};
std::atomic<HINSTANCE> g_instance{nullptr};

struct TermEntry {
    Module::TermFunc func;
    void* arg;
};

// The termination list may be touched from any thread that first loads type information.
struct TermList {
    CriticalSection lock;
    std::vector<TermEntry> entries;
};
TermList& Terms()
{
    static TermList list;
    return list;
}
} // namespace

long Module::Lock() noexcept { return ++g_lockCount; }
long Module::Unlock() noexcept { return --g_lockCount; }
long Module::LockCount() noexcept { return g_lockCount.load(); }

HINSTANCE Module::Instance() noexcept
{
    HINSTANCE instance = g_instance.load();
    if (!instance) {
        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(&g_lockCount), &self);
        instance = self;
        g_instance.store(instance);
    }
    return instance;
}

std::wstring LoadResourceString(UINT id)
{
    const wchar_t* text = nullptr;
    int length = LoadStringW(Module::Instance(), id, reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 && text ? std::wstring(text, length) : std::wstring();
}

HRESULT LastErrorResult() noexcept
{
    DWORD error = GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

HRESULT ModuleFileName(HINSTANCE module, std::wstring* path) noexcept
{
    if (!path) return E_POINTER;
    wchar_t buffer[MAX_PATH];
    DWORD length = GetModuleFileNameW(module, buffer, MAX_PATH);
    if (length == 0) return LastErrorResult();
    if (length >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    VEXA_TRY
    path->assign(buffer, length);
    return S_OK;
    VEXA_COM_CATCH
}

void Module::SetInstance(HINSTANCE instance) noexcept { g_instance.store(instance); }

bool Module::AddTermFunc(TermFunc func, void* arg) noexcept
{
    TermList& list = Terms();
    auto held = list.lock.Lock();
    VEXA_TRY
    list.entries.push_back({func, arg});
    return true;
    VEXA_CATCH_RETURN(false)
}

void Module::Terminate() noexcept
{
    TermList& list = Terms();
    std::vector<TermEntry> entries;
    {
        auto held = list.lock.Lock();
        entries.swap(list.entries);
    }
    // One callback that throws does not keep the others from running.
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        VEXA_TRY
        it->func(it->arg);
        VEXA_CATCH_LOG
    }
}

} // namespace vexa
