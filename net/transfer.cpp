// The transfer of one download: a connection and a request per hop, the time-outs set on each
// request handle (WinINet ignores those of the session for them), HttpSendRequestEx to put the
// request on the wire and HttpEndRequest to wait for the answer.
#include "net/transfer.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "com/owners.h"
#include "net/httprules.h"
#include "net/internetsession.h"

namespace vexa {

namespace {

SRWLOCK g_limitsLock = SRWLOCK_INIT;
FetchLimits g_limits;

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

} // namespace

FetchLimits GetFetchLimits() noexcept
{
    srwlock_shared_guard held(g_limitsLock);
    return g_limits;
}

FetchLimits SetFetchLimits(const FetchLimits& limits) noexcept
{
    srwlock_exclusive_guard held(g_limitsLock);
    return std::exchange(g_limits, limits);
}

namespace {

using Outcome = FetchResult::Outcome;
using Bound = FetchResult::Bound;

// One transfer's state through its phases: a request opened per hop (or the one kept from the
// last download), sent with its redirects followed, then the answer's headers and body read.
class HttpTransfer {
public:
    HttpTransfer(const FetchRequest& request, const FetchLimits& limits, ULONGLONG deadline,
                 TransferProgress& progress, FetchResult& result)
        : m_request(request), m_limits(limits), m_deadline(deadline), m_progress(progress), m_result(result),
          m_url(request.url.substr(0, request.url.find(L'#')))
    {
        m_result.outcome = Outcome::Failed;
    }

    void Run(std::wstring* answeredUrl);

private:
    bool Fail(DWORD error)
    {
        m_result.outcome = Outcome::Failed;
        m_result.error = error ? error : ERROR_INTERNET_INTERNAL_ERROR;
        return false;
    }
    // A time-out ends the transfer by the phase's own bound, or by the whole transfer's when
    // that one was shorter when the time-out was set.
    void TimedOut(bool byWhole, Bound phase, DWORD phaseMs)
    {
        m_result.bound = byWhole ? Bound::Whole : phase;
        m_result.boundMs = byWhole ? m_limits.wholeMs : phaseMs;
    }
    bool FailCall(bool byWhole, Bound phase, DWORD phaseMs)
    {
        const DWORD error = GetLastError();
        if (error == ERROR_INTERNET_TIMEOUT) TimedOut(byWhole, phase, phaseMs);
        return Fail(error);
    }
    bool Open(HINTERNET session, int hop);
    bool Send(int hop);
    enum class Hop { Failed, Answered, Redirected };
    Hop FollowRedirect(int hop);
    void ReadHeaders();
    void ReadBody();
    // A request whose answer came whole, without a redirect, is kept for the next download:
    // a feed's only, as feeds are asked again at every refresh (a download that yields, a
    // picture's, is asked once).
    void Keep()
    {
        if (!m_redirected && !m_request.yields)
            KeepRequest(m_url, KeptRequest{std::move(m_connection), std::move(m_handle), !m_request.etag.empty(),
                                           !m_request.lastModified.empty()});
    }

    const FetchRequest& m_request;
    const FetchLimits& m_limits;
    const ULONGLONG m_deadline;
    TransferProgress& m_progress;
    FetchResult& m_result;
    std::wstring m_url;
    std::wstring m_headers;
    unique_hinternet m_connection;
    unique_hinternet m_handle;
    bool m_redirected = false;
    bool m_permanentSoFar = true; // every redirect so far was a permanent one
};

void HttpTransfer::Run(std::wstring* answeredUrl)
{
    HINTERNET session = SharedInternetSession();
    if (!session) return (void)Fail(GetLastError());

    m_headers = L"Accept-Encoding: gzip, deflate\r\n";
    if (!m_request.etag.empty())
        m_headers += L"If-None-Match: " + m_request.etag + L"\r\n";
    if (!m_request.lastModified.empty())
        m_headers += L"If-Modified-Since: " + m_request.lastModified + L"\r\n";

    for (int hop = 0;; ++hop) {
        if (!Open(session, hop) || !Send(hop)) return;
        const Hop next = FollowRedirect(hop);
        if (next == Hop::Failed) return;
        if (next == Hop::Answered) break;
    }
    if (answeredUrl) *answeredUrl = m_url;
    ReadHeaders();
    if (m_result.status == 304)
        return Keep(); // no body follows
    if (m_result.status == 200)
        ReadBody(); // only a 200's body is read
}

// The request of one hop: the one kept from the last download of this address when it carries
// no validator that this one lacks (a header is replaced, never taken away here), else a new one.
bool HttpTransfer::Open(HINTERNET session, int hop)
{
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = 1;
    parts.dwUrlPathLength = 1;
    parts.dwExtraInfoLength = 1;
    if (!InternetCrackUrlW(m_url.c_str(), 0, 0, &parts) || !parts.lpszHostName)
        return Fail(ERROR_INTERNET_INVALID_URL);
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring object(parts.lpszUrlPath ? parts.lpszUrlPath : L"", parts.dwUrlPathLength);
    if (object.empty()) object = L"/";
    if (parts.lpszExtraInfo)
        object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);

    m_handle.reset();
    KeptRequest kept = hop == 0 ? TakeKeptRequest(m_url) : KeptRequest();
    if ((kept.etag && m_request.etag.empty()) || (kept.lastModified && m_request.lastModified.empty()))
        kept = KeptRequest();
    if (kept.request) {
        m_connection = std::move(kept.connection);
        m_handle = std::move(kept.request);
    } else {
        m_connection.reset(InternetConnectW(session, host.c_str(), parts.nPort, nullptr, nullptr,
                                            INTERNET_SERVICE_HTTP, 0, 0));
        if (!m_connection) return Fail(GetLastError());
        // Redirects are followed here, where their number and their targets are checked.
        // Certificates are checked by the platform as always.
        DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI |
                      INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_AUTO_REDIRECT;
        if (secure) flags |= INTERNET_FLAG_SECURE;
        m_handle.reset(HttpOpenRequestW(m_connection.get(), L"GET", object.c_str(), nullptr, nullptr,
                                        nullptr, flags, 0));
        if (!m_handle) return Fail(GetLastError());
    }
    m_redirected = hop > 0;
    return true;
}

// Puts the request on the wire within the connect bound and waits for the answer's status
// within the idle bound (both cut short by the whole transfer's deadline).
bool HttpTransfer::Send(int hop)
{
    const DWORD remaining = Remaining(m_deadline);
    if (remaining == 0) TimedOut(true, Bound::Whole, m_limits.wholeMs);
    if (remaining == 0 || m_progress.Cancelled()) return Fail(ERROR_INTERNET_TIMEOUT);
    const bool connectByWhole = remaining < m_limits.connectMs;
    const bool idleByWhole = remaining < m_limits.idleMs;
    HINTERNET handle = m_handle.get();
    SetTimeout(handle, INTERNET_OPTION_CONNECT_TIMEOUT, std::min(m_limits.connectMs, remaining));
    SetTimeout(handle, INTERNET_OPTION_SEND_TIMEOUT, std::min(m_limits.connectMs, remaining));
    SetTimeout(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, std::min(m_limits.idleMs, remaining));
    BOOL decode = TRUE;
    InternetSetOptionW(handle, INTERNET_OPTION_HTTP_DECODING, &decode, sizeof decode);
    if (!HttpAddRequestHeadersW(handle, m_headers.c_str(), static_cast<DWORD>(m_headers.size()),
                                HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE))
        return Fail(GetLastError());

    if (hop == 0) m_progress.Sending();
    if (!HttpSendRequestExW(handle, nullptr, nullptr, 0, 0))
        return FailCall(connectByWhole, Bound::Connect, m_limits.connectMs);
    m_progress.Sent();
    const ULONGLONG awaited = GetTickCount64();
    if (!HttpEndRequestW(handle, nullptr, 0, 0))
        return FailCall(idleByWhole, Bound::Idle, m_limits.idleMs);

    DWORD status = 0;
    DWORD size = sizeof status;
    if (!HttpQueryInfoW(handle, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
        return Fail(GetLastError());
    if (status == 0) {
        // No status line came (Wine ends the wait so, without an error): the receive
        // time-out ran out, or the server closed the connection first.
        const DWORD waitedMs = static_cast<DWORD>(GetTickCount64() - awaited);
        const DWORD timeoutMs = std::min(m_limits.idleMs, remaining);
        if (waitedMs + 50 >= timeoutMs) {
            TimedOut(idleByWhole, Bound::Idle, m_limits.idleMs);
            m_result.error = ERROR_INTERNET_TIMEOUT;
        } else {
            m_result.error = ERROR_INTERNET_CONNECTION_ABORTED;
        }
    }
    m_result.status = status;
    m_progress.Answered(status);
    return true;
}

// A redirect with a target moves the transfer there, within the redirect bound: only to http
// or https, and never from https down to http.
HttpTransfer::Hop HttpTransfer::FollowRedirect(int hop)
{
    const DWORD status = m_result.status;
    if (!IsRedirectStatus(status)) return Hop::Answered;
    std::wstring location = QueryHeader(m_handle.get(), HTTP_QUERY_LOCATION);
    if (location.empty()) return Hop::Answered;
    if (hop >= m_limits.maxRedirects) {
        m_result.bound = Bound::Redirects;
        Fail(ERROR_HTTP_REDIRECT_FAILED);
        return Hop::Failed;
    }
    auto refuse = [this](std::wstring target) {
        m_result.refusedTarget = std::move(target);
        Fail(ERROR_HTTP_REDIRECT_FAILED);
        return Hop::Failed;
    };
    wchar_t combined[INTERNET_MAX_URL_LENGTH];
    DWORD length = INTERNET_MAX_URL_LENGTH;
    if (!InternetCombineUrlW(m_url.c_str(), location.c_str(), combined, &length, ICU_NO_ENCODE))
        return refuse(location);
    std::wstring next(combined, length);
    next = next.substr(0, next.find(L'#'));
    if (!IsHttpAddress(next) || (IsHttpsAddress(m_url) && !IsHttpsAddress(next)))
        return refuse(next);
    // The address to keep in the list is where the leading permanent moves led.
    m_permanentSoFar = m_permanentSoFar && (status == 301 || status == 308);
    if (m_permanentSoFar) {
        m_result.movedTo = next;
        m_result.movedStatus = status;
    }
    m_url = std::move(next);
    return Hop::Redirected;
}

// The final answer's validators, type and freshness.
void HttpTransfer::ReadHeaders()
{
    HINTERNET handle = m_handle.get();
    m_result.etag = QueryHeader(handle, HTTP_QUERY_ETAG);
    m_result.contentType = QueryHeader(handle, HTTP_QUERY_CONTENT_TYPE);
    const std::wstring date = QueryHeader(handle, HTTP_QUERY_DATE);
    const std::uint64_t now = FileTimeNow();
    std::wstring lastModified = QueryHeader(handle, HTTP_QUERY_LAST_MODIFIED);
    if (UsableLastModified(lastModified, date, now))
        m_result.lastModified = std::move(lastModified);
    m_result.retryAfterMs = RetryAfterMs(QueryHeader(handle, HTTP_QUERY_RETRY_AFTER), date, now);
    m_result.freshMs = FreshnessMs(QueryHeader(handle, HTTP_QUERY_CACHE_CONTROL),
                                   QueryHeader(handle, HTTP_QUERY_EXPIRES), date, now);
    m_result.outcome = Outcome::Answered;
}

// A 200's body, as it comes, to the job: within the deadline, the idle bound and the size bound.
void HttpTransfer::ReadBody()
{
    HINTERNET handle = m_handle.get();
    std::size_t total = 0;
    char buffer[16 * 1024];
    for (;;) {
        DWORD remaining = Remaining(m_deadline);
        if (remaining == 0 || m_progress.Cancelled()) {
            if (remaining == 0) TimedOut(true, Bound::Whole, m_limits.wholeMs);
            m_result.outcome = Outcome::Cut;
            m_result.error = ERROR_INTERNET_TIMEOUT;
            return;
        }
        SetTimeout(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, std::min(m_limits.idleMs, remaining));
        const bool idleByWhole = remaining < m_limits.idleMs;
        auto cut = [&]() {
            m_result.outcome = Outcome::Cut;
            m_result.error = GetLastError();
            if (m_result.error == ERROR_INTERNET_TIMEOUT) TimedOut(idleByWhole, Bound::Idle, m_limits.idleMs);
        };
        // A read waits until it has filled its buffer: ask only for what has arrived, so a
        // slow body is kept as it comes (and what came before a cut is not lost).
        DWORD available = 0;
        if (!InternetQueryDataAvailable(handle, &available, 0, 0))
            return cut();
        DWORD read = 0;
        const DWORD want = available ? std::min<DWORD>(available, sizeof buffer) : 1;
        if (!InternetReadFile(handle, buffer, want, &read))
            return cut();
        if (read == 0) break;
        std::size_t take = std::min<std::size_t>(read, m_limits.maxBytes - total);
        if (!m_progress.Append(buffer, take)) return;
        total += take;
        m_result.bodyBytes = total;
        if (take < read) {
            m_result.outcome = Outcome::Cut;
            m_result.error = ERROR_FILE_TOO_LARGE;
            m_result.bound = Bound::Size;
            return;
        }
    }
    // A body shorter than it announced was cut (only an undecoded length can be compared).
    if (QueryHeader(handle, HTTP_QUERY_CONTENT_ENCODING).empty()) {
        std::wstring length = QueryHeader(handle, HTTP_QUERY_CONTENT_LENGTH);
        if (!length.empty() && total < std::wcstoull(length.c_str(), nullptr, 10)) {
            m_result.outcome = Outcome::Cut;
            m_result.error = ERROR_INTERNET_CONNECTION_ABORTED;
        }
    }
    if (m_result.outcome == Outcome::Answered)
        Keep();
}

} // namespace

void Transfer(const FetchRequest& request, const FetchLimits& limits, ULONGLONG deadline,
              TransferProgress& progress, FetchResult& result, std::wstring* answeredUrl)
{
    HttpTransfer(request, limits, deadline, progress, result).Run(answeredUrl);
}

} // namespace vexa
