// How the last load of a feed went, as the store saw it (the download's result without its
// body, what the reader said, what the document showed of itself), and the verdict a person
// reads: loaded, failing or paused, with the cause in plain words and the precise detail.
#pragma once
#include <windows.h>
#include <string>

#include "feeds/feedrules.h"
#include "feeds/transfer.h"

namespace vexa {

struct LoadOutcome {
    enum class Way {
        None,     // no load has ended yet
        Reader,   // the reader fetched the address itself (a local file, file:, ...)
        Download, // our own download, then the reader over its body
        Held,     // not asked: the server's pause runs
        Fresh,    // not asked: its last answer is still fresh
        NoReader, // no XML reader on this machine
    };
    Way way = Way::None;
    bool loaded = false;        // what the load returned
    bool parsed = false;        // a document went to the reader
    HRESULT readerResult = S_OK; // the reader's result when a document went to it
    FetchResult fetch;          // Download: the result, without its body
    DocumentFacts document;     // what the document showed (parsed)
    std::string encoding;       // the encoding that the body's XML declaration names
    std::string readEncoding;   // the declared encoding read through a system code page
    unsigned readCodePage = 0;  // (empty and 0 when the reader read the bytes as they came)
    unsigned repairs = 0;       // MarkupRepair flags: the document was read repaired
    bool pageMarkup = false;    // the body begins as an HTML page does
    std::wstring advertisedFeed; // Download: the feed that the web page at the address
                                 // advertises and that is read in its place; empty when none
};

struct LoadVerdict {
    enum class State {
        Unchanged, // nothing new to say (a load held back by a pause)
        Loaded,
        Failing,
        Paused,
    };
    State state = State::Unchanged;
    bool documentRead = false;  // Loaded from a new document: its entries and title count
    std::wstring cause;         // Failing and Paused: why; Loaded: a notice, or empty
    ULONGLONG pauseMs = 0;      // Paused: how long the server asked to wait
};

// The verdict on a load of `address` (as the feed list holds it); `now` is a FILETIME count
// for the "asked to wait until" time.
LoadVerdict JudgeLoad(const LoadOutcome& outcome, const std::wstring& address, ULONGLONG now);

// The encoding named in the XML declaration at the start of `data` (empty when none).
std::string DeclaredEncoding(const char* data, std::size_t size);

} // namespace vexa
