// The feed item store: every entry read during the plugin's life (the records, kept by
// title), and the parse of each feed's document: from memory, or by the reader's own fetch of
// an address that no download takes. What is asked of a server, and when, is the refresh's
// (plugin/feedloader.h). The parsing rules themselves are in format/feedrules.h.
#pragma once
#include <memory>
#include <string>

#include "store/feedrecords.h"
#include "format/feedrules.h"
#include "store/loadoutcome.h"
#include "format/rssitem.h"
#include "format/xmlevents.h"

namespace vexa {

class CXmlParser;

class CRssStore final : public IXmlParserCallback {
public:
    using Records = vexa::FeedRecords::Range;

    CRssStore();
    ~CRssStore();
    CRssStore(const CRssStore&) = delete;
    CRssStore& operator=(const CRssStore&) = delete;

    // A load of `url` begins: the parse state and the facts of the last load start anew.
    void BeginLoad(const std::string& url);
    // After BeginLoad: the reader reads the address itself (a local file is read here first).
    // Records completed before a failure stay stored; a whole read lists the feed's entries.
    bool ReadAddress(const std::string& url);
    // After BeginLoad: a document in memory that came whole (owned: it is brought to the
    // reader's shape in place). One the reader finds not well-formed is read once more
    // repaired; one still unread notes its declared encoding and whether it is a web page.
    bool ReadBody(const std::string& url, std::string& body);
    // After BeginLoad: a body cut short is read like any broken document, for the entries it
    // completes; it is never a good load.
    bool ReadCutBody(std::string& body);
    // Every key stored: the records and the keys kept alone.
    int Count() const;

    // The stored records in key order, and one by its key (null when it is not stored).
    Records Items() const noexcept { return m_items.Records(); }
    CRssItem* Find(const std::string& key) const { return m_items.Find(key); }
    // The records that the last whole read of the feed at `url` listed.
    const std::vector<CRssItem*>& Listed(const std::string& url) const { return m_items.Listed(url); }
    // The parse state: the container seen, the record being filled (null between entries).
    bool InChannel() const noexcept { return m_rules.InChannel(); }
    const CRssItem* Current() const noexcept { return m_rules.Current(); }
    // The platform's XML reader could be created: without it nothing loads.
    bool HasReader() const;
    // What the last load's parse showed (loaded, parsed, the reader's result, the document's
    // facts, encodings, repairs); the rest of a LoadOutcome is the loader's to fill.
    const LoadOutcome& LastLoad() const noexcept { return m_last; }

    // IXmlParserCallback: the reader's events go to the parsing rules.
    void OnStartElement(const XmlElement& element) override { m_rules.OnStartElement(element); }
    void OnCharacters(std::string_view text, int depth) override { m_rules.OnCharacters(text, depth); }
    void OnEndElement(const XmlElement& element) override { m_rules.OnEndElement(element); }
    void OnError(int line, int column, const std::string& message, HRESULT code) override
    {
        m_rules.OnError(line, column, message, code);
    }
    bool IsAborted(const XmlElement& element) override { return m_rules.IsAborted(element); }

private:
    // Reads a document in memory (owned: it is brought to the reader's shape in place); one
    // that the reader finds not well-formed is read once more repaired.
    bool ReadDocument(const std::string& url, std::string& body);
    // Ends a load: its result, and what the reader and the document showed.
    bool EndLoad(bool loaded);
    // After a whole read of a feed: the entries it lists now replace those it listed before.
    void TakeListing(const std::string& url) { m_items.TakeListing(url); }

    vexa::FeedRecords m_items;          // the records, in title order
    vexa::FeedRules m_rules{m_items};   // the parse state of the document being read
    std::unique_ptr<CXmlParser> m_parser;
    LoadOutcome m_last;
    // A document still broken after its repair is told as it came: the first reading's facts.
    bool m_firstReadTold = false;
    HRESULT m_firstResult = S_OK;
    DocumentFacts m_firstFacts;
};

} // namespace vexa
