// A feed document read into a value: the reader, the repairs and the code pages.
#include "format/feedparse.h"

#include <windows.h>
#include <utility>

#include "format/htmlscan.h"
#include "format/readerinput.h"
#include "format/xmlparser.h"

namespace vexa {

FeedParser::FeedParser() : m_parser(std::make_unique<CXmlParser>())
{
    m_parser->SetCallback(&m_rules);
}

FeedParser::~FeedParser() = default;

bool FeedParser::IsReady() const { return m_parser->IsReady(); }

bool FeedParser::Read(const std::string& address, std::string& body)
{
    m_rules.Reset(address);
    return m_parser->ParseBody(body);
}

void FeedParser::TellReading(ParseReport& report) const
{
    report.readerResult = m_parser->LastResult();
    report.document = m_rules.Facts();
}

bool FeedParser::ReadRepaired(const std::string& address, std::string& body, ParseReport& report, std::string& last)
{
    const bool read = Read(address, body);
    report.readEncoding = m_parser->ConvertedEncoding();
    report.readCodePage = m_parser->ConvertedCodePage();
    report.readAsUtf8 = m_parser->ReadAsUtf8();
    if (!report.readAsUtf8.empty()) report.repairs |= kReadLatinAsUtf8;
    TellReading(report);
    const DocumentFacts& facts = report.document;
    if (read || !facts.error || facts.errorCode == HRESULT_FROM_WIN32(ERROR_INVALID_DATA))
        return read;
    // The repairs work on bytes: a UTF-16 document is repaired in UTF-8.
    const ByteForm form = ByteFormOf(body.data(), body.size());
    std::string utf8;
    if (form != ByteForm::Bytes && !ConvertToUtf8(body.data(), body.size(), form == ByteForm::Utf16Be ? 1201 : 1200, utf8))
        return false;
    const std::string& bytes = form != ByteForm::Bytes ? utf8 : body;
    std::string repaired;
    const unsigned repairs = RepairMarkup(bytes.data(), bytes.size(), repaired);
    if (!repairs) {
        last = form != ByteForm::Bytes ? std::move(utf8) : body;
        return false;
    }
    // The repaired document is one whole read. The first reading stopped at its first fault,
    // so the entries it completed are the repaired document's first ones. One still broken is
    // told as it came: the first reading's result and facts stay.
    if (!Read(address, repaired)) {
        // A repair can break what lies before the fault (a prefix declared under a name that
        // XML refuses): the first reading is kept when it completed more entries.
        if (m_rules.Facts().entries < facts.entries) {
            last = form != ByteForm::Bytes ? std::move(utf8) : body;
            Read(address, body);
        } else {
            last = std::move(repaired);
        }
        return false;
    }
    report.repairs |= repairs;
    TellReading(report);
    return true;
}

ParsedFeed FeedParser::Take(bool read, ParseReport report)
{
    ParsedFeed feed;
    feed.entries = m_rules.TakeEntries();
    feed.unfinished = m_rules.TakeUnfinished();
    feed.report = std::move(report);
    feed.report.parsed = true;
    feed.report.read = read;
    feed.report.document.entries = static_cast<int>(feed.entries.size());
    return feed;
}

void FeedParser::LeaveOutBrokenEntries(const std::string& address, std::string doc, ParsedFeed& feed)
{
    // Each try reads the whole document again: a few are enough for the odd broken entry.
    constexpr int kTries = 4;
    // The document element chooses the format: Atom's entries under "feed", else RSS's items.
    const std::string entry = feed.report.document.root == "feed" ? "entry" : "item";
    for (int tries = 0; feed.unfinished && tries < kTries; ++tries) {
        const std::size_t kept = feed.entries.size();
        if (!LeaveOutEntry(doc, kept, entry))
            return;
        std::string reading = doc;
        const bool whole = Read(address, reading);
        std::vector<CRssItem> entries = m_rules.TakeEntries();
        // The entry left out must be the broken one: the entries before stay as they were.
        bool same = entries.size() > kept;
        for (std::size_t i = 0; same && i < kept; ++i)
            same = entries[i].RssID == feed.entries[i].RssID;
        if (!same)
            return;
        feed.entries = std::move(entries);
        feed.unfinished = m_rules.TakeUnfinished();
        ++feed.report.leftOut;
        if (whole)
            return;
    }
}

ParsedFeed FeedParser::Parse(std::string body, const std::string& address)
{
    if (!IsReady())
        return ParsedFeed();
    // Before the reader's shape is given to the body: its declaration may be rewritten.
    std::string declared = DeclaredEncoding(body.data(), body.size());
    ParseReport report;
    std::string last;
    const bool read = ReadRepaired(address, body, report, last);
    if (!read) {
        // What a person needs to tell a web page or an encoding from broken XML.
        report.encoding = std::move(declared);
        report.pageMarkup = IsWebPage(body.data(), body.size());
    }
    ParsedFeed feed = Take(read, std::move(report));
    if (!read && feed.report.document.container && !last.empty()) {
        LeaveOutBrokenEntries(address, std::move(last), feed);
        feed.report.document.entries = static_cast<int>(feed.entries.size());
    }
    return feed;
}

ParsedFeed FeedParser::ParseCut(std::string body, const std::string& address)
{
    if (!IsReady())
        return ParsedFeed();
    ParseReport report;
    const bool read = Read(address, body);
    TellReading(report);
    return Take(read, std::move(report));
}

ParsedFeed FeedParser::ParseAddress(const std::string& address)
{
    if (!IsReady())
        return ParsedFeed();
    std::string bytes;
    if (ReadLocalDocument(address, bytes))
        return Parse(std::move(bytes), address);
    m_rules.Reset(address);
    const bool read = m_parser->ParseAddress(address);
    ParseReport report;
    TellReading(report);
    return Take(read, std::move(report));
}

} // namespace vexa
