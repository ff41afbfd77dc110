#include "store/picturecache.h"

#include <utility>

namespace vexa {

const PictureCache::Card* PictureCache::Find(const std::string& address)
{
    auto found = m_kept.find(address);
    if (found == m_kept.end())
        return nullptr;
    m_order.splice(m_order.begin(), m_order, found->second);
    return &found->second->card;
}

void PictureCache::Put(const std::string& address, Card card)
{
    auto found = m_kept.find(address);
    if (found != m_kept.end()) {
        m_bytes -= found->second->card.Bytes();
        m_order.erase(found->second);
        m_kept.erase(found);
    }
    const std::size_t bytes = card.Bytes();
    if (bytes > m_budget)
        return;
    while (!m_order.empty() && m_bytes + bytes > m_budget) {
        m_bytes -= m_order.back().card.Bytes();
        m_kept.erase(m_order.back().address);
        m_order.pop_back();
    }
    m_order.push_front(Entry{address, std::move(card)});
    m_kept[address] = m_order.begin();
    m_bytes += bytes;
    m_failed.erase(address);
}

void PictureCache::Fail(const std::string& address, ULONGLONG now)
{
    // Old failures go as new ones come, so the map stays as small as an hour's failures.
    for (auto it = m_failed.begin(); it != m_failed.end();)
        it = now - it->second >= kFailureMs ? m_failed.erase(it) : std::next(it);
    m_failed[address] = now;
}

bool PictureCache::Wanted(const std::string& address, ULONGLONG now) const
{
    if (m_kept.count(address))
        return false;
    auto failed = m_failed.find(address);
    return failed == m_failed.end() || now - failed->second >= kFailureMs;
}

} // namespace vexa
