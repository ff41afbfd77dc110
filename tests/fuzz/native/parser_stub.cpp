// The XML reader wrapper for the native build: Parse replays the events a test hands it,
// through the callback the store registered, as the real wrapper delivers them.
#include "tests/fuzz/native/parser_stub.h"

class CXmlParserImpl {
public:
    IXmlParserCallback* callback = nullptr;
};

namespace native {
ParseFn g_parse = nullptr;
}

CXmlParser::CXmlParser() : m_impl(new CXmlParserImpl) {}
CXmlParser::~CXmlParser() = default;
bool CXmlParser::IsReady() const { return true; }
void CXmlParser::SetCallback(IXmlParserCallback* callback) { m_impl->callback = callback; }
bool CXmlParser::Parse(const std::string& url)
{
    return native::g_parse && m_impl->callback ? native::g_parse(url, *m_impl->callback) : false;
}

// The store downloads http feeds itself; here every address goes to the reader.
namespace vexa {
bool IsHttpAddress(const std::wstring&) noexcept { return false; }
bool WidenAddress(const std::string& url, std::wstring& wide)
{
    wide.assign(url.begin(), url.end());
    return true;
}
} // namespace vexa
bool CXmlParser::ParseBytes(const char*, std::size_t) { return false; }
