// The feed item store: every entry read during the plugin's life, keyed by title.
#pragma once
#include <map>
#include <memory>
#include <string>

#include "feeds/rssitem.h"
#include "feeds/xmlparser.h"

class CRssStore : public IXmlParserCallback {
public:
    enum class Field { None, Author, Title, Genre, Price, Published, Description };

    CRssStore();
    ~CRssStore();
    CRssStore(const CRssStore&) = delete;
    CRssStore& operator=(const CRssStore&) = delete;

    // Fetches and parses one feed; records completed before a failure stay stored.
    bool Load(const std::string& url);
    int Count() const;

    // IXmlParserCallback
    void OnStartElement(const XmlElement& element) override;
    void OnCharacters(const std::string& text, int depth) override;
    void OnEndElement(const XmlElement& element) override;
    void OnError(int line, int column, const std::string& message, HRESULT code) override;
    bool IsAborted(const XmlElement& element) override;

    bool m_inChannel = false;
    std::unique_ptr<CRssItem> m_current;
    Field m_field = Field::None;
    std::unique_ptr<CXmlParser> m_parser;
    // Title order, byte-wise; owns the records (deleted by the destructor).
    std::map<std::string, CRssItem*> m_items;
};
