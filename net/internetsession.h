// The one WinINet session that every download of the process shares (opening one costs more
// than a whole unchanged request on loopback), and the owner of WinINet handles.
#pragma once
#include <windows.h>
#include <wininet.h>

#include <string>

#include "com/owners.h"

namespace vexa {

namespace detail {
inline void CloseInternetHandle(HINTERNET handle) noexcept { InternetCloseHandle(handle); }
} // namespace detail
using unique_hinternet = unique_any<HINTERNET, detail::CloseInternetHandle>;

// The User-Agent of every request: the product's name and the version in VERSION.
extern const wchar_t kUserAgent[];

// The session, opened (with gzip and deflate decoding) by the first download that asks; null
// when it cannot be opened. Only a download holding a module lock may ask: see
// CloseIdleInternetSession.
HINTERNET SharedInternetSession();
// Closes the session when nothing holds the module (so no download can be using it); the
// next download opens a new one. Never at DLL detach, where WinINet must not be called. True
// when it was closed or none was open.
bool CloseIdleInternetSession() noexcept;
bool HasInternetSession() noexcept;

// A request handle kept between two downloads of one address, with the connection handle it
// was opened on. Under Wine a request handle closed after its server closed the connection
// keeps that connection's record (96 bytes) for good, while the same request sent again
// frees it: a download whose answer came whole leaves its request here for the next one.
struct KeptRequest {
    unique_hinternet connection;
    unique_hinternet request;
    bool etag = false;         // it was sent with If-None-Match
    bool lastModified = false; // it was sent with If-Modified-Since
};
// The request kept for `url`, taken out for one download (null handles when none is).
KeptRequest TakeKeptRequest(const std::wstring& url) noexcept;
// Keeps a request for the next download of `url` while the session lasts; with too many
// kept, the one kept longest is closed.
void KeepRequest(const std::wstring& url, KeptRequest kept) noexcept;
// How many requests are kept.
std::size_t KeptRequestCount() noexcept;

} // namespace vexa
