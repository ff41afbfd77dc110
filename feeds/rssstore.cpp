// The feed item store and its parsing rules: a small state machine over the reader's
// events that opens a record at each entry inside the channel and stores it, keyed by its
// title, at the entry's end tag.
#include "feeds/rssstore.h"

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

bool CRssStore::Load(const std::string& url)
{
    if (!m_parser->IsReady())
        return false;
    m_inChannel = false;
    m_field = Field::None;
    m_current.reset();
    return m_parser->Parse(url);
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
