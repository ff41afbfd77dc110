// The shared WinINet session: opened on demand, closed when the module is idle.
#include "net/internetsession.h"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "com/check.h"
#include "com/module.h"
#include "version.h"

namespace vexa {

const wchar_t kUserAgent[] = L"Vexa/" VEXA_VERSION_TEXT;

namespace {
SRWLOCK g_sessionLock = SRWLOCK_INIT;
HINTERNET g_session = nullptr;
// The requests kept under g_sessionLock, longest kept first; each one is the session's child.
// On the heap, made by the first request kept and freed with the session by the idle hook:
// never by a destructor at DLL detach, where closing a WinINet handle can hang the process.
using KeptRequests = std::vector<std::pair<std::wstring, KeptRequest>>;
KeptRequests* g_kept = nullptr;
constexpr std::size_t kKeptLimit = 64;
} // namespace

HINTERNET SharedInternetSession()
{
    // From the first session on, DllCanUnloadNow closes an idle one (listed once).
    static const bool closedWhenIdle =
        Module::AddIdleFunc([](void*) { CloseIdleInternetSession(); }, nullptr);
    (void)closedWhenIdle;
    srwlock_exclusive_guard held(g_sessionLock);
    if (!g_session) {
        g_session = InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
        if (g_session) {
            BOOL decode = TRUE;
            InternetSetOptionW(g_session, INTERNET_OPTION_HTTP_DECODING, &decode, sizeof decode);
        }
    }
    return g_session;
}

bool CloseIdleInternetSession() noexcept
{
    // Closed outside the lock, the kept requests before the session they belong to.
    unique_hinternet session;
    std::unique_ptr<KeptRequests> kept;
    srwlock_exclusive_guard held(g_sessionLock);
    // A worker opens the session only while it holds a module lock: with none held, no
    // download uses it, and the next one opens a new one.
    if (Module::LockCount() == 0) {
        kept.reset(std::exchange(g_kept, nullptr));
        session.reset(std::exchange(g_session, nullptr));
    }
    return !g_session;
}

KeptRequest TakeKeptRequest(const std::wstring& url) noexcept
{
    KeptRequest taken;
    srwlock_exclusive_guard held(g_sessionLock);
    if (!g_kept) return taken;
    auto found = std::find_if(g_kept->begin(), g_kept->end(), [&url](const auto& kept) { return kept.first == url; });
    if (found != g_kept->end()) {
        taken = std::move(found->second);
        g_kept->erase(found);
    }
    return taken;
}

void KeepRequest(const std::wstring& url, KeptRequest kept) noexcept
{
    KeptRequest closed; // the one that makes room, closed outside the lock
    srwlock_exclusive_guard held(g_sessionLock);
    if (!g_session || !kept.request) return;
    // No room to keep it (reported): it is closed, as it would have been.
    VEXA_TRY
        if (!g_kept) g_kept = new KeptRequests();
        if (g_kept->size() >= kKeptLimit) {
            closed = std::move(g_kept->front().second);
            g_kept->erase(g_kept->begin());
        }
        g_kept->emplace_back(url, std::move(kept));
    VEXA_CATCH_LOG
}

std::size_t KeptRequestCount() noexcept
{
    srwlock_shared_guard held(g_sessionLock);
    return g_kept ? g_kept->size() : 0;
}

bool HasInternetSession() noexcept
{
    srwlock_shared_guard held(g_sessionLock);
    return g_session != nullptr;
}

} // namespace vexa
