// The feed item store: every entry read during the plugin's life (the records, kept by
// title), the validators of each http feed, and how each feed is loaded: by the reader's own
// fetch or from a download. The parsing rules themselves are in feeds/feedrules.h.
#pragma once
#include <map>
#include <memory>
#include <string>

#include "store/feedrecords.h"
#include "format/feedrules.h"
#include "net/httpfetch.h"
#include "store/loadoutcome.h"
#include "format/rssitem.h"
#include "format/xmlevents.h"

namespace vexa {

class CXmlParser;

// What the store keeps of one http feed for its life: the validators of the last version
// read, and the time before which its server asked not to be asked again.
struct FeedValidators {
    std::wstring etag;
    std::wstring lastModified;
    ULONGLONG retryUntil = 0; // GetTickCount64 time; 0 when nothing was asked
    ULONGLONG freshUntil = 0; // GetTickCount64 time until which the last answer is fresh
};

class CRssStore final : public IXmlParserCallback {
public:
    using Records = vexa::FeedRecords::Range;

    CRssStore();
    ~CRssStore();
    CRssStore(const CRssStore&) = delete;
    CRssStore& operator=(const CRssStore&) = delete;

    // Fetches and parses one feed; records completed before a failure stay stored.
    bool Load(const std::string& url);

    // How a feed is read: by the reader's own fetch (any address but http, https and ftp), by a
    // download of the request filled in here (with the feed's validators), not at all now
    // (no reader, or its server asked for a pause), or not at all because its last answer is
    // still fresh (a load that adds nothing). A load the user asked for (`userAsked`) is held
    // back by neither a pause nor a fresh answer.
    enum class Plan { Reader, Download, Refused, Fresh };
    Plan PlanLoad(const std::string& url, vexa::FetchRequest& request, bool userAsked = false);
    // Finishes the load of a downloaded feed: only a whole 200 is a good document, a 304 is
    // a load that adds nothing, other statuses fail unparsed; a body cut short is parsed for
    // what it holds and fails. Same result and effects as Load.
    bool LoadDownloaded(const std::string& url, vexa::FetchResult& result);
    // Every key stored: the records and the keys kept alone.
    int Count() const;

    // The stored records in key order, and one by its key (null when it is not stored).
    Records Items() const noexcept { return m_items.Records(); }
    CRssItem* Find(const std::string& key) const { return m_items.Find(key); }
    // The parse state: the container seen, the record being filled (null between entries).
    bool InChannel() const noexcept { return m_rules.InChannel(); }
    const CRssItem* Current() const noexcept { return m_rules.Current(); }
    // The validators kept for a feed address; null when none are.
    const FeedValidators* Validators(const std::string& url) const;
    // The platform's XML reader could be created: without it nothing loads.
    bool HasReader() const;
    // How the last Load or LoadDownloaded went (the feed's health is judged from it).
    const LoadOutcome& LastLoad() const noexcept { return m_last; }
    // The feed address that the web page at `url` advertised, kept for the plugin's life
    // (later loads of `url` read that feed directly); empty when none.
    std::wstring AdvertisedFeed(const std::string& url) const;

    // IXmlParserCallback: the reader's events go to the parsing rules.
    void OnStartElement(const XmlElement& element) override { m_rules.OnStartElement(element); }
    void OnCharacters(const std::string& text, int depth) override { m_rules.OnCharacters(text, depth); }
    void OnEndElement(const XmlElement& element) override { m_rules.OnEndElement(element); }
    void OnError(int line, int column, const std::string& message, HRESULT code) override
    {
        m_rules.OnError(line, column, message, code);
    }
    bool IsAborted(const XmlElement& element) override { return m_rules.IsAborted(element); }

private:
    void ResetParseState(const std::string& url);
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
    // Per feed address, as loaded (for a web page's address, those of the feed it advertised).
    std::map<std::string, FeedValidators> m_feeds;
    LoadOutcome m_last;
    // A document still broken after its repair is told as it came: the first reading's facts.
    bool m_firstReadTold = false;
    HRESULT m_firstResult = S_OK;
    DocumentFacts m_firstFacts;
    // Per web page address, the feed it advertised.
    std::map<std::string, std::wstring> m_advertised;
};

} // namespace vexa
