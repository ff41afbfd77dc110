// The shared WinINet session: opened on demand, closed when the module is idle.
#include "feeds/internetsession.h"

#include <utility>

#include "com/module.h"
#include "version.h"

namespace vexa {

const wchar_t kUserAgent[] = L"Vexa/" VEXA_VERSION_TEXT;

namespace {
SRWLOCK g_sessionLock = SRWLOCK_INIT;
HINTERNET g_session = nullptr;
} // namespace

HINTERNET SharedInternetSession()
{
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
    unique_hinternet session;
    srwlock_exclusive_guard held(g_sessionLock);
    // A worker opens the session only while it holds a module lock: with none held, no
    // download uses it, and the next one opens a new one.
    if (Module::LockCount() == 0) session.reset(std::exchange(g_session, nullptr));
    return !g_session;
}

bool HasInternetSession() noexcept
{
    srwlock_shared_guard held(g_sessionLock);
    return g_session != nullptr;
}

} // namespace vexa
