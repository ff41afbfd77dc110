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
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "com/ptr.h"
#include "format/rssitem.h"
#include "net/connectiongate.h"
#include "net/httpfetch.h"
#include "store/picturecache.h"

namespace vexa {

class EntryPictures {
public:
    static constexpr std::size_t kPerFeed = 20;        // pictures pending for one feed
    static constexpr std::size_t kMaxPending = 200;    // and for all feeds
    static constexpr std::size_t kMaxBytes = 1u << 20; // a picture's download
    // Picture downloads running at once, to one server (the gate leaves a server's last
    // connection to feeds) and in all; the others wait in a queue, with no thread.
    static constexpr std::size_t kRunningPerServer = kMaxConnectionsPerServer - 1;
    static constexpr std::size_t kRunning = kMaxConnections / 2;
    static_assert(kRunning <= MAXIMUM_WAIT_OBJECTS, "a turn waits for every running download at once");
    static constexpr long kDecodes = 2;                // pictures decoded at once in the process
    static constexpr DWORD kDecodeWaitMs = 10000;      // a picture waits this long for its turn
    static constexpr DWORD kDecodeCpuMs = 2000;        // and is given up after this much CPU
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
    // Pictures whose downloads ended become cards, or failures that rest for an hour; queued
    // pictures start as far as the limits allow.
    void Harvest();
    // Asks the pictures that `records` of `feed` not yet shown name (the newest first) that
    // are neither kept, resting after a failure, nor on their way: while the feed has fewer
    // than kPerFeed pending and all feeds fewer than kMaxPending. Then waits for them until
    // the turn's wait (or what is left of the refresh's) ends or `deadline` (GetTickCount64)
    // passes, and keeps what came.
    void Fetch(const std::vector<CRssItem*>& records, const std::string& feed, ULONGLONG deadline);
    // A picture object of the card kept for `record`'s picture, at the screen's size, for its
    // item; null when none is kept. Every item that shows one picture shares its one object
    // (and bitmap). Marks the record OnCard when it gives one.
    com_ptr<IPicture> Card(CRssItem& record);
    // How many of `records` have an item on the panel that shows their picture.
    static long OnCards(const std::vector<CRssItem*>& records) noexcept;
    // Whether a card is kept for `address`.
    bool Has(const std::string& address) const { return m_cache.Has(address); }

    const PictureCache& Cache() const noexcept { return m_cache; }
    std::size_t Pending() const noexcept { return m_pending.size(); }
    // Picture objects (each with its bitmap) kept for the cards that items were given.
    std::size_t CardObjects() const noexcept { return m_shown.size(); }
    // Pending pictures whose download runs.
    std::size_t Running() const noexcept;
    // The most pictures decoded at once in the process since the last call (for tests).
    static long MostDecodesAtOnce() noexcept;

private:
    // A card's picture object as items were given it, while its card is kept.
    struct Shown {
        com_ptr<IPicture> picture;
        bool large = false;
        COLORREF background = 0;
    };

    // A picture asked: queued (no job yet) or downloading.
    struct Asked {
        std::string feed;
        std::wstring server;
        com_ptr<FetchJob> job;
    };
    // Downloads running, in all and per server.
    struct RunningCount {
        std::size_t total = 0;
        std::map<std::wstring, std::size_t> perServer;
    };
    RunningCount CountRunning() const;
    void StartQueued();

    PictureCache m_cache;
    std::map<std::string, Shown> m_shown;
    std::map<std::string, Asked> m_pending; // by address
    std::deque<std::string> m_queued;         // the addresses of pending pictures without a job, in order
    ULONGLONG m_waitedMs = 0; // by the turns of this refresh
};

// What a picture's body becomes on its worker: the card at both sizes, or nothing (a picture
// refused). Exposed for tests and the fuzzer.
std::string WorkPicture(const std::string& body);
// The card in a worker's product; false when the picture was refused.
bool ReadCard(const std::string& product, PictureCache::Card& card);

} // namespace vexa
