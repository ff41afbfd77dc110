// The feed item store: every entry read during the plugin's life, keyed by title. Its
// parsing rules need no platform headers; only the reader behind Load does.
#pragma once
#include <map>
#include <memory>
#include <string>

#include "feeds/httpfetch.h"
#include "feeds/rssitem.h"
#include "feeds/xmlevents.h"

class CXmlParser;

// What the store keeps of one http feed for its life: the validators of the last version
// read, and the time before which its server asked not to be asked again.
struct FeedValidators {
    std::wstring etag;
    std::wstring lastModified;
    ULONGLONG retryUntil = 0; // GetTickCount64 time; 0 when nothing was asked
};

class CRssStore : public IXmlParserCallback {
public:
    enum class Field { None, Author, Title, Genre, Price, Published, Description };
    static constexpr int kFieldCount = 7;
    // One feed format's tags and their roles (RSS, Atom); the tables are in the source.
    struct Format;
    struct Tag;

    CRssStore();
    ~CRssStore();
    CRssStore(const CRssStore&) = delete;
    CRssStore& operator=(const CRssStore&) = delete;

    // Fetches and parses one feed; records completed before a failure stay stored.
    bool Load(const std::string& url);

    // How a feed is read: by the reader's own fetch (any address but http and https), by a
    // download of the request filled in here (with the feed's validators), or not at all
    // now (no reader, or its server asked for a pause). A load the user asked for
    // (`userAsked`) is not held back by a pause.
    enum class Plan { Reader, Download, Refused };
    Plan PlanLoad(const std::string& url, vexa::FetchRequest& request, bool userAsked = false);
    // Finishes the load of a downloaded feed: only a whole 200 is a good document, a 304 is
    // a load that adds nothing, other statuses fail unparsed; a body cut short is parsed for
    // what it holds and fails. Same result and effects as Load.
    bool LoadDownloaded(const std::string& url, vexa::FetchResult& result);
    int Count() const;

    // IXmlParserCallback
    void OnStartElement(const XmlElement& element) override;
    void OnCharacters(const std::string& text, int depth) override;
    void OnEndElement(const XmlElement& element) override;
    void OnError(int line, int column, const std::string& message, HRESULT code) override;
    bool IsAborted(const XmlElement& element) override;

    bool m_inChannel = false; // the format's container (RSS "channel", Atom's "feed") is open
    std::unique_ptr<CRssItem> m_current;
    Field m_field = Field::None;
    std::unique_ptr<CXmlParser> m_parser;
    // Title order, byte-wise; owns the records (deleted by the destructor).
    std::map<std::string, CRssItem*> m_items;
    // Per feed address, as loaded.
    std::map<std::string, FeedValidators> m_feeds;

private:
    void ResetParseState(const std::string& url);
    void OpenEntry(const XmlElement& element);
    void CloseEntry();
    void TakeLink(const XmlElement& element);

    // The rest of the parse state, reset by Load.
    const Format* m_format = nullptr;  // chosen by the document element
    const Tag* m_tag = nullptr;        // the tag whose text m_field collects
    const Tag* m_child = nullptr;      // the open child of the entry, when it is in the table
    int m_entryDepth = 0;
    bool m_linkTaken = false;          // the entry's link is set
    std::string m_address;             // the feed's address: the base of relative links
    std::string m_feedBase, m_entryBase;
    std::string m_aside[kFieldCount];  // texts kept for fields that their own tag did not fill
};
