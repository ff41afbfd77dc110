// How the last load of a feed went, as the store saw it: the download's result without its
// body, what the reader said, what the document showed of itself.
#pragma once
#include <windows.h>
#include <string>

#include "format/feedrules.h"
#include "net/transfer.h"

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
    std::string readAsUtf8;     // the single-byte encoding declared by a document read as UTF-8
    bool pageMarkup = false;    // the body begins as an HTML page does
    std::wstring advertisedFeed; // Download: the feed that the web page at the address
                                 // advertises and that is read in its place; empty when none
};

} // namespace vexa
