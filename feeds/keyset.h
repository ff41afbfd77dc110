// A set of keys held as compactly as their text allows: every key's bytes once, in one
// block, found through an open-addressing table of offsets. Keys are only ever added.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vexa {

class KeySet {
public:
    bool Contains(std::string_view key) const;
    // Adds a key that is not in the set yet.
    void Insert(std::string_view key);
    std::size_t Size() const { return m_size; }

private:
    std::size_t Find(std::string_view key) const; // the key's slot, or the empty slot for it
    bool SlotHolds(std::uint32_t slot, std::string_view key) const;
    void Grow();

    std::string m_text;                 // each key: its length (4 bytes), then its bytes
    std::vector<std::uint32_t> m_slots; // 1 + the key's offset in m_text; 0 is empty
    std::size_t m_size = 0;
};

} // namespace vexa
