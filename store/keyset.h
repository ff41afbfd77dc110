// A set of keys held as compactly as a set can be that only ever answers "seen before?": each
// key is kept as a 64-bit fingerprint of its bytes in an open-addressing table. Two different
// keys share a fingerprint with a chance of one in 2^64 per pair: a million keys (years of a
// busy feed list) give a chance of about one in 30 million that any one entry is taken for
// one seen before. Keys are only ever added.
#pragma once
#include <cstddef>
#include <cstdint>
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
    std::size_t Find(std::uint64_t print) const; // the fingerprint's slot, or the empty slot for it
    void Grow();

    std::vector<std::uint64_t> m_slots; // fingerprints; 0 is empty (no fingerprint is 0)
    std::size_t m_size = 0;
};

} // namespace vexa
