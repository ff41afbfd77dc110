#include "tests/support/downloads.h"

#include <gtest/gtest.h>

#include "com/ptr.h"
#include "feeds/rssstore.h"
#include "tests/support/fixtures.h"

namespace vexatest {

ScopedFetchLimits::ScopedFetchLimits(DWORD connectMs, DWORD idleMs, DWORD wholeMs,
                                     std::size_t maxBytes)
{
    vexa::FetchLimits limits;
    limits.connectMs = connectMs;
    limits.idleMs = idleMs;
    limits.wholeMs = wholeMs;
    limits.maxBytes = maxBytes;
    m_old = vexa::SetFetchLimits(limits);
}

ScopedFetchLimits::~ScopedFetchLimits() { vexa::SetFetchLimits(m_old); }

vexa::FetchResult FetchToEnd(const std::string& url)
{
    vexa::FetchRequest request;
    request.url = Widen(url);
    vexa::com_ptr<vexa::FetchJob> job;
    job.attach(vexa::FetchJob::Start(request));
    EXPECT_TRUE(job);
    if (!job) return vexa::FetchResult();
    EXPECT_TRUE(job->WaitUntil(GetTickCount64() + 10000));
    return job->TakeResult();
}

std::vector<std::string> StoreKeys(const CRssStore& store)
{
    std::vector<std::string> keys;
    for (const CRssItem& record : store.Items()) keys.push_back(record.RssID);
    return keys;
}

} // namespace vexatest
