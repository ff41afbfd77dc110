// The entries' pictures: fetched after their feed's body on download workers, decoded and
// fitted to the card there, kept in a bounded cache, and handed to items as picture objects.
// An entry's item is made once, when its feed's turn first reads it, and a picture can only be
// asked once the feed's body has named it: so a feed's turn waits a short while (at most
// kWaitMs, never past the refresh's own deadline, and the turns of one refresh kRefreshWaitMs
// in all) for the pictures it just asked. An item
// whose picture is not there by then shows the content icon; the picture, once it arrives,
// serves the items made after that.
#pragma once
#include <windows.h>
#include <ocidl.h>
#include <map>
#include <string>
#include <vector>

#include "com/ptr.h"
#include "format/rssitem.h"
#include "net/httpfetch.h"
#include "store/picturecache.h"

namespace vexa {

class EntryPictures {
public:
    static constexpr std::size_t kPerFeed = 20;        // pictures asked per feed and refresh
    static constexpr std::size_t kMaxBytes = 1u << 20; // a picture's download
    static constexpr DWORD kWaitMs = 400;              // a feed's turn waits for its pictures
    static constexpr DWORD kRefreshWaitMs = 1000;      // and all turns of a refresh together

    // How long a turn waits for its pictures; tests change it. Returns the previous value.
    static DWORD SetWait(DWORD ms);

    EntryPictures() = default;
    // Downloads still running are let go; they end by their deadlines.
    ~EntryPictures();
    EntryPictures(const EntryPictures&) = delete;
    EntryPictures& operator=(const EntryPictures&) = delete;

    // A refresh begins: its turns have their whole wait for pictures again.
    void BeginRefresh() noexcept { m_waitedMs = 0; }
    // Pictures whose downloads ended become cards, or failures that rest for an hour.
    void Harvest();
    // Starts the downloads of the pictures that `records` not yet shown name (the newest
    // first) that are neither kept, resting after a failure, nor on their way: at most
    // kPerFeed. Then waits for them until the turn's wait (or what is left of the refresh's)
    // ends or `deadline` (GetTickCount64) passes, and keeps what came.
    void Fetch(const std::vector<CRssItem*>& records, ULONGLONG deadline);
    // A picture object of the card kept for `record`'s picture, at the screen's size, for its
    // item; null when none is kept. Every item that shows one picture shares its one object
    // (and bitmap).
    // Marks the record OnCard when it gives one.
    com_ptr<IPicture> Card(CRssItem& record);
    // How many of `records` have an item on the panel that shows their picture.
    static long OnCards(const std::vector<CRssItem*>& records) noexcept;
    // Whether a card is kept for `address`.
    bool Has(const std::string& address) const { return m_cache.Has(address); }

    const PictureCache& Cache() const noexcept { return m_cache; }
    std::size_t Pending() const noexcept { return m_pending.size(); }

private:
    // A card's picture object as items were given it, while its card is kept.
    struct Shown {
        com_ptr<IPicture> picture;
        bool large = false;
        COLORREF background = 0;
    };

    PictureCache m_cache;
    std::map<std::string, Shown> m_shown;
    std::map<std::string, com_ptr<FetchJob>> m_pending;
    ULONGLONG m_waitedMs = 0; // by the turns of this refresh
};

// What a picture's body becomes on its worker: the card at both sizes, or nothing (a picture
// refused). Exposed for tests and the fuzzer.
std::string WorkPicture(const std::string& body);
// The card in a worker's product; false when the picture was refused.
bool ReadCard(const std::string& product, PictureCache::Card& card);

} // namespace vexa
