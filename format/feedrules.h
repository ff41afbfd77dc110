// The parsing rules of feeds: one small state machine over the reader's events, driven by a
// table of tags per feed format (RSS, Atom). It opens a record at each entry inside the
// format's container and keeps it, complete, at the entry's end tag. Plain C++: it knows
// nothing of downloads, stores or the platform.
#pragma once
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "format/entrypicture.h"
#include "format/rssitem.h"
#include "format/xmlevents.h"

namespace vexa {

// What a document showed of itself while it was read, for the feed's health.
struct DocumentFacts {
    std::string root;      // the document element's local name; empty before one
    bool container = false; // the format's container was opened: it is a feed
    std::string title;     // the feed's own title (the container's title), cut to kTitleLimit
    int entries = 0;       // entries read whole
    bool error = false;    // the reader reported an error; the first one follows
    int errorLine = 0;
    int errorColumn = 0;
    std::string errorMessage;
    HRESULT errorCode = 0;
    static constexpr std::size_t kTitleLimit = 800;
};

class FeedRules final : public IXmlParserCallback {
public:
    enum class Field { None, Author, Title, Genre, Price, Published, Description };
    static constexpr int kFieldCount = 7;
    // One feed format's tags and their roles; the tables are in the source.
    struct Format;
    struct Tag;

    FeedRules() noexcept;
    FeedRules(const FeedRules&) = delete;
    FeedRules& operator=(const FeedRules&) = delete;

    // Before a document: no container seen, no record open, no entry kept; `address` is the
    // base of the document's relative links.
    void Reset(const std::string& address);
    // The entries read whole since the last Reset, in document order, and the one still open
    // (none between entries); both are handed over.
    std::vector<CRssItem> TakeEntries() noexcept { return std::exchange(m_entries, {}); }
    std::optional<CRssItem> TakeUnfinished() { return std::exchange(m_current, std::nullopt); }

    // True once the format's container (RSS "channel", Atom's "feed") has been opened.
    bool InChannel() const noexcept { return m_inChannel; }
    // The record being filled; null between entries.
    const CRssItem* Current() const noexcept { return m_current ? &*m_current : nullptr; }
    // What the document read since the last Reset showed of itself.
    const DocumentFacts& Facts() const noexcept { return m_facts; }

    void OnStartElement(const XmlElement& element) override;
    void OnCharacters(std::string_view text, int depth) override;
    void OnEndElement(const XmlElement& element) override;
    void OnError(int line, int column, const std::string& message, HRESULT code) override;
    bool IsAborted(const XmlElement& element) override;

private:
    void OpenEntry(const XmlElement& element);
    void CloseEntry();
    void TakeLink(const XmlElement& element);
    void NotePicture(const XmlElement& element);
    bool Claim(const Tag& tag);
    static void NameEntry(CRssItem& record);

    std::vector<CRssItem> m_entries;   // read whole, in document order
    bool m_inChannel = false;
    std::optional<CRssItem> m_current; // in place: the sink takes its texts
    Field m_field = Field::None;
    const Format* m_format = nullptr;  // chosen by the document element
    const Tag* m_tag = nullptr;        // the tag whose text m_field collects
    const Tag* m_child = nullptr;      // the open child of the entry, when it is in the table
    int m_entryDepth = 0;
    bool m_linkTaken = false;          // the entry's link is set
    std::string m_address;             // the feed's address: the base of relative links
    std::string m_feedBase, m_entryBase;
    std::string m_aside[2][kFieldCount]; // texts kept for fields that their own tag did not fill, by rank
    bool m_taken[kFieldCount] = {};      // a field's first element was read
    bool m_asideTaken[2][kFieldCount] = {}; // the first of its `aside` elements of each rank was read
    DocumentFacts m_facts;
    std::string m_ownNamespace;        // a namespace that counts as the format's in this document
    int m_containerDepth = 0;
    bool m_inFeedTitle = false;        // inside the container's own title
    bool m_containerEnded = false;     // RSS 1.0 items (and an image) stand after it
    EntryPicture m_picture;            // the open entry's picture
    int m_imageDepth = 0;              // inside the entry's image child: its depth
    std::string m_imageText;           // the image child's text, or its url child's
};

} // namespace vexa
