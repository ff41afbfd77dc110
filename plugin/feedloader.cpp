// The HTTP policy of the feeds' loads, and the web page handling that the downloads take.
#include "plugin/feedloader.h"

#include <utility>

#include "format/htmlscan.h"
#include "format/utf8.h"
#include "net/connectiongate.h"
#include "net/ftptransfer.h"
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

namespace {

// What the outcome keeps of a download: its result without the body.
DownloadFacts FactsOf(const FetchResult& result)
{
    static_assert(static_cast<int>(FetchResult::Outcome::Cut) == static_cast<int>(DownloadFacts::Outcome::Cut) &&
                      static_cast<int>(FetchResult::Bound::Redirects) == static_cast<int>(DownloadFacts::Bound::Redirects),
                  "the download's outcomes and bounds are told in the same order");
    DownloadFacts facts;
    facts.outcome = static_cast<DownloadFacts::Outcome>(result.outcome);
    facts.status = result.status;
    facts.error = result.error;
    facts.bound = static_cast<DownloadFacts::Bound>(result.bound);
    facts.boundMs = result.boundMs;
    facts.bodyBytes = result.bodyBytes;
    facts.contentType = result.contentType;
    facts.movedTo = result.movedTo;
    facts.movedStatus = result.movedStatus;
    facts.refusedTarget = result.refusedTarget;
    facts.pageWithoutFeed = result.pageWithoutFeed;
    facts.ftpReply = result.ftpReply;
    facts.retryAfterMs = result.retryAfterMs;
    facts.freshMs = result.freshMs;
    return facts;
}

} // namespace

bool FeedLoader::Finish(const std::string& key, LoadOutcome::Way way, bool loaded, ParsedFeed&& parsed,
                        bool listing, const FetchResult* fetch)
{
    LoadOutcome outcome;
    outcome.way = way;
    outcome.loaded = loaded;
    outcome.parse = parsed.report;
    if (fetch) {
        outcome.fetch = FactsOf(*fetch);
        outcome.advertisedFeed = AdvertisedFeed(key);
    }
    m_store.Merge(key, std::move(parsed), listing);
    m_last = std::move(outcome);
    return loaded;
}

bool FeedLoader::NoReader()
{
    m_last = LoadOutcome();
    m_last.way = LoadOutcome::Way::NoReader;
    return false;
}

bool FeedLoader::Load(const FeedAddress& feed)
{
    if (!m_parser.IsReady())
        return NoReader();
    ParsedFeed parsed = m_parser.ParseAddress(feed.key);
    const bool whole = parsed.report.read;
    const bool loaded = whole || parsed.report.ReadInPart();
    return Finish(feed.key, LoadOutcome::Way::Reader, loaded, std::move(parsed), whole, nullptr);
}

FeedLoader::Plan FeedLoader::PlanLoad(const FeedAddress& feed, FetchRequest& request, bool userAsked)
{
    if (!m_parser.IsReady())
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
    if (!result.advertisedFeed.empty())
        m_advertised[feed.key] = result.advertisedFeed;
    if (!m_parser.IsReady())
        return NoReader();
    ParsedFeed parsed;
    bool loaded = false;
    bool listing = false;
    if (result.outcome == Outcome::Cut)
        parsed = m_parser.ParseCut(std::move(result.body), feed.key);
    else if (result.outcome == Outcome::Answered && !result.pageWithoutFeed)
        loaded = UseAnswer(feed, result, parsed, listing);
    return Finish(feed.key, LoadOutcome::Way::Download, loaded, std::move(parsed), listing, &result);
}

bool FeedLoader::UseAnswer(const FeedAddress& feed, FetchResult& result, ParsedFeed& parsed, bool& listing)
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
    if (result.status != 200)
        return false;
    parsed = m_parser.Parse(std::move(result.body), feed.key);
    // A version read in part is asked again whole at the next tick.
    if (!parsed.report.read)
        return parsed.report.ReadInPart();
    // Only a version read whole stands for the next request.
    listing = true;
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
