// The feed item store: the records, merged in from parsed feeds.
#include "store/rssstore.h"

#include <utility>

namespace vexa {

void CRssStore::Merge(const std::string& url, ParsedFeed&& feed, bool listing)
{
    m_items.Merge(url, std::move(feed.entries), listing);
    m_open = std::move(feed.unfinished);
    if (m_open)
        m_open->NUM = Count();
}

} // namespace vexa
