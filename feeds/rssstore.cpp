// The feed item store: the records, the validators of each http feed, and the planning of
// each load (the reader's own fetch or a download).
#include "feeds/rssstore.h"

#include "com/ptr.h"
#include "feeds/htmlscan.h"
#include "feeds/utf8.h"
#include "feeds/xmlparser.h"

namespace vexa {

CRssStore::CRssStore() : m_parser(std::make_unique<CXmlParser>())
{
    m_parser->SetCallback(this);
}

CRssStore::~CRssStore() = default;

void CRssStore::ResetParseState(const std::string& url)
{
    m_items.BeginRead();
    m_rules.Reset(url);
    m_last = LoadOutcome();
}

bool CRssStore::EndLoad(bool loaded)
{
    m_last.loaded = loaded;
    if (m_last.parsed) {
        m_last.readerResult = m_parser->LastResult();
        m_last.document = m_rules.Facts();
    }
    return loaded;
}

bool CRssStore::Load(const std::string& url)
{
    if (!m_parser->IsReady()) {
        m_last = LoadOutcome();
        m_last.way = LoadOutcome::Way::NoReader;
        return false;
    }
    vexa::FetchRequest request;
    switch (PlanLoad(url, request)) {
    case Plan::Reader:
        ResetParseState(url);
        m_last.way = LoadOutcome::Way::Reader;
        m_last.parsed = true;
        if (!m_parser->Parse(url))
            return EndLoad(false);
        TakeListing(url);
        return EndLoad(true);
    case Plan::Refused:
        ResetParseState(url);
        m_last.way = LoadOutcome::Way::Held;
        return false;
    case Plan::Fresh:
        ResetParseState(url);
        m_last.way = LoadOutcome::Way::Fresh;
        return EndLoad(true);
    case Plan::Download:
        break;
    }
    vexa::com_ptr<vexa::FetchJob> job;
    job.attach(vexa::FetchJob::Start(request));
    vexa::FetchResult result;
    if (job && job->WaitUntil(~0ull))
        result = job->TakeResult();
    return LoadDownloaded(url, result);
}

CRssStore::Plan CRssStore::PlanLoad(const std::string& url, vexa::FetchRequest& request, bool userAsked)
{
    if (!m_parser->IsReady())
        return Plan::Refused;
    std::wstring wide;
    if (!vexa::WidenAddress(url, wide) || !vexa::IsHttpAddress(wide))
        return Plan::Reader;
    request = vexa::FetchRequest();
    request.url = std::move(wide);
    // A web page whose feed is known: the feed is asked directly, and is taken as it answers.
    auto advertised = m_advertised.find(url);
    if (advertised != m_advertised.end()) {
        request.url = vexa::utf::UrlForTheWire(advertised->second);
        request.discover = false;
    }
    auto found = m_feeds.find(url);
    if (found != m_feeds.end()) {
        const FeedValidators& feed = found->second;
        if (!userAsked && feed.retryUntil && GetTickCount64() < feed.retryUntil)
            return Plan::Refused;
        if (!userAsked && feed.freshUntil && GetTickCount64() < feed.freshUntil)
            return Plan::Fresh;
        request.etag = feed.etag;
        request.lastModified = feed.lastModified;
    }
    return Plan::Download;
}

bool CRssStore::LoadDownloaded(const std::string& url, vexa::FetchResult& result)
{
    using Outcome = vexa::FetchResult::Outcome;
    ResetParseState(url);
    m_last.way = m_parser->IsReady() ? LoadOutcome::Way::Download : LoadOutcome::Way::NoReader;
    {
        // The result without its body (the body stays for the parse).
        std::string body = std::move(result.body);
        m_last.fetch = result;
        result.body = std::move(body);
    }
    if (!result.advertisedFeed.empty())
        m_advertised[url] = result.advertisedFeed;
    m_last.advertisedFeed = AdvertisedFeed(url);
    if (!m_parser->IsReady() || result.outcome == Outcome::Failed || result.pageWithoutFeed)
        return false;
    if (result.outcome == Outcome::Cut) {
        // What arrived is read like any broken document: completed entries stand.
        m_last.parsed = true;
        m_parser->ParseBytes(result.body.data(), result.body.size());
        return EndLoad(false);
    }
    FeedValidators& feed = m_feeds[url];
    // Only a good answer stays fresh (a 304 to validators, or a 200 read whole).
    feed.freshUntil = 0;
    const ULONGLONG freshUntil = result.freshMs ? GetTickCount64() + result.freshMs : 0;
    if (result.status == 429 || result.status == 503) {
        const ULONGLONG pause = result.retryAfterMs;
        feed.retryUntil = pause ? GetTickCount64() + pause : 0;
        return false;
    }
    // Any other answer (to a load the user asked for during a pause) ends the pause.
    feed.retryUntil = 0;
    if (result.status == 304) { // unasked, it proves nothing
        const bool validated = !feed.etag.empty() || !feed.lastModified.empty();
        if (validated) feed.freshUntil = freshUntil;
        return EndLoad(validated);
    }
    if (result.status != 200)
        return false;
    m_last.parsed = true;
    if (!m_parser->ParseBytes(result.body.data(), result.body.size())) {
        // What a person needs to tell a web page or an encoding from broken XML.
        m_last.encoding = vexa::DeclaredEncoding(result.body.data(), result.body.size());
        m_last.pageMarkup = vexa::IsWebPage(std::string(), result.body.data(), result.body.size());
        return EndLoad(false);
    }
    TakeListing(url);
    // Only a version read whole stands for the next request.
    feed.etag = result.etag;
    feed.lastModified = result.lastModified;
    feed.freshUntil = freshUntil;
    return EndLoad(true);
}

std::wstring CRssStore::AdvertisedFeed(const std::string& url) const
{
    auto found = m_advertised.find(url);
    return found != m_advertised.end() ? found->second : std::wstring();
}

int CRssStore::Count() const { return m_items.Count(); }

bool CRssStore::HasReader() const { return m_parser->IsReady(); }

const FeedValidators* CRssStore::Validators(const std::string& url) const
{
    auto found = m_feeds.find(url);
    return found != m_feeds.end() ? &found->second : nullptr;
}

} // namespace vexa
