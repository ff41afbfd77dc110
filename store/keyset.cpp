#include "store/keyset.h"

namespace vexa {
namespace {

// FNV-1a over the bytes, then a finalizer that spreads every bit over the whole word (the
// table's index takes the low bits).
std::uint64_t Fingerprint(std::string_view key)
{
    std::uint64_t h = 1469598103934665603ull;
    for (const char c : key) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 33;
    return h ? h : 1;
}

} // namespace

std::size_t KeySet::Find(std::uint64_t print) const
{
    const std::size_t mask = m_slots.size() - 1;
    std::size_t i = static_cast<std::size_t>(print) & mask;
    while (m_slots[i] && m_slots[i] != print) i = (i + 1) & mask;
    return i;
}

bool KeySet::Contains(std::string_view key) const
{
    return m_size && m_slots[Find(Fingerprint(key))] != 0;
}

void KeySet::Insert(std::string_view key)
{
    // At most three quarters full, so a search ends soon at an empty slot.
    if ((m_size + 1) * 4 > m_slots.size() * 3) Grow();
    const std::uint64_t print = Fingerprint(key);
    std::uint64_t& slot = m_slots[Find(print)];
    if (!slot) ++m_size;
    slot = print;
}

void KeySet::Grow()
{
    std::vector<std::uint64_t> old;
    old.swap(m_slots);
    m_slots.assign(old.empty() ? 64 : old.size() * 2, 0);
    for (const std::uint64_t print : old)
        if (print) m_slots[Find(print)] = print;
}

} // namespace vexa
