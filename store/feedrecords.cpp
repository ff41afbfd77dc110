// The records of the feeds and their listings.
#include "store/feedrecords.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

// Under AddressSanitizer (the native fuzzer) a block in the pool is unreadable until it is
// handed out again, as a freed heap block would be.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define VEXA_POOL_HIDE(block, size) ASAN_POISON_MEMORY_REGION(block, size)
#define VEXA_POOL_SHOW(block, size) ASAN_UNPOISON_MEMORY_REGION(block, size)
#else
#define VEXA_POOL_HIDE(block, size) ((void)(block), (void)(size))
#define VEXA_POOL_SHOW(block, size) ((void)(block), (void)(size))
#endif

namespace vexa {

bool KeyOrder::operator()(std::string_view a, std::string_view b) const noexcept
{
    const std::size_t common = std::min(a.size(), b.size());
    std::size_t i = 0;
    for (std::uint64_t wa, wb; i + sizeof wa <= common; i += sizeof wa) {
        std::memcpy(&wa, a.data() + i, sizeof wa);
        std::memcpy(&wb, b.data() + i, sizeof wb);
        if (wa != wb) {
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
            // With the first byte made the highest, the words order as their bytes do.
            return __builtin_bswap64(wa) < __builtin_bswap64(wb);
#else
            break; // the first differing byte is in this word
#endif
        }
    }
    for (; i < common; ++i)
        if (a[i] != b[i])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
    return a.size() < b.size();
}

void* BlockPool::Take(std::size_t size)
{
    if (m_size == 0)
        m_size = size;
    if (size != m_size)
        return ::operator new(size);
    if (m_free) {
        Free* block = m_free;
        VEXA_POOL_SHOW(block, m_size);
        m_free = block->next;
        return block;
    }
    // Blocks keep the alignment of the chunk: their size is rounded up to it.
    constexpr std::size_t kAlign = sizeof(std::max_align_t);
    const std::size_t units = (m_size + kAlign - 1) / kAlign;
    if (m_unused == 0) {
        m_chunks.emplace_back(new std::max_align_t[kPerChunk * units]);
        m_unused = kPerChunk;
        VEXA_POOL_HIDE(m_chunks.back().get(), kPerChunk * units * kAlign);
    }
    --m_unused;
    std::max_align_t* block = m_chunks.back().get() + m_unused * units;
    VEXA_POOL_SHOW(block, m_size);
    return block;
}

void BlockPool::Give(void* block, std::size_t size) noexcept
{
    if (size != m_size) {
        ::operator delete(block);
        return;
    }
    m_free = new (block) Free{m_free};
    VEXA_POOL_HIDE(block, m_size);
}

int FeedRecords::Count() const { return static_cast<int>(m_items.size() + m_shownKeys.Size()); }

void FeedRecords::Add(CRssItem&& record)
{
    // The first record of each title stays; a later one with the same key is dropped.
    if (m_shownKeys.Contains(record.RssID))
        return;
    const std::string_view key = record.RssID;
    const KeyOrder before;
    // Keys that arrive in order (numbered entries, either way round) are placed by one compare.
    auto at = m_items.end();
    if (!m_items.empty() && !before(*std::prev(at), key))
        at = before(key, *m_items.begin()) ? m_items.begin() : m_items.lower_bound(key);
    if (at == m_items.end() || before(key, *at)) {
        at = m_items.emplace_hint(at, std::move(record));
        // Unlisted until a whole read of its feed lists it.
        m_unlisted.push_back(Writable(at));
    } else {
        m_readRepeats = true; // this read may have read it already
    }
    m_read.push_back(Writable(at));
}

CRssItem* FeedRecords::Find(const std::string& key) const
{
    auto found = m_items.find(std::string_view(key));
    return found != m_items.end() ? Writable(found) : nullptr;
}

const std::vector<CRssItem*>& FeedRecords::Listed(const std::string& address) const
{
    static const std::vector<CRssItem*> kNone;
    auto found = m_listed.find(address);
    return found != m_listed.end() ? found->second : kNone;
}

void FeedRecords::Merge(const std::string& address, std::vector<CRssItem>&& entries, bool listing)
{
    BeginRead();
    for (CRssItem& entry : entries) {
        entry.NUM = Count();
        Add(std::move(entry));
    }
    if (listing)
        TakeListing(address);
}

void FeedRecords::BeginRead()
{
    ForgetShownUnlisted();
    m_read.clear();
    m_readRepeats = false;
}

// Drops the second and later mentions of each record.
void FeedRecords::Distinct(std::vector<CRssItem*>& records)
{
    std::sort(records.begin(), records.end());
    records.erase(std::unique(records.begin(), records.end()), records.end());
}

void FeedRecords::TakeListing(const std::string& address)
{
    if (m_readRepeats)
        Distinct(m_read);
    std::vector<CRssItem*>& listed = m_listed[address];
    for (CRssItem* record : m_read)
        ++record->Listings;
    for (CRssItem* record : listed) {
        if (--record->Listings == 0) {
            m_unlisted.push_back(record);
            m_unlistedRepeats = true;
        }
    }
    listed.swap(m_read);
    m_read.clear();
    m_readRepeats = false;
    // Freed now when shown, or after the walk that shows them.
    ForgetShownUnlisted();
}

void FeedRecords::ForgetShownUnlisted()
{
    if (m_unlistedRepeats)
        Distinct(m_unlisted);
    m_unlistedRepeats = false;
    std::size_t kept = 0;
    for (CRssItem* record : m_unlisted) {
        if (record->Listings > 0)
            continue;
        if (!record->IsShown) {
            m_unlisted[kept++] = record;
            continue;
        }
        // Its key is all that "never shown twice" needs.
        auto found = m_items.find(std::string_view(record->RssID));
        if (found != m_items.end() && &*found == record) {
            m_shownKeys.Insert(found->RssID);
            m_items.erase(found);
        }
    }
    m_unlisted.resize(kept);
}

} // namespace vexa
