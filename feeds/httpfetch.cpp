// WinINet downloads on worker threads: one session for the process, a connection and a request per
// job, the time-outs set on each request handle (WinINet ignores those of the session for them),
// HttpSendRequestEx to put the request on the wire and HttpEndRequest to wait for the answer.
#include "feeds/httpfetch.h"

#include <wininet.h>
#include <algorithm>
#include <cstdlib>
#include <cwctype>
#include <map>
#include <memory>
#include <new>
#include <utility>

#include "com/check.h"
#include "com/module.h"
#include "feeds/utf8.h"

namespace vexa {

const wchar_t kUserAgent[] = L"Vexa/1.0.0.1";

namespace {

constexpr int kUrlLimit = 999;
constexpr int kMaxConnections = 16;
constexpr int kMaxPerServer = 4;
// The owner ends a transfer that outlived its bound by this much itself: the worker's own
// time-out normally comes first.
constexpr ULONGLONG kExpirySlackMs = 500;

inline void CloseInternet(HINTERNET h) noexcept { InternetCloseHandle(h); }
using unique_hinternet = unique_any<HINTERNET, CloseInternet>;

// Holds an SRW lock exclusively until it goes, also when what it guards throws.
using ExclusiveHold = std::unique_ptr<SRWLOCK, void(WINAPI*)(PSRWLOCK)>;
ExclusiveHold HoldExclusive(SRWLOCK& lock) noexcept
{
    AcquireSRWLockExclusive(&lock);
    return ExclusiveHold(&lock, ReleaseSRWLockExclusive);
}

SRWLOCK g_limitsLock = SRWLOCK_INIT;
FetchLimits g_limits;
std::atomic<long> g_liveWorkers{0};

// The connections in use, in all and per server. A worker holds one slot from before its
// request is sent until its transfer ends.
struct ConnectionGate {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE freed = CONDITION_VARIABLE_INIT;
    int total = 0;
    std::map<std::wstring, int> perServer;
};
ConnectionGate& Gate()
{
    static ConnectionGate gate;
    return gate;
}

// One slot of the gate, given back when it goes.
class ConnectionSlot {
public:
    ConnectionSlot() = default;
    ConnectionSlot(const ConnectionSlot&) = delete;
    ConnectionSlot& operator=(const ConnectionSlot&) = delete;
    ~ConnectionSlot()
    {
        if (!m_held) return;
        ConnectionGate& gate = Gate();
        AcquireSRWLockExclusive(&gate.lock);
        --gate.total;
        auto found = gate.perServer.find(m_server);
        if (found != gate.perServer.end() && --found->second <= 0)
            gate.perServer.erase(found);
        ReleaseSRWLockExclusive(&gate.lock);
        WakeAllConditionVariable(&gate.freed);
    }

    // Waits for a free slot; false when `cancel` is signalled first.
    bool Acquire(const std::wstring& server, HANDLE cancel)
    {
        // Copied before anything is counted: a copy that throws leaves no slot taken.
        m_server = server;
        ConnectionGate& gate = Gate();
        ExclusiveHold held = HoldExclusive(gate.lock);
        for (;;) {
            auto found = gate.perServer.find(server);
            const int onServer = found == gate.perServer.end() ? 0 : found->second;
            if (gate.total < kMaxConnections && onServer < kMaxPerServer)
                break;
            if (WaitForSingleObject(cancel, 0) == WAIT_OBJECT_0)
                return false;
            SleepConditionVariableSRW(&gate.freed, &gate.lock, 100, 0);
        }
        ++gate.perServer[server];
        ++gate.total;
        m_held = true;
        return true;
    }

private:
    std::wstring m_server;
    bool m_held = false;
};

// One WinINet session for every download of the process (opening one costs more than a
// whole unchanged request on loopback); closed when the module goes.
SRWLOCK g_sessionLock = SRWLOCK_INIT;
HINTERNET g_session = nullptr;

void CloseSession(void*)
{
    // A worker keeps the module loaded, so one still counted here means the process is
    // ending with it cut off mid-call: its session is left alone.
    if (g_liveWorkers.load() > 0) return;
    AcquireSRWLockExclusive(&g_sessionLock);
    HINTERNET session = std::exchange(g_session, nullptr);
    ReleaseSRWLockExclusive(&g_sessionLock);
    if (session) InternetCloseHandle(session);
}

HINTERNET Session()
{
    AcquireSRWLockExclusive(&g_sessionLock);
    if (!g_session) {
        g_session = InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
        if (g_session) {
            BOOL decode = TRUE;
            InternetSetOptionW(g_session, INTERNET_OPTION_HTTP_DECODING, &decode, sizeof decode);
            if (!Module::AddTermFunc(CloseSession, nullptr)) {
                InternetCloseHandle(g_session);
                g_session = nullptr;
            }
        }
    }
    HINTERNET session = g_session;
    ReleaseSRWLockExclusive(&g_sessionLock);
    return session;
}

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix)
{
    for (std::size_t i = 0; prefix[i]; ++i)
        if (i >= text.size() || std::towlower(text[i]) != prefix[i])
            return false;
    return true;
}

bool IsHttps(const std::wstring& url) { return StartsWithNoCase(url, L"https:"); }

// A response header as text; empty when it is missing.
std::wstring QueryHeader(HINTERNET request, DWORD info)
{
    wchar_t buffer[512];
    DWORD size = sizeof buffer;
    DWORD index = 0;
    if (HttpQueryInfoW(request, info, buffer, &size, &index))
        return std::wstring(buffer, size / sizeof(wchar_t));
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return std::wstring();
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    index = 0;
    if (!HttpQueryInfoW(request, info, &text[0], &size, &index))
        return std::wstring();
    text.resize(size / sizeof(wchar_t));
    return text;
}

void SetTimeout(HINTERNET handle, DWORD option, DWORD ms)
{
    InternetSetOptionW(handle, option, &ms, sizeof ms);
}

DWORD Remaining(ULONGLONG deadline)
{
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, MAXDWORD));
}

bool IsRedirect(DWORD status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// An HTTP-date as a FILETIME count; false when it does not parse.
bool HttpDate(const std::wstring& text, ULONGLONG& time)
{
    SYSTEMTIME st;
    FILETIME ft;
    if (text.empty() || !InternetTimeToSystemTimeW(text.c_str(), &st, 0) || !SystemTimeToFileTime(&st, &ft))
        return false;
    time = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return true;
}

// The answer's own time (its Date), or the clock when it has none.
ULONGLONG AnswerTime(const std::wstring& date)
{
    ULONGLONG time = 0;
    if (HttpDate(date, time))
        return time;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

constexpr ULONGLONG kFileTimeSecond = 10000000;
constexpr ULONGLONG kLongestPauseMs = 24ull * 60 * 60 * 1000;

// Retry-After, in seconds or as an HTTP-date, in milliseconds from now (at most a day); 0
// when absent or unreadable.
ULONGLONG RetryAfterMs(const std::wstring& text, const std::wstring& date)
{
    if (text.empty())
        return 0;
    if (std::iswdigit(text[0])) {
        ULONGLONG seconds = 0;
        for (wchar_t c : text) {
            if (!std::iswdigit(c)) break;
            seconds = seconds * 10 + static_cast<ULONGLONG>(c - L'0');
            if (seconds > kLongestPauseMs / 1000) return kLongestPauseMs;
        }
        return seconds * 1000;
    }
    ULONGLONG when = 0;
    const ULONGLONG now = AnswerTime(date);
    if (!HttpDate(text, when) || when <= now)
        return 0;
    const ULONGLONG ms = (when - now) / 10000;
    return ms < kLongestPauseMs ? ms : kLongestPauseMs;
}

// A Last-Modified serves as a validator only when it is at least a second older than the
// answer: two versions within the same second could not be told apart by it.
bool UsableLastModified(const std::wstring& lastModified, const std::wstring& date)
{
    ULONGLONG modified = 0;
    return HttpDate(lastModified, modified) && modified + kFileTimeSecond <= AnswerTime(date);
}

} // namespace

FetchLimits GetFetchLimits() noexcept
{
    AcquireSRWLockShared(&g_limitsLock);
    FetchLimits limits = g_limits;
    ReleaseSRWLockShared(&g_limitsLock);
    return limits;
}

FetchLimits SetFetchLimits(const FetchLimits& limits) noexcept
{
    AcquireSRWLockExclusive(&g_limitsLock);
    FetchLimits old = g_limits;
    g_limits = limits;
    ReleaseSRWLockExclusive(&g_limitsLock);
    return old;
}

bool IsHttpAddress(const std::wstring& url) noexcept
{
    return StartsWithNoCase(url, L"http://") || StartsWithNoCase(url, L"https://");
}

bool WidenAddress(const std::string& url, std::wstring& wide)
{
    // The address as written (UTF-8), up to its first 999 characters, with the characters
    // outside ASCII percent-encoded for the wire.
    wide = utf::WireAddress<wchar_t>(url, kUrlLimit);
    return true;
}

// --- FetchJob ----------------------------------------------------------------------------

FetchJob::FetchJob(const FetchRequest& request, FetchJob* previous)
    : m_request(request), m_limits(GetFetchLimits()), m_previous(previous)
{
    if (m_previous) m_previous->AddRef();
    m_sent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_done.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_cancel.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

FetchJob::~FetchJob()
{
    if (m_previous) m_previous->Release();
}

FetchJob* FetchJob::Start(const FetchRequest& request, FetchJob* previous) noexcept
{
    FetchJob* job = nullptr;
    VEXA_TRY
        job = new FetchJob(request, previous);
    VEXA_CATCH_RETURN(nullptr)
    if (!job->m_sent || !job->m_done || !job->m_cancel) {
        job->Release();
        return nullptr;
    }
    // The worker's references: the job, the module's lock count (DllCanUnloadNow; given
    // back when the work is done), and the module itself, which the thread gives back as it
    // exits.
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(&FetchJob::ThreadProc), &job->m_module);
    job->AddRef();
    Module::Lock();
    ++g_liveWorkers;
    unique_handle thread(CreateThread(nullptr, 256 * 1024, &FetchJob::ThreadProc, job,
                                      STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!thread) {
        --g_liveWorkers;
        Module::Unlock();
        if (job->m_module) FreeLibrary(job->m_module);
        job->Release();
        job->Release();
        return nullptr;
    }
    return job;
}

ULONG FetchJob::AddRef() noexcept { return static_cast<ULONG>(++m_refs); }

ULONG FetchJob::Release() noexcept
{
    const long refs = --m_refs;
    if (refs == 0) delete this;
    return static_cast<ULONG>(refs);
}

bool FetchJob::IsSent() const noexcept { return WaitForSingleObject(m_sent.get(), 0) == WAIT_OBJECT_0; }
bool FetchJob::IsDone() const noexcept { return WaitForSingleObject(m_done.get(), 0) == WAIT_OBJECT_0; }

bool FetchJob::WaitUntil(ULONGLONG deadline) noexcept
{
    for (;;) {
        if (IsDone()) return true;
        const ULONGLONG now = GetTickCount64();
        const ULONGLONG transferEnd = m_deadline.load();
        if (transferEnd && now >= transferEnd + kExpirySlackMs) {
            // The worker is stuck in a call that its time-out did not end: the result is
            // what had arrived, and the worker finds the job ended when it comes back.
            AcquireSRWLockExclusive(&m_lock);
            if (!m_finished) {
                m_finished = true;
                m_result.outcome = m_result.status == 200 ? FetchResult::Outcome::Cut
                                                          : FetchResult::Outcome::Failed;
                m_result.error = ERROR_INTERNET_TIMEOUT;
            }
            ReleaseSRWLockExclusive(&m_lock);
            SetEvent(m_sent.get());
            SetEvent(m_done.get());
            return true;
        }
        if (now >= deadline) return false;
        ULONGLONG until = transferEnd ? std::min(deadline, transferEnd + kExpirySlackMs)
                                      : std::min(deadline, now + 250);
        WaitForSingleObject(m_done.get(), static_cast<DWORD>(std::min<ULONGLONG>(until - now, MAXDWORD - 1)));
    }
}

FetchResult FetchJob::TakeResult()
{
    AcquireSRWLockExclusive(&m_lock);
    FetchResult result;
    if (m_finished) std::swap(result, m_result);
    ReleaseSRWLockExclusive(&m_lock);
    return result;
}

void FetchJob::Abandon() noexcept
{
    SetEvent(m_cancel.get());
}

long FetchJob::LiveWorkers() noexcept { return g_liveWorkers.load(); }

bool FetchJob::WaitForWorkers(DWORD timeoutMs) noexcept
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (g_liveWorkers.load() > 0) {
        if (GetTickCount64() >= end) return false;
        Sleep(10);
    }
    return true;
}

DWORD WINAPI FetchJob::ThreadProc(void* param)
{
    auto* job = static_cast<FetchJob*>(param);
    HMODULE module = job->m_module;
    job->Run(); // catches whatever the transfer throws: nothing leaves this thread
    job->Release();
    --g_liveWorkers;
    // The module may be unloaded as soon as this thread lets go of it: nothing of it runs
    // after this call.
    if (module) FreeLibraryAndExitThread(module, 0);
    return 0;
}

// The whole work of a worker thread: nothing thrown in the transfer leaves it. A transfer
// that threw has failed.
void FetchJob::Run() noexcept
{
    FetchResult result;
    const HRESULT hr = [&]() noexcept -> HRESULT {
        VEXA_TRY
        Transfer(result);
        return S_OK;
        VEXA_COM_CATCH
    }();
    if (FAILED(hr)) {
        result.outcome = FetchResult::Outcome::Failed;
        result.error = hr == E_OUTOFMEMORY ? ERROR_OUTOFMEMORY : ERROR_INTERNET_INTERNAL_ERROR;
    }
    Finish(&result);
}

bool FetchJob::Cancelled() const noexcept
{
    return WaitForSingleObject(m_cancel.get(), 0) == WAIT_OBJECT_0;
}

void FetchJob::MarkSent() noexcept { SetEvent(m_sent.get()); }

bool FetchJob::Append(const char* data, std::size_t size)
{
    ExclusiveHold held = HoldExclusive(m_lock);
    if (m_finished) return false;
    // Out of memory fails the transfer (in Run) rather than passing a part for the whole.
    m_result.body.append(data, size);
    return true;
}

void FetchJob::Finish(FetchResult* result) noexcept
{
    AcquireSRWLockExclusive(&m_lock);
    if (!m_finished) {
        m_finished = true;
        m_result.outcome = result->outcome;
        m_result.status = result->status;
        m_result.error = result->error;
        m_result.etag = std::move(result->etag);
        m_result.lastModified = std::move(result->lastModified);
        m_result.retryAfterMs = result->retryAfterMs;
    }
    ReleaseSRWLockExclusive(&m_lock);
    // The lock count goes before anyone can see the job ended; the module itself stays
    // mapped by the thread's own reference until the thread is gone.
    Module::Unlock();
    SetEvent(m_sent.get());
    SetEvent(m_done.get());
}

void FetchJob::Transfer(FetchResult& result)
{
    using Outcome = FetchResult::Outcome;
    result.outcome = Outcome::Failed;
    auto fail = [&result](DWORD error) {
        result.outcome = Outcome::Failed;
        result.error = error ? error : ERROR_INTERNET_INTERNAL_ERROR;
    };

    // Requests leave in list order: the one before goes on the wire first. One that cannot
    // connect holds the rest back no longer than the connect time.
    if (m_previous) {
        HANDLE waits[2] = {m_previous->m_sent.get(), m_cancel.get()};
        WaitForMultipleObjects(2, waits, FALSE, m_limits.connectMs);
        m_previous->Release();
        m_previous = nullptr;
    }

    std::wstring url = m_request.url.substr(0, m_request.url.find(L'#'));
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = 1;
    parts.dwUrlPathLength = 1;
    parts.dwExtraInfoLength = 1;
    if (!IsHttpAddress(url) || !InternetCrackUrlW(url.c_str(), 0, 0, &parts) || !parts.lpszHostName)
        return fail(ERROR_INTERNET_INVALID_URL);
    std::wstring server(parts.lpszHostName, parts.dwHostNameLength);
    for (wchar_t& c : server) c = static_cast<wchar_t>(std::towlower(c));
    server += L":" + std::to_wstring(parts.nPort);

    ConnectionSlot slot;
    if (Cancelled() || !slot.Acquire(server, m_cancel.get()))
        return fail(ERROR_INTERNET_OPERATION_CANCELLED);

    const ULONGLONG deadline = GetTickCount64() + m_limits.wholeMs;
    m_deadline.store(deadline);

    HINTERNET session = Session();
    if (!session) return fail(GetLastError());
    BOOL decode = TRUE;

    std::wstring headers = L"Accept-Encoding: gzip, deflate\r\n";
    if (!m_request.etag.empty())
        headers += L"If-None-Match: " + m_request.etag + L"\r\n";
    if (!m_request.lastModified.empty())
        headers += L"If-Modified-Since: " + m_request.lastModified + L"\r\n";

    unique_hinternet connection;
    unique_hinternet request;
    for (int hop = 0;; ++hop) {
        if (hop > 0) {
            parts = URL_COMPONENTSW{};
            parts.dwStructSize = sizeof parts;
            parts.dwHostNameLength = 1;
            parts.dwUrlPathLength = 1;
            parts.dwExtraInfoLength = 1;
            if (!InternetCrackUrlW(url.c_str(), 0, 0, &parts) || !parts.lpszHostName)
                return fail(ERROR_INTERNET_INVALID_URL);
        }
        const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
        std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
        std::wstring object(parts.lpszUrlPath ? parts.lpszUrlPath : L"", parts.dwUrlPathLength);
        if (object.empty()) object = L"/";
        if (parts.lpszExtraInfo)
            object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);

        request.reset();
        connection.reset(InternetConnectW(session, host.c_str(), parts.nPort, nullptr, nullptr,
                                          INTERNET_SERVICE_HTTP, 0, 0));
        if (!connection) return fail(GetLastError());
        // Redirects are followed here, where their number and their targets are checked.
        // Certificates are checked by the platform as always.
        DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI |
                      INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_AUTO_REDIRECT;
        if (secure) flags |= INTERNET_FLAG_SECURE;
        request.reset(HttpOpenRequestW(connection.get(), L"GET", object.c_str(), nullptr, nullptr,
                                       nullptr, flags, 0));
        if (!request) return fail(GetLastError());

        DWORD remaining = Remaining(deadline);
        if (remaining == 0 || Cancelled()) return fail(ERROR_INTERNET_TIMEOUT);
        SetTimeout(request.get(), INTERNET_OPTION_CONNECT_TIMEOUT, std::min(m_limits.connectMs, remaining));
        SetTimeout(request.get(), INTERNET_OPTION_SEND_TIMEOUT, std::min(m_limits.connectMs, remaining));
        SetTimeout(request.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, std::min(m_limits.idleMs, remaining));
        InternetSetOptionW(request.get(), INTERNET_OPTION_HTTP_DECODING, &decode, sizeof decode);
        if (!HttpAddRequestHeadersW(request.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                                    HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE))
            return fail(GetLastError());

        if (!HttpSendRequestExW(request.get(), nullptr, nullptr, 0, 0))
            return fail(GetLastError());
        MarkSent();
        if (!HttpEndRequestW(request.get(), nullptr, 0, 0))
            return fail(GetLastError());

        DWORD status = 0;
        DWORD size = sizeof status;
        if (!HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
            return fail(GetLastError());
        result.status = status;
        AcquireSRWLockExclusive(&m_lock);
        m_result.status = status;
        ReleaseSRWLockExclusive(&m_lock);

        if (IsRedirect(status)) {
            std::wstring location = QueryHeader(request.get(), HTTP_QUERY_LOCATION);
            if (!location.empty()) {
                if (hop >= m_limits.maxRedirects) return fail(ERROR_HTTP_REDIRECT_FAILED);
                wchar_t combined[INTERNET_MAX_URL_LENGTH];
                DWORD length = INTERNET_MAX_URL_LENGTH;
                if (!InternetCombineUrlW(url.c_str(), location.c_str(), combined, &length, ICU_NO_ENCODE))
                    return fail(ERROR_HTTP_REDIRECT_FAILED);
                std::wstring next(combined, length);
                next = next.substr(0, next.find(L'#'));
                // Only to http or https, and never from https down to http.
                if (!IsHttpAddress(next) || (IsHttps(url) && !IsHttps(next)))
                    return fail(ERROR_HTTP_REDIRECT_FAILED);
                url = std::move(next);
                continue;
            }
        }
        break;
    }

    result.etag = QueryHeader(request.get(), HTTP_QUERY_ETAG);
    {
        const std::wstring date = QueryHeader(request.get(), HTTP_QUERY_DATE);
        std::wstring lastModified = QueryHeader(request.get(), HTTP_QUERY_LAST_MODIFIED);
        if (UsableLastModified(lastModified, date))
            result.lastModified = std::move(lastModified);
        result.retryAfterMs = RetryAfterMs(QueryHeader(request.get(), HTTP_QUERY_RETRY_AFTER), date);
    }
    result.outcome = Outcome::Answered;
    if (result.status != 200)
        return; // only a 200's body is read

    std::size_t total = 0;
    char buffer[16 * 1024];
    for (;;) {
        DWORD remaining = Remaining(deadline);
        if (remaining == 0 || Cancelled()) {
            result.outcome = Outcome::Cut;
            result.error = ERROR_INTERNET_TIMEOUT;
            return;
        }
        SetTimeout(request.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, std::min(m_limits.idleMs, remaining));
        // A read waits until it has filled its buffer: ask only for what has arrived, so a
        // slow body is kept as it comes (and what came before a cut is not lost).
        DWORD available = 0;
        if (!InternetQueryDataAvailable(request.get(), &available, 0, 0)) {
            result.outcome = Outcome::Cut;
            result.error = GetLastError();
            return;
        }
        DWORD read = 0;
        const DWORD want = available ? std::min<DWORD>(available, sizeof buffer) : 1;
        if (!InternetReadFile(request.get(), buffer, want, &read)) {
            result.outcome = Outcome::Cut;
            result.error = GetLastError();
            return;
        }
        if (read == 0) break;
        std::size_t take = std::min<std::size_t>(read, m_limits.maxBytes - total);
        if (!Append(buffer, take)) return;
        total += take;
        if (take < read) {
            result.outcome = Outcome::Cut;
            result.error = ERROR_FILE_TOO_LARGE;
            return;
        }
    }
    // A body shorter than it announced was cut (only an undecoded length can be compared).
    if (QueryHeader(request.get(), HTTP_QUERY_CONTENT_ENCODING).empty()) {
        std::wstring length = QueryHeader(request.get(), HTTP_QUERY_CONTENT_LENGTH);
        if (!length.empty() && total < std::wcstoull(length.c_str(), nullptr, 10)) {
            result.outcome = Outcome::Cut;
            result.error = ERROR_INTERNET_CONNECTION_ABORTED;
        }
    }
}

} // namespace vexa
