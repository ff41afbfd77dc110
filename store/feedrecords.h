// The records of every feed read during the plugin's life, keyed by title (an untitled one by
// its link, else its description), and which feeds list them. A record shown and listed by
// no feed any more leaves; its key stays, so the entry is never stored or shown again.
// Plain C++.
#pragma once
#include <cstddef>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <string_view>
#include <vector>

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

// Blocks of the same size handed out from larger ones and taken back for the next asks: a
// feed's thousands of records cost a heap block per 64 instead of one each. What is taken
// back stays for later records until the pool goes.
class BlockPool {
public:
    BlockPool() = default;
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;

    // The pool serves blocks of the size first asked; blocks of other sizes come from the heap.
    void* Take(std::size_t size);
    void Give(void* block, std::size_t size) noexcept;

private:
    struct Free {
        Free* next;
    };
    static constexpr std::size_t kPerChunk = 64;
    std::vector<std::unique_ptr<std::max_align_t[]>> m_chunks;
    Free* m_free = nullptr;
    std::size_t m_size = 0; // of each block; set by the first ask
    std::size_t m_unused = 0; // blocks of the last chunk never handed out
};

// The set's allocator: its nodes come from a pool, anything else from the heap.
template <typename T>
struct PoolAllocator {
    using value_type = T;
    BlockPool* pool;

    explicit PoolAllocator(BlockPool* p) noexcept : pool(p) {}
    template <typename U>
    PoolAllocator(const PoolAllocator<U>& other) noexcept : pool(other.pool) {}
    T* allocate(std::size_t n)
    {
        return static_cast<T*>(n == 1 ? pool->Take(sizeof(T)) : ::operator new(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept
    {
        if (n == 1)
            pool->Give(p, sizeof(T));
        else
            ::operator delete(p);
    }
    template <typename U>
    bool operator==(const PoolAllocator<U>& other) const noexcept { return pool == other.pool; }
    template <typename U>
    bool operator!=(const PoolAllocator<U>& other) const noexcept { return pool != other.pool; }
};

class FeedRecords final {
    // The records themselves, in one block each with their place in the order. A record's
    // key (RssID) never changes once stored; its other members do (the set hands out const
    // records, made writable again where they are handed on).
    using Map = std::set<CRssItem, KeyOrder, PoolAllocator<CRssItem>>;

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

    FeedRecords() : m_items(KeyOrder(), PoolAllocator<CRssItem>(&m_nodes)) {}
    FeedRecords(const FeedRecords&) = delete;
    FeedRecords& operator=(const FeedRecords&) = delete;

    // Every key stored: the records and the keys kept alone.
    int Count() const;
    // Merges the entries of one reading of the feed at `address`, in document order: each is
    // stored under its key unless the key is known (its NUM: the count of keys before it).
    // With `listing` (a whole read), they replace the entries the feed listed before.
    void Merge(const std::string& address, std::vector<CRssItem>&& entries, bool listing);

    Range Records() const noexcept { return {Iterator(m_items.begin()), Iterator(m_items.end())}; }
    // The stored record of a key; null when none is (or only its key is kept).
    CRssItem* Find(const std::string& key) const;

    // The records that the last whole read of `address` listed (in no particular order);
    // empty when none.
    const std::vector<CRssItem*>& Listed(const std::string& address) const;

private:
    // Before a reading is merged: the entries read so far are forgotten.
    void BeginRead();
    // Stores a record under its key unless the key is known; either way the entry counts as
    // read by the reading being merged.
    void Add(CRssItem&& record);
    // After a whole read of the feed at `address`: the entries it lists now replace those it
    // listed before.
    void TakeListing(const std::string& address);

    static CRssItem* Writable(Map::const_iterator at) noexcept { return const_cast<CRssItem*>(&*at); }
    // Frees the records of m_unlisted that are shown (their keys stay); keeps the unshown.
    void ForgetShownUnlisted();
    static void Distinct(std::vector<CRssItem*>& records);

    BlockPool m_nodes; // before the set: it outlives the set's nodes
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
