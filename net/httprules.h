// The rules of HTTP that the downloads follow, as pure functions of their inputs: addresses,
// redirect statuses and the headers that decide validators and pauses. Times are FILETIME
// counts (100 ns since 1601); the clock is an argument, so a rule gives the same answer for
// the same texts every time.
#pragma once
#include <cstdint>
#include <string>

#include "format/urls.h"

namespace vexa {

// The address of a download as it goes on the wire: its first 999 characters, with those
// outside ASCII percent-encoded. False when the conversion fails.
bool WidenAddress(const std::string& url, std::wstring& wide);

bool IsRedirectStatus(unsigned long status) noexcept;

// The longest pause a Retry-After can ask for.
constexpr std::uint64_t kLongestPauseMs = 24ull * 60 * 60 * 1000;

// An HTTP-date; false when it does not parse.
bool HttpDate(const std::wstring& text, std::uint64_t& time);
// The clock now.
std::uint64_t FileTimeNow() noexcept;

// Retry-After, in seconds or as an HTTP-date, in milliseconds from the answer's time (its
// Date, or `now` without one), at most a day; 0 when absent, unreadable or past.
std::uint64_t RetryAfterMs(const std::wstring& retryAfter, const std::wstring& date, std::uint64_t now);

// The longest time an answer is taken as fresh, so a wrong lifetime cannot hide news for long.
constexpr std::uint64_t kLongestFreshnessMs = 60ull * 60 * 1000;

// How long an answer stays fresh, in milliseconds from its time: Cache-Control's max-age, else
// Expires against the answer's Date (or `now` without one), at most an hour. 0 (ask again)
// with no-cache or no-store, without a lifetime, or with one that is unreadable or past.
std::uint64_t FreshnessMs(const std::wstring& cacheControl, const std::wstring& expires,
                          const std::wstring& date, std::uint64_t now);

// A Last-Modified serves as a validator only when it is at least a second older than the
// answer (its Date, or `now` without one): two versions within the same second could not be
// told apart by it.
bool UsableLastModified(const std::wstring& lastModified, const std::wstring& date, std::uint64_t now);

} // namespace vexa
