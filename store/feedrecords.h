// The records of every feed read during the plugin's life, keyed by title (an untitled one by
// its link, else its description), and which feeds list them. A record shown and listed by
// no feed any more leaves; its key stays, so the entry is never stored or shown again.
// Plain C++.
#pragma once
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "format/feedrules.h"
#include "store/keyset.h"
#include "format/rssitem.h"

namespace vexa {

// The byte order of keys (as memcmp, then the shorter first), compared here a machine word at
// a time: keys of one feed often share a long start. Records are ordered by their keys.
struct KeyOrder {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept;
    bool operator()(const CRssItem& a, const CRssItem& b) const noexcept { return (*this)(a.RssID, b.RssID); }
    bool operator()(const CRssItem& a, std::string_view b) const noexcept { return (*this)(a.RssID, b); }
    bool operator()(std::string_view a, const CRssItem& b) const noexcept { return (*this)(a, b.RssID); }
};

class FeedRecords final : public RecordSink {
    // The records themselves, in one block each with their place in the order. A record's
    // key (RssID) never changes once stored; its other members do (the set hands out const
    // records, made writable again where they are handed on).
    using Map = std::set<CRssItem, KeyOrder>;

public:
    // Visits the stored records in key order (the byte order of their titles).
    class Iterator {
    public:
        explicit Iterator(Map::const_iterator at) noexcept : m_at(at) {}
        CRssItem& operator*() const noexcept { return *Writable(m_at); }
        CRssItem* operator->() const noexcept { return Writable(m_at); }
        Iterator& operator++() noexcept { ++m_at; return *this; }
        bool operator==(const Iterator& other) const noexcept { return m_at == other.m_at; }
        bool operator!=(const Iterator& other) const noexcept { return m_at != other.m_at; }

    private:
        Map::const_iterator m_at;
    };
    struct Range {
        Iterator first, last;
        Iterator begin() const noexcept { return first; }
        Iterator end() const noexcept { return last; }
        bool empty() const noexcept { return first == last; }
    };

    FeedRecords() = default;
    FeedRecords(const FeedRecords&) = delete;
    FeedRecords& operator=(const FeedRecords&) = delete;

    // Every key stored: the records and the keys kept alone.
    int Count() const override;
    // Stores a record under its key unless the key is known; either way the entry counts as
    // read by the document being read.
    void Add(CRssItem&& record) override;

    Range Records() const noexcept { return {Iterator(m_items.begin()), Iterator(m_items.end())}; }
    // The stored record of a key; null when none is (or only its key is kept).
    CRssItem* Find(const std::string& key) const;

    // Before a document is read: the entries read so far are forgotten.
    void BeginRead();
    // After a whole read of the feed at `address`: the entries it lists now replace those it
    // listed before.
    void TakeListing(const std::string& address);

private:
    static CRssItem* Writable(Map::const_iterator at) noexcept { return const_cast<CRssItem*>(&*at); }
    // Frees the records of m_unlisted that are shown (their keys stay); keeps the unshown.
    void ForgetShownUnlisted();
    static void Distinct(std::vector<CRssItem*>& records);

    // Title order, byte-wise; owns the records.
    Map m_items;
    KeySet m_shownKeys;
    // The records that this read's entries stand for (new or already stored).
    std::vector<CRssItem*> m_read;
    bool m_readRepeats = false; // m_read may name a record twice (a stored key was read)
    // Per feed address: the records its last whole read listed.
    std::map<std::string, std::vector<CRssItem*>> m_listed;
    // Records that no feed lists, kept until they are shown. Those added when stored are
    // new; only those that a listing gave up may be named twice.
    std::vector<CRssItem*> m_unlisted;
    bool m_unlistedRepeats = false;
};

} // namespace vexa
