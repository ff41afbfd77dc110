// The HTTP side of loading feeds into the store: which feeds are asked now and how (the
// validators of the version read, a server's pause, a fresh answer, the feed that a web page
// advertised), and what each answer does (a whole 200 is parsed, a 304 adds nothing, a 429 or
// 503 pauses, a body cut short is parsed for what it holds). The parse is format/feedparse.h's,
// the merge of its value the store's.
#pragma once
#include <windows.h>
#include <map>
#include <string>

#include "net/transfer.h"
#include "plugin/feedaddress.h"
#include "format/feedparse.h"
#include "store/rssstore.h"
#include "userdata/loadoutcome.h"

namespace vexa {

// What the loader keeps of one http feed for its life: the validators of the last version
// read, and the time before which its server asked not to be asked again.
struct FeedValidators {
    std::wstring etag;
    std::wstring lastModified;
    ULONGLONG retryUntil = 0; // GetTickCount64 time; 0 when nothing was asked
    ULONGLONG freshUntil = 0; // GetTickCount64 time until which the last answer is fresh
};

// How the downloads tell a web page and the feed it advertises (format/htmlscan.h): the first
// advertised feed that a download may read (from an https page, only an https feed).
const PageHandler& FeedPages() noexcept;

class FeedLoader {
public:
    FeedLoader() = default;
    FeedLoader(const FeedLoader&) = delete;
    FeedLoader& operator=(const FeedLoader&) = delete;

    CRssStore& Store() noexcept { return m_store; }
    const CRssStore& Store() const noexcept { return m_store; }

    // How a feed is read: by the reader's own fetch (any address but http, https and ftp), by a
    // download of the request filled in here (with the feed's validators), not at all now
    // (no reader, or its server asked for a pause), or not at all because its last answer is
    // still fresh (a load that adds nothing). A load the user asked for (`userAsked`) is held
    // back by neither a pause nor a fresh answer.
    enum class Plan { Reader, Download, Refused, Fresh };
    Plan PlanLoad(const FeedAddress& feed, FetchRequest& request, bool userAsked = false);
    // Reads a feed that no download takes (planned Reader) and merges what it holds into the
    // store: true for a whole read, and for a broken feed read in part (its entries before
    // the fault).
    bool Load(const FeedAddress& feed);
    // Finishes the load of a downloaded feed: only a whole 200 is a good document (or one read
    // in part), a 304 is a load that adds nothing, other statuses fail unparsed; a body cut
    // short is merged for what it holds and fails. The body is taken.
    bool LoadDownloaded(const FeedAddress& feed, FetchResult& result);

    // How the last load went (the feed's health is judged from it).
    const LoadOutcome& LastLoad() const noexcept { return m_last; }
    // The validators kept for a feed address; null when none are.
    const FeedValidators* Validators(const std::string& key) const;
    // The feed address that the web page at `key` advertised, kept for the loader's life
    // (later loads of `key` read that feed directly); empty when none.
    std::wstring AdvertisedFeed(const std::string& key) const;
    bool HasReader() const { return m_parser.IsReady(); }

private:
    // Ends a load: the parsed feed (empty when nothing was read) is merged into the store, and
    // the load's outcome written once, from the parse's report and the download's result.
    bool Finish(const std::string& key, LoadOutcome::Way way, bool loaded, ParsedFeed&& parsed,
                bool listing, const FetchResult* fetch);
    // Without a reader nothing loads, and the store stays as it is.
    bool NoReader();
    // The answer of a download that is parsed (a 200) or stands for the version read (a 304),
    // a pause noted. `listing`: the answer was read whole.
    bool UseAnswer(const FeedAddress& feed, FetchResult& result, ParsedFeed& parsed, bool& listing);

    FeedParser m_parser;
    CRssStore m_store;
    // Per feed address, as loaded (for a web page's address, those of the feed it advertised).
    std::map<std::string, FeedValidators> m_feeds;
    // Per web page address, the feed it advertised.
    std::map<std::string, std::wstring> m_advertised;
    LoadOutcome m_last;
};

} // namespace vexa
