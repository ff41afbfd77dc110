// The feed item store and its parsing rules: one small state machine over the reader's
// events, driven by a table of tags per feed format. It opens a record at each entry inside
// the format's container and stores it, keyed by its title, at the entry's end tag.
#include "feeds/rssstore.h"

#include <cstring>

#include "com/ptr.h"
#include "feeds/urls.h"
#include "feeds/xmlparser.h"

namespace {

using Field = CRssStore::Field;

// What a tag of an entry does.
enum class Role {
    Text,  // its own text goes to a field
    Link,  // its attributes give the entry's link (Atom's <link href=... rel=...>)
    Group, // no text of its own; it encloses tags of the table (Atom's <author><name>)
};

// The record member behind each field, and how pieces of its text are joined.
struct FieldMember {
    std::string CRssItem::*member;
    bool lineFeedBetweenPieces;
};
const FieldMember kMembers[CRssStore::kFieldCount] = {
    {nullptr, false},                  // None
    {&CRssItem::Author, false},
    {&CRssItem::Title, false},
    {&CRssItem::Genre, false},
    {&CRssItem::Price, false},
    {&CRssItem::Published, false},
    {&CRssItem::Description, true},
};

int Index(Field field) { return static_cast<int>(field); }

} // namespace

struct CRssStore::Tag {
    const char* name;   // local name, compared exactly
    Role role;
    Field field;        // Text: the field that collects the text
    const char* parent; // null: anywhere in an entry; else the entry's tag (a direct child of
                        // the entry) or a Group tag of the table (a direct child of that)
    bool aside;         // the text fills the field only when no tag without `aside` does
};

struct CRssStore::Format {
    const char* container; // its start tag starts the reading of entries
    const char* entry;     // one entry: its start tag opens a record, its end tag stores it
    const Tag* tags;
    std::size_t tagCount;
    bool linksByAttribute; // relative links are resolved (xml:base, the feed's address)
};

namespace {

// RSS 2.0 (and 1.0, whose items stand beside the channel): the first "channel" start tag
// anywhere opens the reading; every field tag counts wherever it stands in an entry.
const CRssStore::Tag kRssTags[] = {
    {"author", Role::Text, Field::Author, nullptr, false},
    {"title", Role::Text, Field::Title, nullptr, false},
    {"link", Role::Text, Field::Genre, nullptr, false},
    {"price", Role::Text, Field::Price, nullptr, false},
    {"publish_date", Role::Text, Field::Published, nullptr, false},
    {"description", Role::Text, Field::Description, nullptr, false},
};
const CRssStore::Format kRss = {"channel", "item", kRssTags, sizeof kRssTags / sizeof kRssTags[0], false};

// Atom: the document element "feed" is the container; fields are direct children of the
// entry, except the author's name.
const CRssStore::Tag kAtomTags[] = {
    {"title", Role::Text, Field::Title, "entry", false},
    {"summary", Role::Text, Field::Description, "entry", false},
    {"content", Role::Text, Field::Description, "entry", true},
    {"updated", Role::Text, Field::Published, "entry", false},
    {"published", Role::Text, Field::Published, "entry", true},
    {"author", Role::Group, Field::None, "entry", false},
    {"name", Role::Text, Field::Author, "author", false},
    {"link", Role::Link, Field::None, "entry", false},
};
const CRssStore::Format kAtom = {"feed", "entry", kAtomTags, sizeof kAtomTags / sizeof kAtomTags[0], true};

const char kAtomNamespace[] = "http://www.w3.org/2005/Atom";

// A document is read as Atom when its document element is "feed" in Atom's namespace or
// in none; every other document is read as RSS.
const CRssStore::Format& FormatOf(const XmlElement& root)
{
    return root.name == "feed" && (root.ns.empty() || root.ns == kAtomNamespace) ? kAtom : kRss;
}

// The tag of the table that an element inside an entry stands for, or null.
const CRssStore::Tag* FindTag(const CRssStore::Format& format, const XmlElement& element, int entryDepth,
                              const CRssStore::Tag* child)
{
    for (std::size_t i = 0; i < format.tagCount; ++i) {
        const CRssStore::Tag& tag = format.tags[i];
        if (element.name != tag.name)
            continue;
        if (!tag.parent)
            return &tag;
        if (std::strcmp(tag.parent, format.entry) == 0) {
            if (element.depth == entryDepth + 1)
                return &tag;
        } else if (element.depth == entryDepth + 2 && child && std::strcmp(child->name, tag.parent) == 0) {
            return &tag;
        }
    }
    return nullptr;
}


const std::string* Attribute(const XmlElement& element, const char* name)
{
    for (const auto& attribute : element.attributes)
        if (attribute.first == name)
            return &attribute.second;
    return nullptr;
}

// The base address inside an element: its xml:base (local name "base") read against the
// enclosing base, or the enclosing base.
std::string BaseOf(const XmlElement& element, const std::string& enclosing)
{
    const std::string* base = Attribute(element, "base");
    return base ? vexa::ResolveUrl(enclosing, *base) : enclosing;
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

void CRssStore::ResetParseState(const std::string& url)
{
    m_inChannel = false;
    m_field = Field::None;
    m_current.reset();
    m_format = &kRss;
    m_tag = nullptr;
    m_child = nullptr;
    m_address = url;
}

bool CRssStore::Load(const std::string& url)
{
    if (!m_parser->IsReady())
        return false;
    vexa::FetchRequest request;
    switch (PlanLoad(url, request)) {
    case Plan::Reader:
        ResetParseState(url);
        return m_parser->Parse(url);
    case Plan::Refused:
        ResetParseState(url);
        return false;
    case Plan::Download:
        break;
    }
    vexa::com_ptr<vexa::FetchJob> job;
    job.attach(vexa::FetchJob::Start(request, nullptr));
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
    auto found = m_feeds.find(url);
    if (found != m_feeds.end()) {
        const FeedValidators& feed = found->second;
        if (!userAsked && feed.retryUntil && GetTickCount64() < feed.retryUntil)
            return Plan::Refused;
        request.etag = feed.etag;
        request.lastModified = feed.lastModified;
    }
    return Plan::Download;
}

bool CRssStore::LoadDownloaded(const std::string& url, vexa::FetchResult& result)
{
    using Outcome = vexa::FetchResult::Outcome;
    ResetParseState(url);
    if (!m_parser->IsReady() || result.outcome == Outcome::Failed)
        return false;
    if (result.outcome == Outcome::Cut) {
        // What arrived is read like any broken document: completed entries stand.
        m_parser->ParseBytes(result.body.data(), result.body.size());
        return false;
    }
    FeedValidators& feed = m_feeds[url];
    if (result.status == 429 || result.status == 503) {
        const ULONGLONG pause = result.retryAfterMs;
        feed.retryUntil = pause ? GetTickCount64() + pause : 0;
        return false;
    }
    // Any other answer (to a load the user asked for during a pause) ends the pause.
    feed.retryUntil = 0;
    if (result.status == 304)
        return !feed.etag.empty() || !feed.lastModified.empty(); // unasked, it proves nothing
    if (result.status != 200)
        return false;
    if (!m_parser->ParseBytes(result.body.data(), result.body.size()))
        return false;
    // Only a version read whole stands for the next request.
    feed.etag = result.etag;
    feed.lastModified = result.lastModified;
    return true;
}

int CRssStore::Count() const { return static_cast<int>(m_items.size()); }

void CRssStore::OnStartElement(const XmlElement& element)
{
    if (element.depth == 1)
        m_format = &FormatOf(element);
    if (!m_inChannel) {
        if (element.name == m_format->container) {
            m_inChannel = true;
            if (m_format->linksByAttribute)
                m_feedBase = BaseOf(element, m_address);
        }
        return;
    }
    if (!m_current) {
        if (element.name == m_format->entry)
            OpenEntry(element);
        return;
    }
    // A record is open: the tag decides where text goes until the next tag.
    const Tag* tag = FindTag(*m_format, element, m_entryDepth, m_child);
    if (element.depth == m_entryDepth + 1)
        m_child = tag;
    m_tag = tag && tag->role == Role::Text ? tag : nullptr;
    m_field = m_tag ? m_tag->field : Field::None;
    if (tag && tag->role == Role::Link)
        TakeLink(element);
}

void CRssStore::OnCharacters(const std::string& text, int)
{
    if (!m_inChannel || !m_current || !m_tag)
        return;
    const FieldMember& target = kMembers[Index(m_field)];
    std::string& field = m_tag->aside ? m_aside[Index(m_field)] : (*m_current).*target.member;
    // Description pieces are joined by a line feed; every other field joins them directly.
    if (target.lineFeedBetweenPieces && !field.empty())
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
    if (!m_current || element.name != m_format->entry) {
        m_field = Field::None;
        m_tag = nullptr;
        if (m_current && element.depth == m_entryDepth)
            m_child = nullptr;
        return;
    }
    CloseEntry();
}

void CRssStore::OnError(int, int, const std::string&, HRESULT) {}

bool CRssStore::IsAborted(const XmlElement&) { return false; }

void CRssStore::OpenEntry(const XmlElement& element)
{
    m_current = std::make_unique<CRssItem>();
    m_current->NUM = Count();
    m_entryDepth = element.depth;
    m_child = nullptr;
    m_linkTaken = false;
    for (std::string& text : m_aside)
        text.clear();
    if (m_format->linksByAttribute)
        m_entryBase = BaseOf(element, m_feedBase);
}

void CRssStore::CloseEntry()
{
    // Texts kept aside fill the fields that their own tags left empty.
    for (int i = 0; i < kFieldCount; ++i) {
        if (m_aside[i].empty())
            continue;
        std::string& field = (*m_current).*kMembers[i].member;
        if (field.empty())
            field.swap(m_aside[i]);
    }
    // The first record of each title stays; a later one with the same key is dropped.
    if (m_items.try_emplace(m_current->RssID, m_current.get()).second)
        m_current.release();
    else
        m_current.reset();
}

// The entry's link is the href of its first link whose rel is absent or "alternate",
// resolved against the bases in force.
void CRssStore::TakeLink(const XmlElement& element)
{
    if (m_linkTaken)
        return;
    const std::string* href = Attribute(element, "href");
    const std::string* rel = Attribute(element, "rel");
    if (!href || (rel && *rel != "alternate"))
        return;
    m_current->Genre = vexa::ResolveUrl(BaseOf(element, m_entryBase), *href);
    m_linkTaken = true;
}
