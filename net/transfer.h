// One HTTP transfer with WinINet: the request with the feed's validators, redirects followed
// and checked here, the answer's status and headers, and for a 200 the body, all within the
// download's bounds. It runs on a worker thread and tells the job that runs it how it goes.
#pragma once
#include <windows.h>
#include <cstddef>
#include <string>

namespace vexa {

// Every bound of a download. The defaults are the product's; tests shorten them.
struct FetchLimits {
    DWORD connectMs = 10000;            // to get a connection and the request out
    DWORD idleMs = 15000;               // a transfer that receives nothing for this long ends
    DWORD wholeMs = 30000;              // a whole transfer, redirects included
    std::size_t maxBytes = 32u << 20;   // a body that grows past this ends there
    int maxRedirects = 5;
};
FetchLimits GetFetchLimits() noexcept;
// Returns the previous limits.
FetchLimits SetFetchLimits(const FetchLimits& limits) noexcept;

// How a download tells a web page answered in place of a feed, and which feed it reads
// instead. A download moves bytes and reads no markup: the one who asks supplies this. It is
// called on the worker thread, so it must outlive every download (a static object).
class PageHandler {
public:
    // A body is looked at up to this many bytes; a web page is read no further.
    virtual std::size_t ScanLimit() const noexcept = 0;
    // The start of a 200 body (at most ScanLimit bytes) is a web page's.
    virtual bool IsPage(const char* data, std::size_t size) const = 0;
    // For a page that `pageUrl` answered, its start as above: the address (as written) of the
    // feed it advertises that a download may read in its place; empty when there is none.
    virtual std::wstring AdvertisedFeed(const char* data, std::size_t size, const std::wstring& pageUrl) const = 0;

protected:
    ~PageHandler() = default;
};

// What the one who asks makes of a whole 200 body on the worker (a picture decoded and fitted,
// say), so that its own thread gets only the product. Called on the worker thread, so it must
// outlive every download (a static object).
class BodyWorker {
public:
    virtual std::string Work(const std::string& body) const = 0;

protected:
    ~BodyWorker() = default;
};

// One request: the address (a fragment never goes on the wire) and the feed's validators.
struct FetchRequest {
    std::wstring url;
    std::wstring etag;          // sent as If-None-Match
    std::wstring lastModified;  // sent as If-Modified-Since
    // A web page answered in place of a feed is scanned for the feed it advertises, which is
    // then read instead (one hop at most). Off for an address that is already such a feed.
    bool discover = true;
    // What tells a page and its feed; without one, no body is taken for a page.
    const PageHandler* pages = nullptr;
    // A bound on the body below the limits' own (0: theirs).
    std::size_t maxBytes = 0;
    // What a whole 200 body becomes on the worker (FetchResult::product); null: nothing.
    const BodyWorker* worker = nullptr;
    // The download yields to every other at the connection limits (net/connectiongate.h),
    // and waits there no longer than its connection may take (an entry's picture).
    bool yields = false;
};

struct FetchResult {
    enum class Outcome {
        Failed,   // no answer: no connection, a refused redirect, a deadline before the answer
        Answered, // a status came, and for 200 the whole body
        Cut,      // a 200 whose body ended early: a deadline, the size bound, a broken transfer
    };
    Outcome outcome = Outcome::Failed;
    DWORD status = 0;
    DWORD error = 0;            // the Win32 error that ended a failed or cut transfer, or
                                // an answer without a status line (status 0)
    std::string body;           // decoded (gzip and deflate are undone); empty once worked
    std::string product;        // what the request's worker made of a whole 200 body
    std::wstring etag;
    std::wstring lastModified;  // only when it can tell versions apart (a second older than Date)
    ULONGLONG retryAfterMs = 0; // Retry-After, seconds or a date, from now (at most a day)
    ULONGLONG freshMs = 0;      // how long the answer stays fresh (max-age or Expires), from
                                // now, at most an hour; 0 to ask at every tick

    // What a person needs to know of how the transfer went (the feed's health).
    enum class Bound {
        None,
        Connect,   // no connection, or the request could not go out, within connectMs
        Idle,      // nothing came for idleMs
        Whole,     // the whole transfer outlasted wholeMs
        Size,      // the body grew past maxBytes
        Redirects, // more than maxRedirects redirects
    };
    Bound bound = Bound::None;  // the bound that ended the transfer
    DWORD boundMs = 0;          // that bound's length (Connect, Idle, Whole)
    std::size_t bodyBytes = 0;  // body bytes received (a 200's)
    std::wstring contentType;   // the final answer's Content-Type, as sent
    std::wstring movedTo;       // where the leading permanent redirects (301, 308) led
    DWORD movedStatus = 0;      // the status of the last of those
    std::wstring refusedTarget; // a redirect that was not followed: its target
    std::wstring advertisedFeed; // a web page was answered: the feed it advertises, read in its place
    bool pageWithoutFeed = false; // a web page was answered that advertises no feed
    DWORD ftpReply = 0;         // an ftp server refused: its reply code (`status` is the nearest HTTP one)
};

// What a transfer tells the job that runs it, and asks it, as it goes.
class TransferProgress {
public:
    virtual bool Cancelled() const noexcept = 0;
    // The first request is about to go on the wire.
    virtual void Sending() noexcept = 0;
    // A request is on the wire.
    virtual void Sent() noexcept = 0;
    virtual void Answered(DWORD status) noexcept = 0;
    // Adds received body bytes; false when the job has already ended. May throw
    // std::bad_alloc.
    virtual bool Append(const char* data, std::size_t size) = 0;

protected:
    ~TransferProgress() = default;
};

// Runs the transfer of `request` (whose address is http or https) until `deadline` (a
// GetTickCount64 time). The result holds everything but the body, which goes to `progress`;
// `answeredUrl`, when given, gets the address that gave the answer (redirects followed, no
// fragment).
void Transfer(const FetchRequest& request, const FetchLimits& limits, ULONGLONG deadline,
              TransferProgress& progress, FetchResult& result, std::wstring* answeredUrl = nullptr);

} // namespace vexa
