// The SAX reader wrapper, through the real reader fetching from the loopback server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "feeds/msxmlids.h"
#include "feeds/xmlparser.h"
#include "tests/support/feedbuilder.h"
#include "tests/support/httpserver.h"

using vexatest::HttpServer;

namespace {

// Writes every event as one line, so a whole stream can be compared at once.
class Recorder : public IXmlParserCallback {
public:
    void OnStartElement(const XmlElement& e) override
    {
        std::string line = "<" + e.name + "@" + std::to_string(e.depth);
        for (const auto& a : e.attributes)
            line += " " + a.first + "=" + a.second;
        events.push_back(line);
        lastElement = e;
    }
    void OnCharacters(const std::string& text, int depth) override
    {
        events.push_back("'" + text + "'@" + std::to_string(depth));
    }
    void OnEndElement(const XmlElement& e) override
    {
        events.push_back("</" + e.name + "@" + std::to_string(e.depth) +
                         (e.isStart || !e.attributes.empty() ? " BAD" : ""));
    }
    void OnError(int line, int column, const std::string& message, HRESULT code) override
    {
        errors.push_back({line, column, message, code});
    }
    bool IsAborted(const XmlElement& e) override { return e.isStart && e.name == abortAt; }

    struct Error {
        int line, column;
        std::string message;
        HRESULT code;
    };
    std::vector<std::string> events;
    std::vector<Error> errors;
    XmlElement lastElement;
    std::string abortAt;
};

class XmlParserTest : public vexatest::HttpServerTest {
protected:
    bool ParseDocument(const std::string& xml)
    {
        m_server.Serve("/doc.xml", xml);
        m_parser.SetCallback(&m_recorder);
        return m_parser.Parse(m_server.Url("/doc.xml"));
    }
    CXmlParser m_parser;
    Recorder m_recorder;
};

using Events = std::vector<std::string>;

TEST_F(XmlParserTest, DeliversElementsTextAndDepths)
{
    ASSERT_TRUE(m_parser.IsReady());
    EXPECT_TRUE(ParseDocument("<root>\n  <a x=\"1\" empty=\"\" y=\"two\">  hello  </a>\n"
                              "  <p:c xmlns:p=\"urn:p\"/>\r\n\t</root>"));
    // White-space-only runs are dropped; text keeps its own blanks; an empty attribute
    // value is not listed; a prefixed element arrives by its local name.
    EXPECT_EQ(m_recorder.events, (Events{"<root@1", "<a@2 x=1 y=two", "'  hello  '@2", "</a@1",
                                         "<c@2", "</c@1", "</root@0"}));
    EXPECT_TRUE(m_recorder.errors.empty());
}

TEST_F(XmlParserTest, CutsTextsAtTheirLimits)
{
    const std::string name(250, 'n');
    const std::string attrName(250, 'a');
    const std::string value(450, 'v');
    const std::string text(1000, 't');
    EXPECT_TRUE(ParseDocument("<" + name + " " + attrName + "=\"" + value + "\">" + text + "</" +
                              name + ">"));
    ASSERT_EQ(m_recorder.events.size(), 3u);
    EXPECT_EQ(m_recorder.events[0], "<" + name.substr(0, 199) + "@1 " + attrName.substr(0, 199) +
                                        "=" + value.substr(0, 399));
    EXPECT_EQ(m_recorder.events[2], "</" + name.substr(0, 199) + "@0");
    // The reader may split a long run; each piece is delivered on its own and none is longer
    // than 799 characters.
    std::string first = m_recorder.events[1];
    EXPECT_EQ(first.substr(0, 1), "'");
    EXPECT_LE(first.size(), 799u + 4);
    EXPECT_EQ(first.find_first_not_of('t', 1), first.rfind('\''));
}

TEST_F(XmlParserTest, NarrowsUnrepresentableCharactersToQuestionMarks)
{
    // Euro sign, a CJK character and a Latin-1 letter, sent as UTF-8.
    EXPECT_TRUE(ParseDocument("<?xml version=\"1.0\" encoding=\"utf-8\"?>"
                              "<t a=\"\xE2\x82\xAC\">price \xE2\x82\xAC 5 \xE4\xB8\xAD caf\xC3\xA9</t>"));
    // The reader may split the run around the wide characters; the pieces joined are whole.
    ASSERT_GE(m_recorder.events.size(), 3u);
    EXPECT_EQ(m_recorder.events.front(), "<t@1 a=?");
    EXPECT_EQ(m_recorder.events.back(), "</t@0");
    std::string text;
    for (std::size_t i = 1; i + 1 < m_recorder.events.size(); ++i)
        text += m_recorder.events[i].substr(1, m_recorder.events[i].size() - 4);
    EXPECT_EQ(text, "price ? 5 ? caf\xE9");
}

TEST_F(XmlParserTest, AbortStopsTheParse)
{
    m_recorder.abortAt = "b";
    EXPECT_FALSE(ParseDocument("<root><a>1</a><b>2</b><c>3</c></root>"));
    EXPECT_EQ(m_recorder.events, (Events{"<root@1", "<a@2", "'1'@2", "</a@1", "<b@2"}));
}

TEST_F(XmlParserTest, ErrorAfterTheThirdElementIsReportedWithItsPosition)
{
    EXPECT_FALSE(ParseDocument("<a>\n<b>\n<c>text</b>\n</a>"));
    ASSERT_GE(m_recorder.events.size(), 4u);
    EXPECT_EQ((Events{m_recorder.events.begin(), m_recorder.events.begin() + 4}),
              (Events{"<a@1", "<b@2", "<c@3", "'text'@3"}));
    ASSERT_FALSE(m_recorder.errors.empty());
    EXPECT_EQ(m_recorder.errors[0].line, 3);
    EXPECT_GT(m_recorder.errors[0].column, 0);
    EXPECT_FALSE(m_recorder.errors[0].message.empty());
    EXPECT_LT(m_recorder.errors[0].code, 0);
}

TEST_F(XmlParserTest, FailedFetchesReturnFalse)
{
    m_parser.SetCallback(&m_recorder);
    EXPECT_FALSE(m_parser.Parse(m_server.Url("/missing.xml")));
    m_server.Serve("/doc.xml", "<a/>");
    m_server.SetMode(HttpServer::Mode::ServerError);
    EXPECT_FALSE(m_parser.Parse(m_server.Url("/doc.xml")));
    m_server.SetMode(HttpServer::Mode::CloseEarly);
    EXPECT_FALSE(m_parser.Parse(m_server.Url("/doc.xml")));
    EXPECT_TRUE(m_recorder.events.empty());
    // The same parser reads the next document normally.
    m_server.SetMode(HttpServer::Mode::Normal);
    EXPECT_TRUE(m_parser.Parse(m_server.Url("/doc.xml")));
    EXPECT_EQ(m_recorder.events, (Events{"<a@1", "</a@0"}));
}

TEST_F(XmlParserTest, LongUrlIsRequestedAsItsFirst999Characters)
{
    m_parser.SetCallback(&m_recorder);
    std::string url = m_server.Url("/");
    url += std::string(1200 - url.size(), 'x');
    ASSERT_EQ(url.size(), 1200u);
    const std::string target = url.substr(0, 999).substr(m_server.Url("").size());
    m_server.Serve(target, "<a/>");
    EXPECT_TRUE(m_parser.Parse(url));
    ASSERT_FALSE(m_server.Requests().empty());
    EXPECT_EQ(m_server.Requests().back(), target);
}

// Creation seam: counts what the parser asks for and fails the classes named.
std::vector<CLSID> g_asked;
const CLSID* g_failA = nullptr;
const CLSID* g_failB = nullptr;
HRESULT WINAPI Create(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** ppv)
{
    g_asked.push_back(clsid);
    EXPECT_EQ(context, 7u);
    EXPECT_EQ(outer, nullptr);
    if ((g_failA && IsEqualCLSID(clsid, *g_failA)) || (g_failB && IsEqualCLSID(clsid, *g_failB))) {
        *ppv = nullptr;
        return REGDB_E_CLASSNOTREG;
    }
    return CoCreateInstance(clsid, outer, context, iid, ppv);
}

class XmlParserCreationTest : public vexatest::HttpServerTest {
protected:
    void SetUp() override
    {
        HttpServerTest::SetUp();
        g_asked.clear();
        g_failA = g_failB = nullptr;
        m_old = vexa::SetXmlCreateInstance(Create);
    }
    void TearDown() override
    {
        vexa::SetXmlCreateInstance(m_old);
        HttpServerTest::TearDown();
    }
    vexa::XmlCreateInstance m_old = nullptr;
};

TEST_F(XmlParserCreationTest, UsesTheVersion4ReaderAndSchemaCache)
{
    CXmlParser parser;
    EXPECT_TRUE(parser.IsReady());
    ASSERT_EQ(g_asked.size(), 2u);
    EXPECT_TRUE(IsEqualCLSID(g_asked[0], vexa::msxml::CLSID_SAXXMLReader40));
    EXPECT_TRUE(IsEqualCLSID(g_asked[1], vexa::msxml::CLSID_XMLSchemaCache40));
    // Wine's reader refuses the "schemas" property; whatever the reader does, the only
    // line ever written is this one.
    for (const std::string& line : m_channels->traces())
        EXPECT_EQ(line, "CXmlParserImpl::CreateSchemaCache(): putProperty(L\"schemas\",...) failed\n");
}

TEST_F(XmlParserCreationTest, FallsBackToVersion6AndReadsDoctypeDocumentsAlike)
{
    // A DOCTYPE with an external identifier and an internal subset, as older feeds carry.
    const std::string doc = "<?xml version=\"1.0\"?>\n<!DOCTYPE rss SYSTEM \"" +
                            m_server.Url("/rss.dtd") +
                            "\" [\n<!ELEMENT rss ANY>\n<!ELEMENT t (#PCDATA)>\n]>\n"
                            "<rss><t k=\"v\">Hello</t></rss>";
    m_server.Serve("/dtd.xml", doc);
    m_server.Serve("/rss.dtd", "<!ELEMENT rss ANY>\n<!ATTLIST t k CDATA #IMPLIED>\n",
                   "application/xml-dtd");

    Recorder with4;
    {
        CXmlParser parser;
        parser.SetCallback(&with4);
        EXPECT_TRUE(parser.Parse(m_server.Url("/dtd.xml")));
    }
    g_asked.clear();
    g_failA = &vexa::msxml::CLSID_SAXXMLReader40;
    Recorder with6;
    {
        CXmlParser parser;
        EXPECT_TRUE(parser.IsReady());
        ASSERT_EQ(g_asked.size(), 3u);
        EXPECT_TRUE(IsEqualCLSID(g_asked[1], vexa::msxml::CLSID_SAXXMLReader60));
        EXPECT_TRUE(IsEqualCLSID(g_asked[2], vexa::msxml::CLSID_XMLSchemaCache60));
        parser.SetCallback(&with6);
        EXPECT_TRUE(parser.Parse(m_server.Url("/dtd.xml")));
    }
    EXPECT_FALSE(with4.events.empty());
    EXPECT_EQ(with6.events, with4.events);
    EXPECT_TRUE(with6.errors.empty());
}

TEST_F(XmlParserCreationTest, WithoutAReaderNothingIsFetchedOrCalled)
{
    g_failA = &vexa::msxml::CLSID_SAXXMLReader40;
    g_failB = &vexa::msxml::CLSID_SAXXMLReader60;
    CXmlParser parser;
    EXPECT_FALSE(parser.IsReady());
    EXPECT_EQ(g_asked.size(), 2u); // no schema cache without a reader
    Recorder recorder;
    parser.SetCallback(&recorder);
    m_server.Serve("/doc.xml", "<a/>");
    EXPECT_FALSE(parser.Parse(m_server.Url("/doc.xml")));
    EXPECT_FALSE(parser.Parse(m_server.Url("/doc.xml")));
    EXPECT_TRUE(recorder.events.empty());
    EXPECT_TRUE(recorder.errors.empty());
    EXPECT_TRUE(m_server.Requests().empty());
}

TEST_F(XmlParserCreationTest, SchemaCacheFailureLeavesTheParserWorking)
{
    g_failA = &vexa::msxml::CLSID_XMLSchemaCache40;
    CXmlParser parser;
    EXPECT_TRUE(parser.IsReady());
    Recorder recorder;
    parser.SetCallback(&recorder);
    m_server.Serve("/doc.xml", "<a>x</a>");
    EXPECT_TRUE(parser.Parse(m_server.Url("/doc.xml")));
    EXPECT_EQ(recorder.events, (Events{"<a@1", "'x'@1", "</a@0"}));
    EXPECT_TRUE(m_channels->traces().empty()); // no cache, so no property to set
}

} // namespace
