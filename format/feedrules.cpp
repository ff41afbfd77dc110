// The parsing rules: the walk over the reader's events and the tables of tags that drive it.
#include "format/feedrules.h"

#include <algorithm>
#include <utility>

#include "format/plaintext.h"
#include "format/urls.h"

namespace vexa {

namespace {

using Field = FeedRules::Field;

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
const FieldMember kMembers[FeedRules::kFieldCount] = {
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

struct FeedRules::Tag {
    const char* name;   // local name, compared exactly
    const char* ns;     // null: no namespace or one of the format's own; else this one
    Role role;
    Field field;        // Text: the field that collects the text
    const char* parent; // the entry's tag (a direct child of the entry) or a Group tag of the
                        // table (a direct child of that)
    int aside;          // 0: the field's own tag; 1 and 2: the text fills the field only when
                        // no tag of a lower rank does
};

struct FeedRules::Format {
    const char* container; // its start tag starts the reading of entries
    const char* entry;     // one entry: its start tag opens a record, its end tag stores it
    const Tag* tags;
    std::size_t tagCount;
    const char* const* namespaces; // the format's own namespaces, ended by null
};

namespace {

const char kDublinCore[] = "http://purl.org/dc/elements/1.1/";
const char kMediaRss[] = "http://search.yahoo.com/mrss/";
const char kItunes[] = "http://www.itunes.com/dtds/podcast-1.0.dtd";

// RSS 2.0, 1.0 and 0.9 (whose items stand beside the channel): the first "channel" start
// tag anywhere opens the reading; fields are the item's direct children.
const FeedRules::Tag kRssTags[] = {
    {"author", nullptr, Role::Text, Field::Author, "item", false},
    {"title", nullptr, Role::Text, Field::Title, "item", false},
    {"link", nullptr, Role::Text, Field::Genre, "item", false},
    {"price", nullptr, Role::Text, Field::Price, "item", false},
    {"publish_date", nullptr, Role::Text, Field::Published, "item", false},
    {"description", nullptr, Role::Text, Field::Description, "item", false},
    {"creator", kDublinCore, Role::Text, Field::Author, "item", true},
    {"title", kDublinCore, Role::Text, Field::Title, "item", true},
    {"date", kDublinCore, Role::Text, Field::Published, "item", true},
    {"title", kMediaRss, Role::Text, Field::Title, "item", 2},
    {"title", kItunes, Role::Text, Field::Title, "item", 2},
};
const char* const kRssNamespaces[] = {"http://purl.org/rss/1.0/", "http://my.netscape.com/rdf/simple/0.9/",
                                      "http://backend.userland.com/rss2", "http://blogs.law.harvard.edu/tech/rss",
                                      nullptr};
const FeedRules::Format kRss = {"channel", "item", kRssTags, sizeof kRssTags / sizeof kRssTags[0],
                                kRssNamespaces};

// Atom: the document element "feed" is the container; fields are direct children of the
// entry, except the author's name.
const FeedRules::Tag kAtomTags[] = {
    {"title", nullptr, Role::Text, Field::Title, "entry", false},
    {"summary", nullptr, Role::Text, Field::Description, "entry", false},
    {"content", nullptr, Role::Text, Field::Description, "entry", true},
    {"updated", nullptr, Role::Text, Field::Published, "entry", false},
    {"published", nullptr, Role::Text, Field::Published, "entry", true},
    {"author", nullptr, Role::Group, Field::None, "entry", false},
    {"name", nullptr, Role::Text, Field::Author, "author", false},
    {"link", nullptr, Role::Link, Field::None, "entry", false},
    {"creator", kDublinCore, Role::Text, Field::Author, "entry", true},
    {"title", kDublinCore, Role::Text, Field::Title, "entry", true},
    {"date", kDublinCore, Role::Text, Field::Published, "entry", true},
    {"title", kMediaRss, Role::Text, Field::Title, "entry", 2},
    {"title", kItunes, Role::Text, Field::Title, "entry", 2},
};
const char* const kAtomNamespaces[] = {"http://www.w3.org/2005/Atom", nullptr};
const FeedRules::Format kAtom = {"feed", "entry", kAtomTags, sizeof kAtomTags / sizeof kAtomTags[0],
                                 kAtomNamespaces};

// Atom 0.3: the same shape, with its own names for the dates.
const FeedRules::Tag kAtom03Tags[] = {
    {"title", nullptr, Role::Text, Field::Title, "entry", false},
    {"summary", nullptr, Role::Text, Field::Description, "entry", false},
    {"content", nullptr, Role::Text, Field::Description, "entry", true},
    {"modified", nullptr, Role::Text, Field::Published, "entry", false},
    {"issued", nullptr, Role::Text, Field::Published, "entry", true},
    {"author", nullptr, Role::Group, Field::None, "entry", false},
    {"name", nullptr, Role::Text, Field::Author, "author", false},
    {"link", nullptr, Role::Link, Field::None, "entry", false},
    {"creator", kDublinCore, Role::Text, Field::Author, "entry", true},
    {"title", kDublinCore, Role::Text, Field::Title, "entry", true},
    {"date", kDublinCore, Role::Text, Field::Published, "entry", true},
    {"title", kMediaRss, Role::Text, Field::Title, "entry", 2},
    {"title", kItunes, Role::Text, Field::Title, "entry", 2},
};
const char* const kAtom03Namespaces[] = {"http://purl.org/atom/ns#", nullptr};
const FeedRules::Format kAtom03 = {"feed", "entry", kAtom03Tags, sizeof kAtom03Tags / sizeof kAtom03Tags[0],
                                   kAtom03Namespaces};

// A document is read as Atom 0.3 when its document element is "feed" in that one's
// namespace, as Atom for "feed" in any other or in none; every other document is read as RSS.
const FeedRules::Format& FormatOf(const XmlElement& root)
{
    if (root.name != "feed")
        return kRss;
    return root.ns == kAtom03Namespaces[0] ? kAtom03 : kAtom;
}

bool IsFormatNamespace(const FeedRules::Format& format, const std::string& ns)
{
    for (const char* const* own = format.namespaces; *own; ++own)
        if (ns == *own) return true;
    return false;
}

// `own`: a namespace that counts as the format's in this document (empty when none).
bool InNamespace(const FeedRules::Format& format, const FeedRules::Tag& tag, const std::string& ns,
                 const std::string& own)
{
    if (tag.ns)
        return ns == tag.ns;
    if (ns.empty() || ns == own)
        return true;
    for (const char* const* own = format.namespaces; *own; ++own)
        if (ns == *own) return true;
    return false;
}

// A relative link (RSS's text) read against the base in force; an absolute one, an empty
// one, or one that no base resolves stays as the feed wrote it.
void ResolveLink(std::string& link, const std::string& base)
{
    if (link.find_first_not_of(" \t\n\v\f\r") == std::string::npos)
        return;
    std::string resolved = ResolveUrl(base, link);
    if (!resolved.empty() && link.find(resolved) == std::string::npos)
        link.swap(resolved);
}

// Whether two names of the tables are the same.
bool Same(const char* a, const char* b)
{
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

// Whether an element has the local name `name`.
bool Named(const XmlElement& element, const char* name) { return IsName(element.name, name); }

// The tag of the table that an element inside an entry stands for, or null.
const FeedRules::Tag* FindTag(const FeedRules::Format& format, const XmlElement& element, int entryDepth,
                              const FeedRules::Tag* child, const std::string& own)
{
    // Most tags of the table differ from the element's name in their first letter.
    const char first = element.name.empty() ? '\0' : element.name[0];
    for (std::size_t i = 0; i < format.tagCount; ++i) {
        const FeedRules::Tag& tag = format.tags[i];
        if (tag.name[0] != first || !Named(element, tag.name) || !InNamespace(format, tag, element.ns, own))
            continue;
        if (Same(tag.parent, format.entry)) {
            if (element.depth == entryDepth + 1)
                return &tag;
        } else if (element.depth == entryDepth + 2 && child && Same(child->name, tag.parent)) {
            return &tag;
        }
    }
    return nullptr;
}

// The base address inside an element: its xml:base (local name "base") read against the
// enclosing base, or the enclosing base.
std::string BaseOf(const XmlElement& element, const std::string& enclosing)
{
    const std::string* base = AttributeOf(element, "base");
    return base ? ResolveUrl(enclosing, *base) : enclosing;
}

} // namespace

FeedRules::FeedRules() noexcept : m_format(&kRss) {}

void FeedRules::Reset(const std::string& address)
{
    m_inChannel = false;
    m_field = Field::None;
    m_current.reset();
    m_entries.clear();
    m_format = &kRss;
    m_tag = nullptr;
    m_child = nullptr;
    m_address = address;
    m_facts = DocumentFacts();
    m_containerDepth = 0;
    m_inFeedTitle = false;
    m_containerEnded = false;
    m_ownNamespace.clear();
}

void FeedRules::OnStartElement(const XmlElement& element)
{
    if (element.depth == 1) {
        m_format = &FormatOf(element);
        m_facts.root = element.name;
        // An rss or feed root in a namespace not the format's (a site's own address, a
        // version's misspelt one): its fields are in that namespace.
        if ((Named(element, "rss") || Named(element, "feed")) && !element.ns.empty() &&
            !IsFormatNamespace(*m_format, element.ns))
            m_ownNamespace = element.ns;
    }
    if (!m_inChannel) {
        if (Named(element, m_format->container)) {
            m_inChannel = true;
            m_facts.container = true;
            m_containerDepth = element.depth;
            // RDF's own namespace is RDF's: the channel's tells the fields' (RSS 1.0 written
            // without its final slash, say).
            if (m_facts.root == "RDF" && !element.ns.empty() && !IsFormatNamespace(*m_format, element.ns))
                m_ownNamespace = element.ns;
            m_feedBase = BaseOf(element, m_address);
        }
        return;
    }
    if (!m_current) {
        // The container's own title, outside every entry, is the feed's title.
        m_inFeedTitle = !m_containerEnded && element.depth == m_containerDepth + 1 && Named(element, "title");
        if (Named(element, m_format->entry))
            OpenEntry(element);
        return;
    }
    // A record is open: the tag decides where text goes until the next tag.
    NotePicture(element);
    const Tag* tag = FindTag(*m_format, element, m_entryDepth, m_child, m_ownNamespace);
    if (element.depth == m_entryDepth + 1)
        m_child = tag;
    // The first element of each field fills it; a later one is not read.
    m_tag = tag && tag->role == Role::Text && Claim(*tag) ? tag : nullptr;
    m_field = m_tag ? m_tag->field : Field::None;
    if (tag && tag->role == Role::Link)
        TakeLink(element);
}

void FeedRules::OnCharacters(std::string_view text, int depth)
{
    if (m_inFeedTitle && !m_current && depth == m_containerDepth + 1) {
        const std::size_t room = DocumentFacts::kTitleLimit - std::min(m_facts.title.size(), DocumentFacts::kTitleLimit);
        m_facts.title.append(text.substr(0, room));
        return;
    }
    if (m_imageDepth && m_current && depth - m_imageDepth <= 1 && m_imageText.size() < EntryPicture::kLongestAddress)
        m_imageText += text;
    if (!m_inChannel || !m_current || !m_tag)
        return;
    const FieldMember& target = kMembers[Index(m_field)];
    std::string& field = m_tag->aside ? m_aside[m_tag->aside - 1][Index(m_field)] : (*m_current).*target.member;
    // Description pieces are joined by a line feed; every other field joins them directly.
    if (target.lineFeedBetweenPieces && !field.empty())
        field += '\n';
    field += text;
}

bool FeedRules::Claim(const Tag& tag)
{
    bool& taken = (tag.aside ? m_asideTaken[tag.aside - 1] : m_taken)[Index(tag.field)];
    if (taken)
        return false;
    taken = true;
    return true;
}

void FeedRules::OnEndElement(const XmlElement& element)
{
    if (!m_inChannel)
        return;
    m_inFeedTitle = false;
    // An end tag carries the depth of its parent.
    if (!m_current && element.depth == m_containerDepth - 1 && Named(element, m_format->container))
        m_containerEnded = true;
    if (m_imageDepth && element.depth == m_entryDepth && Named(element, "image")) {
        m_picture.OnImageText(m_imageText);
        m_imageDepth = 0;
    }
    if (!m_current || !Named(element, m_format->entry)) {
        m_field = Field::None;
        m_tag = nullptr;
        if (m_current && element.depth == m_entryDepth)
            m_child = nullptr;
        return;
    }
    CloseEntry();
}

void FeedRules::OnError(int line, int column, const std::string& message, HRESULT code)
{
    if (m_facts.error)
        return; // the first error is the one that tells
    m_facts.error = true;
    m_facts.errorLine = line;
    m_facts.errorColumn = column;
    m_facts.errorMessage = message;
    m_facts.errorCode = code;
}

bool FeedRules::IsAborted(const XmlElement&) { return false; }

void FeedRules::OpenEntry(const XmlElement& element)
{
    m_current.emplace();
    m_entryDepth = element.depth;
    m_child = nullptr;
    m_linkTaken = false;
    m_picture.Reset();
    m_imageDepth = 0;
    for (int i = 0; i < kFieldCount; ++i) {
        m_aside[0][i].clear();
        m_aside[1][i].clear();
        m_taken[i] = m_asideTaken[0][i] = m_asideTaken[1][i] = false;
    }
    m_entryBase = BaseOf(element, m_feedBase);
}

void FeedRules::CloseEntry()
{
    // Texts kept aside fill the fields that their own tags left empty, rank by rank.
    for (std::string (&rank)[kFieldCount] : m_aside) {
        for (int i = 0; i < kFieldCount; ++i) {
            if (rank[i].empty())
                continue;
            std::string& field = (*m_current).*kMembers[i].member;
            if (field.empty())
                field.swap(rank[i]);
        }
    }
    ResolveLink(m_current->Genre, m_entryBase);
    NameEntry(*m_current);
    m_picture.OnMarkup(m_current->Description);
    m_current->Picture = m_picture.Chosen(m_entryBase);
    m_entries.push_back(std::move(*m_current));
    m_current.reset();
    ++m_facts.entries;
}

// The places a picture may be named: any element inside the entry; an image child's text.
void FeedRules::NotePicture(const XmlElement& element)
{
    const int below = element.depth - m_entryDepth;
    m_picture.OnElement(element, below);
    if (below == 1 && Named(element, "image") && element.ns.empty()) {
        m_imageDepth = element.depth;
        m_imageText.clear();
    }
}

// The entry's link is the href of its first link whose rel is absent or "alternate",
// resolved against the bases in force. The reader leaves out an empty href: such a link
// names the base itself.
void FeedRules::TakeLink(const XmlElement& element)
{
    if (m_linkTaken)
        return;
    const std::string* href = AttributeOf(element, "href");
    const std::string* rel = AttributeOf(element, "rel");
    if (rel && !IsName(*rel, "alternate"))
        return;
    m_current->Genre = ResolveUrl(BaseOf(element, m_entryBase), href ? *href : std::string());
    m_linkTaken = true;
}

namespace {

// Whether OneLine would leave a text as it is: no blank at either end, and every blank a
// single space.
bool IsOneLine(const std::string& text)
{
    auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (static_cast<unsigned char>(text[i]) > ' ' || !blank(text[i]))
            continue; // every blank is at most ' '
        if (text[i] != ' ' || i == 0 || i + 1 == text.size() || blank(text[i + 1]))
            return false;
    }
    return true;
}

} // namespace

// The title is one line. An entry without one is headed by the start of its description
// and keyed by its link (else its description), so that untitled entries differ.
void FeedRules::NameEntry(CRssItem& record)
{
    if (!IsOneLine(record.Title))
        record.Title = OneLine(record.Title);
    if (!record.Title.empty()) {
        record.RssID = record.Title;
        return;
    }
    record.Title = PlainHeading(record.Description);
    record.RssID = record.Genre.empty() ? record.Description : record.Genre;
}

} // namespace vexa
