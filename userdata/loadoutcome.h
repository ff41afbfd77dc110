// How the last load of a feed went, written once by the loader when the load ends: the way it
// was read, what the download said (without its body) and what the parse showed. The feed's
// health is judged from it (userdata/loadverdict.h).
#pragma once
#include <windows.h>
#include <cstddef>
#include <string>

#include "format/feedparse.h"

namespace vexa {

// What a person needs to know of how a download went.
struct DownloadFacts {
    enum class Outcome {
        Failed,   // no answer: no connection, a refused redirect, a deadline before the answer
        Answered, // a status came, and for 200 the whole body
        Cut,      // a 200 whose body ended early: a deadline, the size bound, a broken transfer
    };
    enum class Bound {
        None,
        Connect,   // no connection, or the request could not go out, within its bound
        Idle,      // nothing came for a while
        Whole,     // the whole transfer outlasted its bound
        Size,      // the body grew past its bound
        Redirects, // too many redirects
    };
    Outcome outcome = Outcome::Failed;
    DWORD status = 0;
    DWORD error = 0;             // the Win32 error that ended a failed or cut transfer
    Bound bound = Bound::None;   // the bound that ended the transfer, and its length
    DWORD boundMs = 0;
    std::size_t bodyBytes = 0;   // body bytes received (a 200's)
    std::wstring contentType;    // the final answer's Content-Type, as sent
    std::wstring movedTo;        // where the leading permanent redirects led
    DWORD movedStatus = 0;       // the status of the last of those
    std::wstring refusedTarget;  // a redirect that was not followed: its target
    bool pageWithoutFeed = false; // a web page was answered that advertises no feed
    DWORD ftpReply = 0;          // an ftp server refused: its reply code
    ULONGLONG retryAfterMs = 0;  // the pause the server asked for
    ULONGLONG freshMs = 0;       // how long the answer stays fresh
};

struct LoadOutcome {
    enum class Way {
        None,     // no load has ended yet
        Reader,   // the reader fetched the address itself (a local file, file:, ...)
        Download, // our own download, then the reader over its body
        NoReader, // no XML reader on this machine
    };
    Way way = Way::None;
    bool loaded = false;         // what the load returned
    DownloadFacts fetch;         // Download: how it went
    ParseReport parse;           // what the parse showed (parse.parsed: a document went to the reader)
    std::wstring advertisedFeed; // Download: the feed that the web page at the address
                                 // advertises and that is read in its place; empty when none
};

} // namespace vexa
