// The refresh cycle: reads the feed list, loads every feed into the store and notes each
// feed's health. http and https feeds download side by side on worker threads (their requests
// start in list order as far as the connection limits allow); everything else (parsing, the
// store, the health records, what the owner does after a load) happens on the calling thread,
// in list order. A tick waits a bounded time; a download it did not wait for is kept and
// taken over at its feed's turn by the next refresh.
#pragma once
#include <windows.h>
#include <functional>
#include <string>
#include <vector>

#include "com/ptr.h"
#include "net/httpfetch.h"
#include "plugin/entrypictures.h"
#include "plugin/feedaddress.h"
#include "plugin/feedloader.h"
#include "userdata/healthbook.h"

namespace vexa {

class RefreshCycle {
public:
    RefreshCycle() = default;
    // Downloads still running are left to end by their deadlines; they hold nothing of this.
    ~RefreshCycle();
    RefreshCycle(const RefreshCycle&) = delete;
    RefreshCycle& operator=(const RefreshCycle&) = delete;

    // How long a tick waits for its downloads (2 s). Tests shorten it; returns the previous value.
    static DWORD SetTickWait(DWORD ms);

    // A clearing refresh asks every feed again: a kept download that ended before it began
    // may hold an answer older than the user's request and is dropped; one still running is
    // taken over and waited for.
    void DropEndedDownloads();
    // One refresh over the feed list as it stands; `loaded` runs after each load that
    // succeeded. A clearing one (the user asking, or the start-up) waits for every download
    // and asks even a server that asked for a pause or whose answer is still fresh.
    void Run(bool clear, const std::function<void()>& loaded);

    FeedLoader& Loader() noexcept { return m_loader; }
    CRssStore& Store() noexcept { return m_loader.Store(); }
    const FeedHealthBook& Health() const noexcept { return m_health; }
    EntryPictures& Pictures() noexcept { return m_pictures; }

private:
    // A feed whose download was still running when its tick stopped waiting.
    struct LateFeed {
        std::string key;
        com_ptr<FetchJob> job;
    };
    // One feed's place in a refresh.
    struct Turn {
        FeedAddress feed;
        bool download = false;
        bool held = false;  // not asked now: its server's pause runs
        bool fresh = false; // not asked now: its last answer is still fresh; nothing changes
        com_ptr<FetchJob> job; // null for a download refused or not started
    };

    // Every feed's turn, in list order; their downloads start now.
    std::vector<Turn> PlanTurns(bool clear);
    // The turn of one feed: a kept download taken over, or a plan of its own.
    Turn PlanTurn(FeedAddress feed, bool clear, std::vector<LateFeed>& late);
    // One turn's load, waited for until `deadline`; true when the store took something new.
    bool RunTurn(Turn& turn, ULONGLONG deadline);
    // The health record of a feed whose load just ended (a failure here is reported and
    // keeps the refresh going).
    void NoteHealth(const std::wstring& listed) noexcept;

    FeedLoader m_loader;
    FeedHealthBook m_health;
    EntryPictures m_pictures;
    std::vector<LateFeed> m_late; // taken over by the next refresh, in list order
};

} // namespace vexa
