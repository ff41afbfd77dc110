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

void Transfer(const FetchRequest& request, const FetchLimits& limits, ULONGLONG deadline,
              TransferProgress& progress, FetchResult& result, std::wstring* answeredUrl)
{
    using Outcome = FetchResult::Outcome;
    result.outcome = Outcome::Failed;
    using Bound = FetchResult::Bound;
    auto fail = [&result](DWORD error) {
        result.outcome = Outcome::Failed;
        result.error = error ? error : ERROR_INTERNET_INTERNAL_ERROR;
    };
    // A time-out ends the transfer by the phase's own bound, or by the whole transfer's when
    // that one was shorter when the time-out was set.
    auto timedOut = [&](bool byWhole, Bound phase, DWORD phaseMs) {
        result.bound = byWhole ? Bound::Whole : phase;
        result.boundMs = byWhole ? limits.wholeMs : phaseMs;
    };
    auto failCall = [&](bool byWhole, Bound phase, DWORD phaseMs) {
        const DWORD error = GetLastError();
        if (error == ERROR_INTERNET_TIMEOUT) timedOut(byWhole, phase, phaseMs);
        fail(error);
    };
    bool permanentSoFar = true; // every redirect so far was a permanent one

    std::wstring url = request.url.substr(0, request.url.find(L'#'));
    HINTERNET session = SharedInternetSession();
    if (!session) return fail(GetLastError());
    BOOL decode = TRUE;

    std::wstring headers = L"Accept-Encoding: gzip, deflate\r\n";
    if (!request.etag.empty())
        headers += L"If-None-Match: " + request.etag + L"\r\n";
    if (!request.lastModified.empty())
        headers += L"If-Modified-Since: " + request.lastModified + L"\r\n";

    unique_hinternet connection;
    unique_hinternet handle;
    bool redirected = false;
    // A request whose answer came whole, without a redirect, is kept for the next download.
    auto keep = [&]() {
        if (!redirected)
            KeepRequest(url, KeptRequest{std::move(connection), std::move(handle), !request.etag.empty(),
                                         !request.lastModified.empty()});
    };
    for (int hop = 0;; ++hop) {
        URL_COMPONENTSW parts = {};
        parts.dwStructSize = sizeof parts;
        parts.dwHostNameLength = 1;
        parts.dwUrlPathLength = 1;
        parts.dwExtraInfoLength = 1;
        if (!InternetCrackUrlW(url.c_str(), 0, 0, &parts) || !parts.lpszHostName)
            return fail(ERROR_INTERNET_INVALID_URL);
        const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
        std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
        std::wstring object(parts.lpszUrlPath ? parts.lpszUrlPath : L"", parts.dwUrlPathLength);
        if (object.empty()) object = L"/";
        if (parts.lpszExtraInfo)
            object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);

        handle.reset();
        // The request of the last download of this address is sent again when it carries
        // no validator that this one lacks (a header is replaced, never taken away here).
        KeptRequest kept = hop == 0 ? TakeKeptRequest(url) : KeptRequest();
        if ((kept.etag && request.etag.empty()) || (kept.lastModified && request.lastModified.empty()))
            kept = KeptRequest();
        if (kept.request) {
            connection = std::move(kept.connection);
            handle = std::move(kept.request);
        } else {
            connection.reset(InternetConnectW(session, host.c_str(), parts.nPort, nullptr, nullptr,
                                              INTERNET_SERVICE_HTTP, 0, 0));
            if (!connection) return fail(GetLastError());
            // Redirects are followed here, where their number and their targets are checked.
            // Certificates are checked by the platform as always.
            DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI |
                          INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_AUTO_REDIRECT;
            if (secure) flags |= INTERNET_FLAG_SECURE;
            handle.reset(HttpOpenRequestW(connection.get(), L"GET", object.c_str(), nullptr, nullptr,
                                           nullptr, flags, 0));
            if (!handle) return fail(GetLastError());
        }
        redirected = hop > 0;

        DWORD remaining = Remaining(deadline);
        if (remaining == 0) timedOut(true, Bound::Whole, limits.wholeMs);
        if (remaining == 0 || progress.Cancelled()) return fail(ERROR_INTERNET_TIMEOUT);
        const bool connectByWhole = remaining < limits.connectMs;
        const bool idleByWhole = remaining < limits.idleMs;
        SetTimeout(handle.get(), INTERNET_OPTION_CONNECT_TIMEOUT, std::min(limits.connectMs, remaining));
        SetTimeout(handle.get(), INTERNET_OPTION_SEND_TIMEOUT, std::min(limits.connectMs, remaining));
        SetTimeout(handle.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, std::min(limits.idleMs, remaining));
        InternetSetOptionW(handle.get(), INTERNET_OPTION_HTTP_DECODING, &decode, sizeof decode);
        if (!HttpAddRequestHeadersW(handle.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                                    HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE))
            return fail(GetLastError());

        if (hop == 0) progress.Sending();
        if (!HttpSendRequestExW(handle.get(), nullptr, nullptr, 0, 0))
            return failCall(connectByWhole, Bound::Connect, limits.connectMs);
        progress.Sent();
        const ULONGLONG awaited = GetTickCount64();
        if (!HttpEndRequestW(handle.get(), nullptr, 0, 0))
            return failCall(idleByWhole, Bound::Idle, limits.idleMs);

        DWORD status = 0;
        DWORD size = sizeof status;
        if (!HttpQueryInfoW(handle.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
            return fail(GetLastError());
        if (status == 0) {
            // No status line came (Wine ends the wait so, without an error): the receive
            // time-out ran out, or the server closed the connection first.
            const DWORD waitedMs = static_cast<DWORD>(GetTickCount64() - awaited);
            const DWORD timeoutMs = std::min(limits.idleMs, remaining);
            if (waitedMs + 50 >= timeoutMs) {
                timedOut(idleByWhole, Bound::Idle, limits.idleMs);
                result.error = ERROR_INTERNET_TIMEOUT;
            } else {
                result.error = ERROR_INTERNET_CONNECTION_ABORTED;
            }
        }
        result.status = status;
        progress.Answered(status);

        if (IsRedirectStatus(status)) {
            std::wstring location = QueryHeader(handle.get(), HTTP_QUERY_LOCATION);
            if (!location.empty()) {
                if (hop >= limits.maxRedirects) {
                    result.bound = Bound::Redirects;
                    return fail(ERROR_HTTP_REDIRECT_FAILED);
                }
                wchar_t combined[INTERNET_MAX_URL_LENGTH];
                DWORD length = INTERNET_MAX_URL_LENGTH;
                if (!InternetCombineUrlW(url.c_str(), location.c_str(), combined, &length, ICU_NO_ENCODE)) {
                    result.refusedTarget = location;
                    return fail(ERROR_HTTP_REDIRECT_FAILED);
                }
                std::wstring next(combined, length);
                next = next.substr(0, next.find(L'#'));
                // Only to http or https, and never from https down to http.
                if (!IsHttpAddress(next) || (IsHttpsAddress(url) && !IsHttpsAddress(next))) {
                    result.refusedTarget = next;
                    return fail(ERROR_HTTP_REDIRECT_FAILED);
                }
                // The address to keep in the list is where the leading permanent moves led.
                permanentSoFar = permanentSoFar && (status == 301 || status == 308);
                if (permanentSoFar) {
                    result.movedTo = next;
                    result.movedStatus = status;
                }
                url = std::move(next);
                continue;
            }
        }
        break;
    }

    if (answeredUrl) *answeredUrl = url;
    result.etag = QueryHeader(handle.get(), HTTP_QUERY_ETAG);
    result.contentType = QueryHeader(handle.get(), HTTP_QUERY_CONTENT_TYPE);
    {
        const std::wstring date = QueryHeader(handle.get(), HTTP_QUERY_DATE);
        const std::uint64_t now = FileTimeNow();
        std::wstring lastModified = QueryHeader(handle.get(), HTTP_QUERY_LAST_MODIFIED);
        if (UsableLastModified(lastModified, date, now))
            result.lastModified = std::move(lastModified);
        result.retryAfterMs = RetryAfterMs(QueryHeader(handle.get(), HTTP_QUERY_RETRY_AFTER), date, now);
        result.freshMs = FreshnessMs(QueryHeader(handle.get(), HTTP_QUERY_CACHE_CONTROL),
                                     QueryHeader(handle.get(), HTTP_QUERY_EXPIRES), date, now);
    }
    result.outcome = Outcome::Answered;
    if (result.status == 304)
        return keep(); // no body follows
    if (result.status != 200)
        return; // only a 200's body is read

    std::size_t total = 0;
    char buffer[16 * 1024];
    for (;;) {
        DWORD remaining = Remaining(deadline);
        if (remaining == 0 || progress.Cancelled()) {
            if (remaining == 0) timedOut(true, Bound::Whole, limits.wholeMs);
            result.outcome = Outcome::Cut;
            result.error = ERROR_INTERNET_TIMEOUT;
            return;
        }
        SetTimeout(handle.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, std::min(limits.idleMs, remaining));
        const bool idleByWhole = remaining < limits.idleMs;
        auto cut = [&]() {
            result.outcome = Outcome::Cut;
            result.error = GetLastError();
            if (result.error == ERROR_INTERNET_TIMEOUT) timedOut(idleByWhole, Bound::Idle, limits.idleMs);
        };
        // A read waits until it has filled its buffer: ask only for what has arrived, so a
        // slow body is kept as it comes (and what came before a cut is not lost).
        DWORD available = 0;
        if (!InternetQueryDataAvailable(handle.get(), &available, 0, 0))
            return cut();
        DWORD read = 0;
        const DWORD want = available ? std::min<DWORD>(available, sizeof buffer) : 1;
        if (!InternetReadFile(handle.get(), buffer, want, &read))
            return cut();
        if (read == 0) break;
        std::size_t take = std::min<std::size_t>(read, limits.maxBytes - total);
        if (!progress.Append(buffer, take)) return;
        total += take;
        result.bodyBytes = total;
        if (take < read) {
            result.outcome = Outcome::Cut;
            result.error = ERROR_FILE_TOO_LARGE;
            result.bound = Bound::Size;
            return;
        }
    }
    // A body shorter than it announced was cut (only an undecoded length can be compared).
    if (QueryHeader(handle.get(), HTTP_QUERY_CONTENT_ENCODING).empty()) {
        std::wstring length = QueryHeader(handle.get(), HTTP_QUERY_CONTENT_LENGTH);
        if (!length.empty() && total < std::wcstoull(length.c_str(), nullptr, 10)) {
            result.outcome = Outcome::Cut;
            result.error = ERROR_INTERNET_CONNECTION_ABORTED;
        }
    }
    if (result.outcome == Outcome::Answered)
        keep();
}

} // namespace vexa
