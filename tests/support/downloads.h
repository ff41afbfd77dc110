// Test helpers for the plugin's own downloads: deadlines of a test's own, a download run to
// its end, and the titles a store holds.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

#include "feeds/httpfetch.h"

class CRssStore;

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

// Downloads `url` with no validators and waits (at most 10 s) for the end.
vexa::FetchResult FetchToEnd(const std::string& url);

// The store's keys (titles), in its order.
std::vector<std::string> StoreKeys(const CRssStore& store);

} // namespace vexatest
