// The feed item store: the records, the validators of each http feed, and the planning of
// each load (the reader's own fetch or a download).
#include "store/rssstore.h"

#include "com/ptr.h"
#include "net/ftptransfer.h"
#include "format/htmlscan.h"
#include "format/readerinput.h"
#include "format/utf8.h"
#include "format/xmlparser.h"

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
    m_firstReadTold = false;
}

bool CRssStore::ReadDocument(const std::string& url, std::string& body)
{
    const bool read = m_parser->ParseBody(body);
    m_last.readEncoding = m_parser->ConvertedEncoding();
    m_last.readCodePage = m_parser->ConvertedCodePage();
    const DocumentFacts& facts = m_rules.Facts();
    if (read || !facts.error || facts.errorCode == HRESULT_FROM_WIN32(ERROR_INVALID_DATA))
        return read;
    // The repairs work on bytes: a UTF-16 document is repaired in UTF-8.
    const vexa::ByteForm form = vexa::ByteFormOf(body.data(), body.size());
    std::string utf8;
    if (form != vexa::ByteForm::Bytes &&
        !vexa::ConvertToUtf8(body.data(), body.size(), form == vexa::ByteForm::Utf16Be ? 1201 : 1200, utf8))
        return false;
    const std::string& bytes = form != vexa::ByteForm::Bytes ? utf8 : body;
    std::string repaired;
    const unsigned repairs = vexa::RepairMarkup(bytes.data(), bytes.size(), repaired);
    if (!repairs)
        return false;
    m_firstReadTold = true;
    m_firstResult = m_parser->LastResult();
    m_firstFacts = facts;
    // The repaired document is one whole read. The first reading stopped at its first bare
    // '&' or entity, so the entries it completed are the repaired document's first ones.
    m_items.BeginRead();
    m_rules.Reset(url);
    if (!m_parser->ParseBody(repaired))
        return false;
    m_firstReadTold = false;
    m_last.repairs = repairs;
    return true;
}

bool CRssStore::EndLoad(bool loaded)
{
    m_last.loaded = loaded;
    if (m_last.parsed) {
        m_last.readerResult = m_firstReadTold ? m_firstResult : m_parser->LastResult();
        m_last.document = m_firstReadTold ? m_firstFacts : m_rules.Facts();
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
    case Plan::Reader: {
        ResetParseState(url);
        m_last.way = LoadOutcome::Way::Reader;
        m_last.parsed = true;
        std::string bytes;
        if (!(vexa::ReadLocalDocument(url, bytes) ? ReadDocument(url, bytes) : m_parser->Parse(url)))
            return EndLoad(false);
        TakeListing(url);
        return EndLoad(true);
    }
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
    if (!vexa::WidenAddress(url, wide) || !(vexa::IsHttpAddress(wide) || vexa::IsFtpAddress(wide)))
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
        m_parser->ParseBody(result.body);
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
    // Before the reader's shape is given to the body: its declaration may be rewritten.
    const std::string declared = vexa::DeclaredEncoding(result.body.data(), result.body.size());
    if (!ReadDocument(url, result.body)) {
        // What a person needs to tell a web page or an encoding from broken XML.
        m_last.encoding = declared;
        m_last.pageMarkup = vexa::IsWebPage(result.body.data(), result.body.size());
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
