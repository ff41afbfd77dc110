// The HTTP policy of the feeds' loads, and the web page handling that the downloads take.
#include "plugin/feedloader.h"

#include <utility>

#include "com/ptr.h"
#include "format/htmlscan.h"
#include "format/utf8.h"
#include "net/connectiongate.h"
#include "net/ftptransfer.h"
#include "net/httpfetch.h"
#include "net/httprules.h"

namespace vexa {

namespace {

class HtmlPages final : public PageHandler {
public:
    std::size_t ScanLimit() const noexcept override { return kPageScanLimit; }
    bool IsPage(const char* data, std::size_t size) const override { return IsWebPage(data, size); }
    std::wstring AdvertisedFeed(const char* data, std::size_t size, const std::wstring& pageUrl) const override
    {
        const std::string pageAddress = utf::ToUtf8(pageUrl.data(), pageUrl.size());
        for (const std::string& feed : FindAdvertisedFeeds(data, size, pageAddress)) {
            std::wstring written = utf::WrittenAddress<wchar_t>(feed, utf::kAddressLimit);
            const std::wstring wire = utf::UrlForTheWire(written);
            if (IsHttpAddress(wire) && !ServerOf(wire).empty() && (!IsHttpsAddress(pageUrl) || IsHttpsAddress(wire)))
                return written;
        }
        return std::wstring();
    }
};

// Lives as long as the module's image: workers may call it after every owner let go.
const HtmlPages g_pages;

} // namespace

const PageHandler& FeedPages() noexcept { return g_pages; }

void FeedLoader::BeginLoad(const std::string& key, LoadOutcome::Way way)
{
    m_store.BeginLoad(key);
    m_last = LoadOutcome();
    m_last.way = way;
}

bool FeedLoader::EndLoad(bool loaded)
{
    LoadOutcome outcome = m_store.LastLoad();
    outcome.way = m_last.way;
    outcome.fetch = std::move(m_last.fetch);
    outcome.advertisedFeed = std::move(m_last.advertisedFeed);
    outcome.loaded = loaded;
    m_last = std::move(outcome);
    return loaded;
}

bool FeedLoader::Load(const FeedAddress& feed)
{
    if (!m_store.HasReader()) {
        m_last = LoadOutcome();
        m_last.way = LoadOutcome::Way::NoReader;
        return false;
    }
    FetchRequest request;
    switch (PlanLoad(feed, request)) {
    case Plan::Reader:
        BeginLoad(feed.key, LoadOutcome::Way::Reader);
        return EndLoad(m_store.ReadAddress(feed.key));
    case Plan::Refused:
        BeginLoad(feed.key, LoadOutcome::Way::Held);
        return EndLoad(false);
    case Plan::Fresh:
        BeginLoad(feed.key, LoadOutcome::Way::Fresh);
        return EndLoad(true);
    case Plan::Download:
        break;
    }
    com_ptr<FetchJob> job;
    job.attach(FetchJob::Start(request));
    FetchResult result;
    if (job && job->WaitUntil(~0ull))
        result = job->TakeResult();
    return LoadDownloaded(feed, result);
}

FeedLoader::Plan FeedLoader::PlanLoad(const FeedAddress& feed, FetchRequest& request, bool userAsked)
{
    if (!m_store.HasReader())
        return Plan::Refused;
    if (!(IsHttpAddress(feed.wire) || IsFtpAddress(feed.wire)))
        return Plan::Reader;
    request = FetchRequest();
    request.url = feed.wire;
    request.pages = &FeedPages();
    // A web page whose feed is known: the feed is asked directly, and is taken as it answers.
    auto advertised = m_advertised.find(feed.key);
    if (advertised != m_advertised.end()) {
        request.url = utf::UrlForTheWire(advertised->second);
        request.discover = false;
    }
    auto found = m_feeds.find(feed.key);
    if (found != m_feeds.end()) {
        const FeedValidators& kept = found->second;
        if (!userAsked && kept.retryUntil && GetTickCount64() < kept.retryUntil)
            return Plan::Refused;
        if (!userAsked && kept.freshUntil && GetTickCount64() < kept.freshUntil)
            return Plan::Fresh;
        request.etag = kept.etag;
        request.lastModified = kept.lastModified;
    }
    return Plan::Download;
}

bool FeedLoader::LoadDownloaded(const FeedAddress& feed, FetchResult& result)
{
    using Outcome = FetchResult::Outcome;
    BeginLoad(feed.key, m_store.HasReader() ? LoadOutcome::Way::Download : LoadOutcome::Way::NoReader);
    {
        // The result without its body (the body stays for the parse).
        std::string body = std::move(result.body);
        m_last.fetch = result;
        result.body = std::move(body);
    }
    if (!result.advertisedFeed.empty())
        m_advertised[feed.key] = result.advertisedFeed;
    m_last.advertisedFeed = AdvertisedFeed(feed.key);
    if (!m_store.HasReader() || result.outcome == Outcome::Failed || result.pageWithoutFeed)
        return EndLoad(false);
    if (result.outcome == Outcome::Cut)
        return EndLoad(m_store.ReadCutBody(result.body));
    return EndLoad(UseAnswer(feed, result));
}

bool FeedLoader::UseAnswer(const FeedAddress& feed, FetchResult& result)
{
    FeedValidators& kept = m_feeds[feed.key];
    // Only a good answer stays fresh (a 304 to validators, or a 200 read whole).
    kept.freshUntil = 0;
    const ULONGLONG freshUntil = result.freshMs ? GetTickCount64() + result.freshMs : 0;
    if (result.status == 429 || result.status == 503) {
        const ULONGLONG pause = result.retryAfterMs;
        kept.retryUntil = pause ? GetTickCount64() + pause : 0;
        return false;
    }
    // Any other answer (to a load the user asked for during a pause) ends the pause.
    kept.retryUntil = 0;
    if (result.status == 304) { // unasked, it proves nothing
        const bool validated = !kept.etag.empty() || !kept.lastModified.empty();
        if (validated) kept.freshUntil = freshUntil;
        return validated;
    }
    if (result.status != 200 || !m_store.ReadBody(feed.key, result.body))
        return false;
    // Only a version read whole stands for the next request.
    kept.etag = result.etag;
    kept.lastModified = result.lastModified;
    kept.freshUntil = freshUntil;
    return true;
}

std::wstring FeedLoader::AdvertisedFeed(const std::string& key) const
{
    auto found = m_advertised.find(key);
    return found != m_advertised.end() ? found->second : std::wstring();
}

const FeedValidators* FeedLoader::Validators(const std::string& key) const
{
    auto found = m_feeds.find(key);
    return found != m_feeds.end() ? &found->second : nullptr;
}

} // namespace vexa
