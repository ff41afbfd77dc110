#include "feeds/keyset.h"

#include <cstring>

namespace vexa {
namespace {

std::uint64_t Hash(const char* data, std::size_t size)
{
    std::uint64_t h = 1469598103934665603ull; // FNV-1a
    for (std::size_t i = 0; i < size; ++i) h = (h ^ static_cast<unsigned char>(data[i])) * 1099511628211ull;
    return h;
}

} // namespace

bool KeySet::SlotHolds(std::uint32_t slot, std::string_view key) const
{
    const char* at = m_text.data() + (slot - 1);
    std::uint32_t size;
    std::memcpy(&size, at, sizeof size);
    return size == key.size() && std::memcmp(at + sizeof size, key.data(), size) == 0;
}

std::size_t KeySet::Find(std::string_view key) const
{
    const std::size_t mask = m_slots.size() - 1;
    std::size_t i = static_cast<std::size_t>(Hash(key.data(), key.size())) & mask;
    while (m_slots[i] && !SlotHolds(m_slots[i], key)) i = (i + 1) & mask;
    return i;
}

bool KeySet::Contains(std::string_view key) const
{
    return m_size && m_slots[Find(key)] != 0;
}

void KeySet::Insert(std::string_view key)
{
    // At most half full, so a search ends soon at an empty slot.
    if ((m_size + 1) * 2 > m_slots.size()) Grow();
    const std::uint32_t size = static_cast<std::uint32_t>(key.size());
    const std::uint32_t slot = static_cast<std::uint32_t>(m_text.size()) + 1;
    m_text.append(reinterpret_cast<const char*>(&size), sizeof size);
    m_text.append(key);
    m_slots[Find(key)] = slot;
    ++m_size;
}

void KeySet::Grow()
{
    std::vector<std::uint32_t> old;
    old.swap(m_slots);
    m_slots.assign(old.empty() ? 64 : old.size() * 2, 0);
    const std::size_t mask = m_slots.size() - 1;
    for (std::uint32_t slot : old) {
        if (!slot) continue;
        std::uint32_t size;
        std::memcpy(&size, m_text.data() + (slot - 1), sizeof size);
        std::size_t i = static_cast<std::size_t>(Hash(m_text.data() + (slot - 1) + sizeof size, size)) & mask;
        while (m_slots[i]) i = (i + 1) & mask;
        m_slots[i] = slot;
    }
}

} // namespace vexa
