#include "tests/support/downloads.h"

#include <gtest/gtest.h>

#include "com/ptr.h"
#include "store/rssstore.h"
#include "userdata/registryhelper.h"
#include "tests/support/fixtures.h"

using namespace vexa;

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
    request.pages = &vexa::FeedPages();
    vexa::com_ptr<vexa::FetchJob> job;
    job.attach(vexa::FetchJob::Start(request));
    EXPECT_TRUE(job);
    if (!job) return vexa::FetchResult();
    EXPECT_TRUE(job->WaitUntil(GetTickCount64() + 10000));
    return job->TakeResult();
}

bool LoadedStore::Load(const vexa::FeedAddress& feed)
{
    vexa::FetchRequest request;
    vexa::FetchResult result;
    switch (PlanLoad(feed, request)) {
    case Plan::Reader:
        return FeedLoader::Load(feed);
    case Plan::Fresh:
        return true;
    case Plan::Refused:
        break;
    case Plan::Download: {
        vexa::com_ptr<vexa::FetchJob> job;
        job.attach(vexa::FetchJob::Start(request));
        const vexa::FetchLimits limits = vexa::GetFetchLimits();
        if (job && job->WaitUntil(GetTickCount64() + limits.connectMs + limits.wholeMs + 10000))
            result = job->TakeResult();
        break;
    }
    }
    return LoadDownloaded(feed, result);
}

std::vector<std::string> StoreKeys(const CRssStore& store)
{
    std::vector<std::string> keys;
    for (const CRssItem& record : store.Items()) keys.push_back(record.RssID);
    return keys;
}

HttpServer::Reply FeedReply(const std::string& body, int latencyMs, int status, const std::string& header)
{
    HttpServer::Reply reply;
    reply.body = body;
    reply.latencyMs = latencyMs;
    reply.status = status;
    if (!header.empty()) reply.headers.push_back(header);
    return reply;
}

void WriteFeedList(const std::vector<std::string>& urls)
{
    vexa::unique_hkey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, CRegistryHelper::kKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, key.put(), nullptr), ERROR_SUCCESS);
    for (size_t i = 0; i < urls.size(); ++i) {
        const std::wstring name = L"dest[" + std::to_wstring(i) + L"]";
        const std::wstring url = Widen(urls[i]);
        ASSERT_EQ(RegSetValueExW(key.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(url.c_str()),
                                 static_cast<DWORD>((url.size() + 1) * sizeof(wchar_t))), ERROR_SUCCESS);
    }
}

} // namespace vexatest
