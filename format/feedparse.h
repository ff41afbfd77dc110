// A feed document read into a value: bytes (or an address that no download takes) in, the
// feed's entries and what the document showed of itself out. The repairs, the code pages and
// the platform's reader are inside; no store, no network, no registry.
#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "format/feedrules.h"
#include "format/rssitem.h"

namespace vexa {

class CXmlParser;

// How the reading of a document went.
struct ParseReport {
    bool parsed = false;        // a document went to the reader
    bool read = false;          // the reader read it whole (repaired or not)
    HRESULT readerResult = 0;   // the reader's result (a repaired document still broken: the first reading's)
    DocumentFacts document;     // what the document showed (the same reading); `entries` counts
                                // the entries of the value
    std::string encoding;       // unread: the encoding its XML declaration names
    std::string readEncoding;   // the declared encoding read through a system code page
    unsigned readCodePage = 0;  // (empty and 0 when the reader read the bytes as they came)
    unsigned repairs = 0;       // MarkupRepair flags: the document was read repaired
    std::string readAsUtf8;     // the single-byte encoding declared by a document read as UTF-8
    bool pageMarkup = false;    // unread: the bytes begin as an HTML page does
    int leftOut = 0;            // entries that held a fault, left out of a feed read in part

    // Broken past its repairs, but a feed whose entries before the fault were read whole.
    bool ReadInPart() const noexcept { return parsed && !read && document.container && document.entries > 0; }
};

struct ParsedFeed {
    std::vector<CRssItem> entries;      // read whole, in document order
    std::optional<CRssItem> unfinished; // the entry that was open where the reader stopped
    ParseReport report;
};

class FeedParser {
public:
    FeedParser();
    ~FeedParser();
    FeedParser(const FeedParser&) = delete;
    FeedParser& operator=(const FeedParser&) = delete;

    // The platform's XML reader could be created: without it nothing is read.
    bool IsReady() const;
    // A document that came whole (a good answer's body, a file). One the reader finds not
    // well-formed is read once more repaired; one still unread tells its declared encoding and
    // whether it is a web page. `address` is the base of its relative links.
    ParsedFeed Parse(std::string body, const std::string& address);
    // A body cut short: read as it came, for the entries it completes.
    ParsedFeed ParseCut(std::string body, const std::string& address);
    // The document at an address that no download takes: a local file is read here, any other
    // address by the reader's own fetch.
    ParsedFeed ParseAddress(const std::string& address);

private:
    // The last reading's result and facts, into `report`.
    void TellReading(ParseReport& report) const;
    // One reading of `body` (brought to the reader's shape in place); true when it is whole.
    bool Read(const std::string& address, std::string& body);
    // A whole document: read, and read once more repaired when the reader found it broken.
    // `last` receives the bytes of a last reading that failed, in UTF-8.
    bool ReadRepaired(const std::string& address, std::string& body, ParseReport& report, std::string& last);
    // A feed broken inside an entry: that entry is left out and the rest read again, a few
    // times at most, while each reading keeps the entries before and reads more.
    void LeaveOutBrokenEntries(const std::string& address, std::string doc, ParsedFeed& feed);
    // The value of the last reading.
    ParsedFeed Take(bool read, ParseReport report);

    std::unique_ptr<CXmlParser> m_parser;
    FeedRules m_rules;
};

} // namespace vexa
