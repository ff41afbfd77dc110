// The feed item store: every entry read during the plugin's life (the records, kept by
// title), merged in from each parsed feed (format/feedparse.h). What is asked of a server,
// and when, and the parse itself are the loader's (plugin/feedloader.h).
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "format/feedparse.h"
#include "format/rssitem.h"
#include "store/feedrecords.h"

namespace vexa {

class CRssStore final {
public:
    using Records = vexa::FeedRecords::Range;

    CRssStore() = default;
    CRssStore(const CRssStore&) = delete;
    CRssStore& operator=(const CRssStore&) = delete;

    // Merges a parsed feed of `url`: its entries are stored in document order unless their
    // keys are known; with `listing` (a whole read) they become the feed's listing. The
    // entry left open where its reading stopped is kept until the next merge.
    void Merge(const std::string& url, ParsedFeed&& feed, bool listing);
    // Every key stored: the records and the keys kept alone.
    int Count() const { return m_items.Count(); }

    // The stored records in key order, and one by its key (null when it is not stored).
    Records Items() const noexcept { return m_items.Records(); }
    CRssItem* Find(const std::string& key) const { return m_items.Find(key); }
    // The records that the last whole read of the feed at `url` listed.
    const std::vector<CRssItem*>& Listed(const std::string& url) const { return m_items.Listed(url); }
    // The entry that the last merged reading left open (null when it ended between entries).
    const CRssItem* Current() const noexcept { return m_open ? &*m_open : nullptr; }

private:
    vexa::FeedRecords m_items; // the records, in title order
    std::optional<CRssItem> m_open;
};

} // namespace vexa
