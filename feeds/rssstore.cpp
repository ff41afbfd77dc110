// The feed item store and its parsing rules: a small state machine over the reader's
// events that opens a record at each entry inside the channel and stores it, keyed by its
// title, at the entry's end tag.
#include "feeds/rssstore.h"

namespace {

// The tag names the walk recognises, compared exactly (case-sensitive, local names).
const std::string kChannel = "channel";
const std::string kItem = "item";

struct FieldTag {
    const char* name;
    CRssStore::Field field;
};
const FieldTag kFieldTags[] = {
    {"author", CRssStore::Field::Author},
    {"title", CRssStore::Field::Title},
    {"link", CRssStore::Field::Genre},
    {"price", CRssStore::Field::Price},
    {"publish_date", CRssStore::Field::Published},
    {"description", CRssStore::Field::Description},
};

CRssStore::Field FieldOf(const std::string& name)
{
    for (const FieldTag& tag : kFieldTags)
        if (name == tag.name)
            return tag.field;
    return CRssStore::Field::None;
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
    CRssItem& item = *m_current;
    switch (m_field) {
    case Field::None:
        break;
    case Field::Author:
        item.Author += text;
        break;
    case Field::Title:
        item.Title += text;
        item.RssID = item.Title;
        break;
    case Field::Genre:
        item.Genre += text;
        break;
    case Field::Price:
        item.Price += text;
        break;
    case Field::Published:
        item.Published += text;
        break;
    case Field::Description:
        if (!item.Description.empty())
            item.Description += '\n';
        item.Description += text;
        break;
    }
}

void CRssStore::OnEndElement(const XmlElement& element)
{
    if (!m_inChannel)
        return;
    if (!m_current || element.name != kItem) {
        m_field = Field::None;
        return;
    }
    auto found = m_items.find(m_current->RssID);
    if (found == m_items.end()) {
        std::string key = m_current->RssID;
        m_items.emplace(std::move(key), m_current.get());
        m_current.release();
    } else {
        m_current.reset();
    }
}

void CRssStore::OnError(int, int, const std::string&, HRESULT) {}

bool CRssStore::IsAborted(const XmlElement&) { return false; }
