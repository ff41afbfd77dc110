// The HTTP rules of the downloads. Dates are read by WinINet's own parser, which knows the
// three formats HTTP allows.
#include "net/httprules.h"

#include <windows.h>
#include <wininet.h>
#include <cwctype>

#include "format/utf8.h"

namespace vexa {

namespace {

constexpr std::uint64_t kFileTimeSecond = 10000000;

// The answer's own time (its Date), or `now` when it has none.
std::uint64_t AnswerTime(const std::wstring& date, std::uint64_t now)
{
    std::uint64_t time = 0;
    return HttpDate(date, time) ? time : now;
}

} // namespace

bool WidenAddress(const std::string& url, std::wstring& wide)
{
    // The address as written (UTF-8), up to its first 999 characters, with the characters
    // outside ASCII percent-encoded for the wire.
    wide = utf::WireAddress<wchar_t>(url, utf::kAddressLimit);
    return true;
}

bool IsRedirectStatus(unsigned long status) noexcept
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool HttpDate(const std::wstring& text, std::uint64_t& time)
{
    SYSTEMTIME st;
    FILETIME ft;
    if (text.empty() || !InternetTimeToSystemTimeW(text.c_str(), &st, 0) || !SystemTimeToFileTime(&st, &ft))
        return false;
    time = (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return true;
}

std::uint64_t FileTimeNow() noexcept
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

namespace {
// Milliseconds from the answer's time (its Date, else now) to the HTTP date `header` names, at
// most `cap`; 0 when the header does not read as a date or names one already past.
std::uint64_t MsUntil(const std::wstring& header, const std::wstring& date, std::uint64_t now, std::uint64_t cap)
{
    std::uint64_t when = 0;
    const std::uint64_t answered = AnswerTime(date, now);
    if (!HttpDate(header, when) || when <= answered)
        return 0;
    const std::uint64_t ms = (when - answered) / 10000;
    return ms < cap ? ms : cap;
}
} // namespace

std::uint64_t RetryAfterMs(const std::wstring& retryAfter, const std::wstring& date, std::uint64_t now)
{
    if (retryAfter.empty())
        return 0;
    if (std::iswdigit(retryAfter[0])) {
        std::uint64_t seconds = 0;
        for (wchar_t c : retryAfter) {
            if (!std::iswdigit(c)) break;
            seconds = seconds * 10 + static_cast<std::uint64_t>(c - L'0');
            if (seconds > kLongestPauseMs / 1000) return kLongestPauseMs;
        }
        return seconds * 1000;
    }
    return MsUntil(retryAfter, date, now, kLongestPauseMs);
}

std::uint64_t FreshnessMs(const std::wstring& cacheControl, const std::wstring& expires,
                          const std::wstring& date, std::uint64_t now)
{
    bool hasMaxAge = false;
    std::uint64_t maxAgeMs = 0;
    std::size_t at = 0;
    while (at < cacheControl.size()) {
        std::size_t end = cacheControl.find(L',', at);
        if (end == std::wstring::npos) end = cacheControl.size();
        std::wstring directive = cacheControl.substr(at, end - at);
        at = end + 1;
        while (!directive.empty() && std::iswspace(directive.front())) directive.erase(0, 1);
        if (StartsWithNoCase(directive, L"no-cache") || StartsWithNoCase(directive, L"no-store"))
            return 0;
        if (!StartsWithNoCase(directive, L"max-age")) continue;
        // "max-age=N" or "max-age=\"N\""; one that does not read counts as stale.
        std::size_t digit = directive.find_first_not_of(L" \t=\"", 7);
        hasMaxAge = true;
        maxAgeMs = 0;
        for (; digit < directive.size() && std::iswdigit(directive[digit]) && maxAgeMs < kLongestFreshnessMs; ++digit)
            maxAgeMs = maxAgeMs * 10 + static_cast<std::uint64_t>(directive[digit] - L'0') * 1000;
        if (maxAgeMs > kLongestFreshnessMs) maxAgeMs = kLongestFreshnessMs;
    }
    if (hasMaxAge)
        return maxAgeMs;
    return MsUntil(expires, date, now, kLongestFreshnessMs);
}

bool UsableLastModified(const std::wstring& lastModified, const std::wstring& date, std::uint64_t now)
{
    std::uint64_t modified = 0;
    return HttpDate(lastModified, modified) && modified + kFileTimeSecond <= AnswerTime(date, now);
}

} // namespace vexa
