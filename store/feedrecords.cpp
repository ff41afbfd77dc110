// The records of the feeds and their listings.
#include "store/feedrecords.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vexa {

bool KeyOrder::operator()(std::string_view a, std::string_view b) const noexcept
{
    const std::size_t common = std::min(a.size(), b.size());
    std::size_t i = 0;
    for (std::size_t wa, wb; i + sizeof wa <= common; i += sizeof wa) {
        std::memcpy(&wa, a.data() + i, sizeof wa);
        std::memcpy(&wb, b.data() + i, sizeof wb);
        if (wa != wb)
            break; // the first differing byte is in this word
    }
    for (; i < common; ++i)
        if (a[i] != b[i])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
    return a.size() < b.size();
}

int FeedRecords::Count() const { return static_cast<int>(m_items.size() + m_shownKeys.Size()); }

void FeedRecords::Add(std::unique_ptr<CRssItem> record)
{
    // The first record of each title stays; a later one with the same key is dropped.
    if (m_shownKeys.Contains(record->RssID))
        return;
    auto stored = m_items.try_emplace(record->RssID);
    if (stored.second) {
        stored.first->second = std::move(record);
        // Unlisted until a whole read of its feed lists it.
        m_unlisted.push_back(stored.first->second.get());
    }
    m_read.push_back(stored.first->second.get());
}

CRssItem* FeedRecords::Find(const std::string& key) const
{
    auto found = m_items.find(key);
    return found != m_items.end() ? found->second.get() : nullptr;
}

void FeedRecords::BeginRead()
{
    ForgetShownUnlisted();
    m_read.clear();
}

void FeedRecords::TakeListing(const std::string& address)
{
    std::sort(m_read.begin(), m_read.end());
    m_read.erase(std::unique(m_read.begin(), m_read.end()), m_read.end());
    std::vector<CRssItem*>& listed = m_listed[address];
    for (CRssItem* record : m_read)
        ++record->Listings;
    for (CRssItem* record : listed)
        if (--record->Listings == 0)
            m_unlisted.push_back(record);
    listed.swap(m_read);
    m_read.clear();
    // Freed now when shown, or after the walk that shows them.
    ForgetShownUnlisted();
}

void FeedRecords::ForgetShownUnlisted()
{
    std::sort(m_unlisted.begin(), m_unlisted.end());
    m_unlisted.erase(std::unique(m_unlisted.begin(), m_unlisted.end()), m_unlisted.end());
    std::size_t kept = 0;
    for (CRssItem* record : m_unlisted) {
        if (record->Listings > 0)
            continue;
        if (!record->IsShown) {
            m_unlisted[kept++] = record;
            continue;
        }
        // Its key is all that "never shown twice" needs.
        auto found = m_items.find(record->RssID);
        if (found != m_items.end() && found->second.get() == record) {
            m_shownKeys.Insert(found->first);
            m_items.erase(found);
        }
    }
    m_unlisted.resize(kept);
}

} // namespace vexa
