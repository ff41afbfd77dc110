#include "com/module.h"

#include <algorithm>
#include <type_traits>

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

// The termination list is run by the module object's destructor, which may come after any
// other static object of the module has gone. So the list is built at compile time and has
// nothing to destroy: it lives as long as the module's image. It may be touched from any
// thread that first loads type information.
constexpr std::size_t kMaxTermEntries = 16;
struct TermList {
    SRWLOCK lock;
    std::size_t count;
    TermEntry entries[kMaxTermEntries];
};
TermList g_terms = {SRWLOCK_INIT, 0, {}};
TermList g_idle = {SRWLOCK_INIT, 0, {}};
static_assert(std::is_trivially_destructible<TermList>::value, "the list outlives every destructor");
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

namespace {
bool AddEntry(TermList& list, Module::TermFunc func, void* arg) noexcept
{
    srwlock_exclusive_guard held(list.lock);
    if (!VEXA_VERIFY(list.count < kMaxTermEntries)) return false;
    list.entries[list.count++] = {func, arg};
    return true;
}
} // namespace

bool Module::AddTermFunc(TermFunc func, void* arg) noexcept { return AddEntry(g_terms, func, arg); }
bool Module::AddIdleFunc(TermFunc func, void* arg) noexcept { return AddEntry(g_idle, func, arg); }

void Module::RunIdleFuncs() noexcept
{
    TermEntry entries[kMaxTermEntries];
    std::size_t count = 0;
    {
        srwlock_shared_guard held(g_idle.lock);
        count = g_idle.count;
        std::copy(g_idle.entries, g_idle.entries + count, entries);
    }
    for (std::size_t i = 0; i < count; ++i) {
        VEXA_TRY
        entries[i].func(entries[i].arg);
        VEXA_CATCH_LOG
    }
}

void Module::Terminate() noexcept
{
    TermEntry entries[kMaxTermEntries];
    std::size_t count = 0;
    {
        srwlock_exclusive_guard held(g_terms.lock);
        count = g_terms.count;
        std::copy(g_terms.entries, g_terms.entries + count, entries);
        g_terms.count = 0;
    }
    // One callback that throws does not keep the others from running.
    while (count > 0) {
        const TermEntry& entry = entries[--count];
        VEXA_TRY
        entry.func(entry.arg);
        VEXA_CATCH_LOG
    }
}

} // namespace vexa
