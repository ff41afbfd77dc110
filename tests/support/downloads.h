// Test helpers for the plugin's own downloads: deadlines of a test's own, a download run to
// its end, the titles a store holds, answers of the loopback server and the feed list.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

#include "net/httpfetch.h"
#include "plugin/feedloader.h"
#include "tests/support/httpserver.h"

namespace vexatest {

// Sets the download deadlines for the life of the object, then puts back the ones before.
class ScopedFetchLimits {
public:
    ScopedFetchLimits(DWORD connectMs, DWORD idleMs, DWORD wholeMs,
                      std::size_t maxBytes = vexa::FetchLimits().maxBytes);
    ~ScopedFetchLimits();
    ScopedFetchLimits(const ScopedFetchLimits&) = delete;
    ScopedFetchLimits& operator=(const ScopedFetchLimits&) = delete;

private:
    vexa::FetchLimits m_old;
};

// Downloads `url` with no validators, web pages handled as the refresh does, and waits (at
// most 10 s) for the end.
vexa::FetchResult FetchToEnd(const std::string& url);

// A store loaded as the refresh loads it (its HTTP policy included), read like the store.
class LoadedStore : public vexa::FeedLoader {
public:
    // A load as the refresh makes it: planned, then downloaded to its end (within the
    // download's own bounds) or read by the reader; a feed held or still fresh is not asked.
    bool Load(const vexa::FeedAddress& feed);
    int Count() const { return Store().Count(); }
    vexa::CRssStore::Records Items() const noexcept { return Store().Items(); }
    vexa::CRssItem* Find(const std::string& key) const { return Store().Find(key); }
    const vexa::CRssItem* Current() const noexcept { return Store().Current(); }
};

// The store's keys (titles), in its order.
std::vector<std::string> StoreKeys(const vexa::CRssStore& store);
inline std::vector<std::string> StoreKeys(const vexa::FeedLoader& loader) { return StoreKeys(loader.Store()); }

// An answer of the loopback server: a body, late by `latencyMs`, with a status and one extra
// header line.
HttpServer::Reply FeedReply(const std::string& body, int latencyMs = 0, int status = 200,
                            const std::string& header = std::string());

// Writes the feed list (dest[0], dest[1], ...) into the current user's feed list key.
void WriteFeedList(const std::vector<std::string>& urls);

} // namespace vexatest
