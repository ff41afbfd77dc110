// The feed item store: every entry read during the plugin's life, keyed by title. Its
// parsing rules need no platform headers; only the reader behind Load does.
#pragma once
#include <map>
#include <memory>
#include <string>

#include "feeds/rssitem.h"
#include "feeds/xmlevents.h"

class CXmlParser;

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

private:
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
