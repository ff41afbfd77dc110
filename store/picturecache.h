// The entries' pictures, decoded and fitted to the card, kept by address within a byte budget:
// the least recently used goes first. An address whose picture failed is not asked again for
// an hour.
#pragma once
#include <windows.h>
#include <cstddef>
#include <list>
#include <string>
#include <unordered_map>

#include "format/picture.h"

namespace vexa {

class PictureCache {
public:
    static constexpr std::size_t kBudget = 8u * 1024 * 1024;
    static constexpr ULONGLONG kFailureMs = 60u * 60 * 1000;

    // One picture at the card's two sizes (96 and 192 dpi).
    struct Card {
        Pixels normal;
        Pixels large;
        std::size_t Bytes() const noexcept { return normal.Bytes() + large.Bytes(); }
    };

    explicit PictureCache(std::size_t budget = kBudget) noexcept : m_budget(budget) {}
    PictureCache(const PictureCache&) = delete;
    PictureCache& operator=(const PictureCache&) = delete;

    // The card kept for `address`, now the most recently used; null when none is kept.
    const Card* Find(const std::string& address);
    bool Has(const std::string& address) const { return m_kept.count(address) != 0; }
    // Keeps a card (one larger than the whole budget is not kept), letting go of the least
    // recently used until the rest fits.
    void Put(const std::string& address, Card card);
    // The picture at `address` failed at `now` (a GetTickCount64 time).
    void Fail(const std::string& address, ULONGLONG now);
    // Whether `address` is neither kept nor failed within the hour: it is worth asking.
    bool Wanted(const std::string& address, ULONGLONG now) const;

    std::size_t Bytes() const noexcept { return m_bytes; }
    std::size_t Count() const noexcept { return m_order.size(); }

private:
    struct Entry {
        std::string address;
        Card card;
    };
    using Order = std::list<Entry>; // most recently used first

    std::size_t m_budget;
    std::size_t m_bytes = 0;
    Order m_order;
    std::unordered_map<std::string, Order::iterator> m_kept;
    std::unordered_map<std::string, ULONGLONG> m_failed;
};

} // namespace vexa
