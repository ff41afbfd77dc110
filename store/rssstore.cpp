// The feed item store: the records, and the parse of each feed's document.
#include "store/rssstore.h"

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

void CRssStore::BeginLoad(const std::string& url)
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
    m_last.readAsUtf8 = m_parser->ReadAsUtf8();
    if (!m_last.readAsUtf8.empty()) m_last.repairs |= vexa::kReadLatinAsUtf8;
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
    m_last.repairs |= repairs;
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

bool CRssStore::ReadAddress(const std::string& url)
{
    m_last.parsed = true;
    std::string bytes;
    if (!(vexa::ReadLocalDocument(url, bytes) ? ReadDocument(url, bytes) : m_parser->Parse(url)))
        return EndLoad(false);
    TakeListing(url);
    return EndLoad(true);
}

bool CRssStore::ReadBody(const std::string& url, std::string& body)
{
    m_last.parsed = true;
    // Before the reader's shape is given to the body: its declaration may be rewritten.
    const std::string declared = vexa::DeclaredEncoding(body.data(), body.size());
    if (!ReadDocument(url, body)) {
        // What a person needs to tell a web page or an encoding from broken XML.
        m_last.encoding = declared;
        m_last.pageMarkup = vexa::IsWebPage(body.data(), body.size());
        return EndLoad(false);
    }
    TakeListing(url);
    return EndLoad(true);
}

bool CRssStore::ReadCutBody(std::string& body)
{
    // What arrived is read like any broken document: completed entries stand.
    m_last.parsed = true;
    m_parser->ParseBody(body);
    return EndLoad(false);
}

int CRssStore::Count() const { return m_items.Count(); }

bool CRssStore::HasReader() const { return m_parser->IsReady(); }

} // namespace vexa
