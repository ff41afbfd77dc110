// The feed item store and its parsing rules: a small state machine over the reader's
// events that opens a record at each entry inside the channel and stores it, keyed by its
// title, at the entry's end tag.
#include "feeds/rssstore.h"

#include <wininet.h>
#include <cwctype>

#include "com/ptr.h"

namespace {

// The tag names the walk recognises, compared exactly (case-sensitive, local names).
const std::string kChannel = "channel";
const std::string kItem = "item";

// Each field tag with the field it selects and the record member that collects its text.
struct FieldTag {
    const char* name;
    CRssStore::Field field;
    std::string CRssItem::*member;
};
const FieldTag kFieldTags[] = {
    {"author", CRssStore::Field::Author, &CRssItem::Author},
    {"title", CRssStore::Field::Title, &CRssItem::Title},
    {"link", CRssStore::Field::Genre, &CRssItem::Genre},
    {"price", CRssStore::Field::Price, &CRssItem::Price},
    {"publish_date", CRssStore::Field::Published, &CRssItem::Published},
    {"description", CRssStore::Field::Description, &CRssItem::Description},
};

CRssStore::Field FieldOf(const std::string& name)
{
    for (const FieldTag& tag : kFieldTags)
        if (name == tag.name)
            return tag.field;
    return CRssStore::Field::None;
}

std::string CRssItem::*MemberOf(CRssStore::Field field)
{
    for (const FieldTag& tag : kFieldTags)
        if (field == tag.field)
            return tag.member;
    return nullptr;
}

// An HTTP-date as a FILETIME count; false when it does not parse.
bool HttpDate(const std::wstring& text, ULONGLONG& time)
{
    SYSTEMTIME st;
    FILETIME ft;
    if (text.empty() || !InternetTimeToSystemTimeW(text.c_str(), &st, 0) || !SystemTimeToFileTime(&st, &ft))
        return false;
    time = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return true;
}

// The answer's own time (its Date), or the clock when it has none.
ULONGLONG AnswerTime(const vexa::FetchResult& result)
{
    ULONGLONG time = 0;
    if (HttpDate(result.date, time))
        return time;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

constexpr ULONGLONG kFileTimeSecond = 10000000;
constexpr ULONGLONG kLongestPauseMs = 24ull * 60 * 60 * 1000;

// Retry-After, in seconds or as an HTTP-date, in milliseconds from now (at most a day); 0
// when absent or unreadable.
ULONGLONG RetryAfterMs(const vexa::FetchResult& result)
{
    const std::wstring& text = result.retryAfter;
    if (text.empty())
        return 0;
    if (std::iswdigit(text[0])) {
        ULONGLONG seconds = 0;
        for (wchar_t c : text) {
            if (!std::iswdigit(c)) break;
            seconds = seconds * 10 + static_cast<ULONGLONG>(c - L'0');
            if (seconds > kLongestPauseMs / 1000) return kLongestPauseMs;
        }
        return seconds * 1000;
    }
    ULONGLONG when = 0;
    const ULONGLONG now = AnswerTime(result);
    if (!HttpDate(text, when) || when <= now)
        return 0;
    const ULONGLONG ms = (when - now) / 10000;
    return ms < kLongestPauseMs ? ms : kLongestPauseMs;
}

// A Last-Modified serves as a validator only when it is at least a second older than the
// answer: two versions within the same second could not be told apart by it.
bool UsableLastModified(const vexa::FetchResult& result)
{
    ULONGLONG modified = 0;
    return HttpDate(result.lastModified, modified) && modified + kFileTimeSecond <= AnswerTime(result);
}

} // namespace

CRssStore::CRssStore() : m_parser(std::make_unique<CXmlParser>())
{
    m_parser->SetCallback(this);
}

CRssStore::~CRssStore()
{
    for (auto& entry : m_items)
        delete entry.second;
    m_items.clear();
    m_current.reset();
    m_parser.reset();
}

void CRssStore::ResetParseState()
{
    m_inChannel = false;
    m_field = Field::None;
    m_current.reset();
}

bool CRssStore::Load(const std::string& url)
{
    if (!m_parser->IsReady())
        return false;
    vexa::FetchRequest request;
    switch (PlanLoad(url, request)) {
    case Plan::Reader:
        ResetParseState();
        return m_parser->Parse(url);
    case Plan::Refused:
        ResetParseState();
        return false;
    case Plan::Download:
        break;
    }
    vexa::com_ptr<vexa::FetchJob> job;
    job.attach(vexa::FetchJob::Start(request, nullptr, nullptr, 0));
    vexa::FetchResult result;
    if (job && job->WaitUntil(~0ull))
        result = job->TakeResult();
    return LoadDownloaded(url, result);
}

CRssStore::Plan CRssStore::PlanLoad(const std::string& url, vexa::FetchRequest& request)
{
    if (!m_parser->IsReady())
        return Plan::Refused;
    std::wstring wide;
    if (!vexa::WidenAddress(url, wide) || !vexa::IsHttpAddress(wide))
        return Plan::Reader;
    request = vexa::FetchRequest();
    request.url = std::move(wide);
    auto found = m_feeds.find(url);
    if (found != m_feeds.end()) {
        const FeedValidators& feed = found->second;
        if (feed.retryUntil && GetTickCount64() < feed.retryUntil)
            return Plan::Refused;
        request.etag = feed.etag;
        request.lastModified = feed.lastModified;
    }
    return Plan::Download;
}

bool CRssStore::LoadDownloaded(const std::string& url, vexa::FetchResult& result)
{
    using Outcome = vexa::FetchResult::Outcome;
    ResetParseState();
    if (!m_parser->IsReady() || result.outcome == Outcome::Failed)
        return false;
    if (result.outcome == Outcome::Cut) {
        // What arrived is read like any broken document: completed entries stand.
        m_parser->ParseBytes(result.body.data(), result.body.size());
        return false;
    }
    FeedValidators& feed = m_feeds[url];
    if (result.status == 304)
        return !feed.etag.empty() || !feed.lastModified.empty(); // unasked, it proves nothing
    if (result.status == 429 || result.status == 503) {
        const ULONGLONG pause = RetryAfterMs(result);
        feed.retryUntil = pause ? GetTickCount64() + pause : 0;
        return false;
    }
    if (result.status != 200)
        return false;
    if (!m_parser->ParseBytes(result.body.data(), result.body.size()))
        return false;
    // Only a version read whole stands for the next request.
    feed.etag = result.etag;
    feed.lastModified = UsableLastModified(result) ? result.lastModified : std::wstring();
    return true;
}

int CRssStore::Count() const { return static_cast<int>(m_items.size()); }

void CRssStore::OnStartElement(const XmlElement& element)
{
    if (!m_inChannel) {
        if (element.name == kChannel)
            m_inChannel = true;
        return;
    }
    if (!m_current) {
        if (element.name == kItem) {
            m_current = std::make_unique<CRssItem>();
            m_current->NUM = Count();
        }
        return;
    }
    m_field = FieldOf(element.name);
}

void CRssStore::OnCharacters(const std::string& text, int)
{
    if (!m_inChannel || !m_current)
        return;
    std::string CRssItem::*member = MemberOf(m_field);
    if (!member)
        return;
    std::string& field = (*m_current).*member;
    // Description pieces are joined by a line feed; every other field joins them directly.
    if (m_field == Field::Description && !field.empty())
        field += '\n';
    field += text;
    // The key follows the whole title.
    if (m_field == Field::Title)
        m_current->RssID = m_current->Title;
}

void CRssStore::OnEndElement(const XmlElement& element)
{
    if (!m_inChannel)
        return;
    if (!m_current || element.name != kItem) {
        m_field = Field::None;
        return;
    }
    // The first record of each title stays; a later one with the same key is dropped.
    if (m_items.try_emplace(m_current->RssID, m_current.get()).second)
        m_current.release();
    else
        m_current.reset();
}

void CRssStore::OnError(int, int, const std::string&, HRESULT) {}

bool CRssStore::IsAborted(const XmlElement&) { return false; }
