// The SAX reader wrapper, through the real reader fetching from the loopback server.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "com/owners.h"
#include "format/msxmlids.h"
#include "format/readerinput.h"
#include "format/utf8.h"
#include "format/xmlparser.h"
#include "tests/support/feedbuilder.h"
#include "tests/support/fixtures.h"
#include "tests/support/httpserver.h"

using namespace vexa;

using vexatest::HttpServer;

namespace {

// Writes every event as one line, so a whole stream can be compared at once.
class Recorder : public IXmlParserCallback {
public:
    void OnStartElement(const XmlElement& e) override
    {
        ThrowIf("start");
        std::string line = "<" + e.name + "@" + std::to_string(e.depth);
        for (const auto& a : e.attributes)
            line += " " + a.first + "=" + a.second;
        events.push_back(line);
        lastElement = e;
    }
    void OnCharacters(std::string_view text, int depth) override
    {
        ThrowIf("text");
        events.push_back("'" + std::string(text) + "'@" + std::to_string(depth));
    }
    void OnEndElement(const XmlElement& e) override
    {
        ThrowIf("end");
        events.push_back("</" + e.name + "@" + std::to_string(e.depth) +
                         (e.isStart || !e.attributes.empty() ? " BAD" : ""));
    }
    void OnError(int line, int column, const std::string& message, HRESULT code) override
    {
        ThrowIf("error");
        errors.push_back({line, column, message, code});
    }
    bool IsAborted(const XmlElement& e) override { return e.isStart && e.name == abortAt; }
    void ThrowIf(const std::string& event)
    {
        if (event == throwIn) throw std::runtime_error("thrown at " + event);
    }

    struct Error {
        int line, column;
        std::string message;
        HRESULT code;
    };
    std::vector<std::string> events;
    std::vector<Error> errors;
    XmlElement lastElement;
    std::string abortAt;
    std::string throwIn; // the event whose callback throws
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

// Characters beyond Latin-1, as UTF-8: a euro sign, Chinese, Cyrillic, an emoji.
const std::string kEuro = "\xE2\x82\xAC";
const std::string kZhong = "\xE4\xB8\xAD";
const std::string kCafe = "Caf\xC3\xA9";
const std::string kNovosti = "\xD0\x9D\xD0\xBE\xD0\xB2\xD0\xBE\xD1\x81\xD1\x82\xD0\xB8";
const std::string kEmoji = "\xF0\x9F\x98\x80"; // U+1F600, a surrogate pair in UTF-16

TEST_F(XmlParserTest, DeliversEveryCharacterAsUtf8OneRunAtATime)
{
    EXPECT_TRUE(ParseDocument("<?xml version=\"1.0\" encoding=\"utf-8\"?><r>"
                              "<t a=\"" + kEuro + kZhong + "\" " + kNovosti + "=\"v\">price " + kEuro +
                              " 5 " + kZhong + " " + kCafe + " " + kEmoji + "</t>"
                              "<u>AT&amp;T &#233;&#x4E2D;&#x1F600; <![CDATA[<b>]]> x<!-- c -->y</u>"
                              "<v>one<?pi data?>two</v><w> &#32; &#x9; </w><x>\n line\n</x></r>"));
    // The reader splits runs at references, CDATA sections, comments and wide characters;
    // each run between two tags arrives whole (comments and processing instructions are not
    // text and do not end it).
    EXPECT_EQ(m_recorder.events,
              (Events{"<r@1", "<t@2 a=" + kEuro + kZhong + " " + kNovosti + "=v",
                      "'price " + kEuro + " 5 " + kZhong + " " + kCafe + " " + kEmoji + "'@2", "</t@1",
                      "<u@2", "'AT&T \xC3\xA9" + kZhong + kEmoji + " <b> xy'@2", "</u@1",
                      "<v@2", "'onetwo'@2", "</v@1", "<w@2", "</w@1",
                      "<x@2", "'\n line\n'@2", "</x@1", "</r@0"}));
}

TEST_F(XmlParserTest, LimitsCountCharactersAndNeverSplitOne)
{
    std::string name, value, text;
    for (int i = 0; i < 250; ++i) name += "\xC3\xA9";  // two bytes each
    for (int i = 0; i < 450; ++i) value += kZhong;      // three bytes each
    for (int i = 0; i < 1000; ++i) text += kNovosti.substr(0, 2);
    EXPECT_TRUE(ParseDocument("<r><" + name + " a=\"" + value + "\">" + text + "</" + name + "></r>"));
    ASSERT_EQ(m_recorder.events.size(), 5u);
    EXPECT_EQ(m_recorder.events[1], "<" + name.substr(0, 2 * 199) + "@2 a=" + value.substr(0, 3 * 399));
    EXPECT_EQ(m_recorder.events[2], "'" + text.substr(0, 2 * 799) + "'@2");

    // A pair that the limit would cut in two is left out whole; one that fits stays.
    m_recorder.events.clear();
    const std::string a798(798, 'a'), a797(797, 'a'), n198(198, 'n'), v398(398, 'v');
    EXPECT_TRUE(ParseDocument("<r><t>" + a798 + kEmoji + "b</t><t>" + a797 + kEmoji + "</t><t>" + a797 +
                              "\xC3\xA9" + kEmoji + "</t><" + n198 + kEmoji + " k=\"" + v398 + kEmoji +
                              "\"/></r>"));
    EXPECT_EQ(m_recorder.events,
              (Events{"<r@1", "<t@2", "'" + a798 + "'@2", "</t@1", "<t@2", "'" + a797 + kEmoji + "'@2",
                      "</t@1", "<t@2", "'" + a797 + "\xC3\xA9'@2", "</t@1", "<" + n198 + "@2 k=" + v398,
                      "</" + n198 + "@1", "</r@0"}));
}

TEST_F(XmlParserTest, TextReadBeforeAnErrorArrivesBeforeTheError)
{
    // Bytes that are not UTF-8 in a document that says it is.
    EXPECT_FALSE(ParseDocument("<?xml version=\"1.0\" encoding=\"utf-8\"?><r><a>ok</a><b>x\xFF\xFEy</b></r>"));
    EXPECT_EQ(m_recorder.events, (Events{"<r@1", "<a@2", "'ok'@2", "</a@1", "<b@2", "'x'@2"}));
    ASSERT_FALSE(m_recorder.errors.empty());
    EXPECT_LT(m_recorder.errors[0].code, 0);
}

// Documents whose parse error would name something of thousands of characters (Wine's
// reader formats such a message into a 1 KiB stack buffer and overwrites its stack; the
// fuzzer's input 8294 of seed 20261207, an element name of 8927 characters, ended the
// process): refused unread. Long values of ordinary attributes and long texts still read.
TEST_F(XmlParserTest, MarkupTooLongForTheReaderIsRefusedUnread)
{
    const std::string name(3000, 'n');
    const std::string refused[] = {
        "<rss><channel><item><" + name + "></item></channel></rss>", // the fuzzer's input, minimised
        "<r><" + name + " a",
        "<r>&" + name + ";</r>",
        "<r xmlns=\"" + name + "\"/>",
        "<?xml version=\"1.0\" encoding=\"" + name + "\"?><r/>",
    };
    for (const std::string& doc : refused) {
        Recorder recorder;
        CXmlParser parser;
        parser.SetCallback(&recorder);
        EXPECT_FALSE(parser.ParseBytes(doc.data(), doc.size())) << doc.substr(0, 40);
        EXPECT_TRUE(recorder.events.empty());
        EXPECT_EQ(recorder.errors.size(), 1u);
    }
    // A local file, by its path and as a file: URL, is checked before the reader opens it.
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring path = std::wstring(folder) + L"vexa-long-name.xml";
    {
        vexa::unique_handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file.get(), refused[0].data(), static_cast<DWORD>(refused[0].size()), &written, nullptr));
    }
    for (const std::string& address : {utf::ToUtf8(path.data(), path.size()), "file:///" + utf::ToUtf8(path.data(), path.size())}) {
        Recorder recorder;
        CXmlParser parser;
        parser.SetCallback(&recorder);
        EXPECT_FALSE(parser.Parse(address)) << address;
        EXPECT_TRUE(recorder.events.empty());
        EXPECT_EQ(recorder.errors.size(), 1u);
    }
    DeleteFileW(path.c_str());
    // UTF-16 counts as the reader's UTF-8: 150 CJK characters are 450 bytes.
    std::u16string wide = u"<r><" + std::u16string(150, u'\u4E2D') + u"/></r>";
    CXmlParser parser;
    EXPECT_FALSE(parser.ParseBytes(reinterpret_cast<const char*>(wide.data()), wide.size() * 2));

    const std::string fine = "<r a=\"" + name + "\"><![CDATA[" + name + "]]><!--" + name + "-->" + name + "</r>";
    Recorder recorder;
    parser.SetCallback(&recorder);
    EXPECT_TRUE(parser.ParseBytes(fine.data(), fine.size()));
    EXPECT_TRUE(recorder.errors.empty());
    EXPECT_EQ(recorder.events, (Events{"<r@1 a=" + std::string(399, 'n'), "'" + std::string(799, 'n') + "'@1", "</r@0"}));
}

TEST_F(XmlParserTest, EventsAreTheSameWhateverTheThreadCodePage)
{
    const std::string doc = "<?xml version=\"1.0\" encoding=\"utf-8\"?><r a=\"" + kCafe + "\">" + kNovosti +
                            " " + kZhong + " " + kCafe + "</r>";
    ASSERT_TRUE(ParseDocument(doc));
    const Events expected = m_recorder.events;
    ASSERT_EQ(expected.size(), 3u);
    for (unsigned codePage : {1251u, 932u, 65001u}) {
        vexatest::ThreadCodePage page(codePage);
        m_recorder.events.clear();
        EXPECT_TRUE(m_parser.Parse(m_server.Url("/doc.xml")));
        EXPECT_EQ(m_recorder.events, expected) << codePage;
    }
}

TEST_F(XmlParserTest, AbortStopsTheParse)
{
    m_recorder.abortAt = "b";
    EXPECT_FALSE(ParseDocument("<root><a>1</a><b>2</b><c>3</c></root>"));
    EXPECT_EQ(m_recorder.events, (Events{"<root@1", "<a@2", "'1'@2", "</a@1", "<b@2"}));
}

// An exception from the callback ends at the reader's handler: reported, and the parse fails.
TEST_F(XmlParserTest, CallbackExceptionsStopTheParseAndAreReported)
{
    m_parser.SetCallback(&m_recorder);
    for (const char* event : {"start", "text", "end", "error"}) {
        m_channels->clear();
        m_recorder.throwIn = event;
        const std::string doc = m_recorder.throwIn == "error" ? "<a>" : "<a>x</a>";
        EXPECT_FALSE(m_parser.ParseBytes(doc.data(), doc.size())) << event;
        EXPECT_EQ(m_channels->reports(), std::vector<std::string>{"thrown at " + m_recorder.throwIn});
    }
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

TEST_F(XmlParserTest, AddressesReachTheReaderAsWrittenUpTo999Characters)
{
    // Not percent-encoded (that is the downloads' business): Wine's own fetch sends the path
    // in the ANSI code page, where é is the byte E9. The limit never cuts an emoji in half.
    m_parser.SetCallback(&m_recorder);
    std::string url = m_server.Url("/");
    std::string expected = "/";
    for (std::size_t i = url.size(); i < 997; ++i) {
        url += "\xC3\xA9";
        expected += "\xE9";
    }
    url += "a" + kEmoji + "tail"; // the emoji would take characters 999 and 1000
    expected += "a";
    m_server.Serve(expected, "<b/>");
    EXPECT_TRUE(m_parser.Parse(url));
    EXPECT_EQ(m_server.Requests(), (std::vector<std::string>{expected}));
}

// ---- The UTF-8 conversions under the wrapper and the plugin. ----

TEST(Utf8, RoundTripsEveryCharacterAndReplacesWhatIsNotText)
{
    const std::u16string all = u"a\u00E9\u00FF\u0100\u041D\u4E2D\uFFFF\U0001F600\U0010FFFF";
    const std::string utf8 = vexa::utf::ToUtf8(all.data(), all.size());
    EXPECT_EQ(utf8, "a\xC3\xA9\xC3\xBF\xC4\x80\xD0\x9D\xE4\xB8\xAD\xEF\xBF\xBF\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF");
    EXPECT_EQ(vexa::utf::FromUtf8<char16_t>(utf8), all);
    // Half a pair, alone or reversed, becomes U+FFFD.
    const std::u16string halves = {u'x', 0xD800, u'y', 0xDC00, 0xDE00, 0xD83D};
    EXPECT_EQ(vexa::utf::ToUtf8(halves.data(), halves.size()),
              "x\xEF\xBF\xBDy\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    // Invalid bytes: a stray continuation, a lead without its tail, an overlong form, an
    // encoded surrogate, a code point above U+10FFFF, bytes that never occur.
    EXPECT_EQ(vexa::utf::FromUtf8<char16_t>(std::string("\x80" "a\xE2\x82" "b\xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80\xFF")),
              u"\uFFFDa\uFFFDb\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(vexa::utf::FromUtf8<char16_t>(std::string("\xF0\x9F\x98")), u"\uFFFD");
}

TEST(Utf8, CutsNeverSplitAPair)
{
    const std::u16string text = u"ab\U0001F600c";
    EXPECT_EQ(vexa::utf::CutPoint(text.data(), text.size(), 10), 5u);
    EXPECT_EQ(vexa::utf::CutPoint(text.data(), text.size(), 4), 4u);
    EXPECT_EQ(vexa::utf::CutPoint(text.data(), text.size(), 3), 2u);
    EXPECT_EQ(vexa::utf::CutPoint(text.data(), text.size(), 2), 2u);
    EXPECT_EQ(vexa::utf::CutPoint(text.data(), text.size(), 0), 0u);
    const std::string utf8 = "ab\xF0\x9F\x98\x80" "c";
    EXPECT_EQ(vexa::utf::FromUtf8<char16_t>(utf8, 3), u"ab");
    EXPECT_EQ(vexa::utf::FromUtf8<char16_t>(utf8, 4), u"ab\U0001F600");
}

TEST(Utf8, WireFormEncodesOnlyWhatFollowsTheHost)
{
    auto wire = [](const std::u16string& url) { return vexa::utf::UrlForTheWire(url); };
    EXPECT_EQ(wire(u"http://h.test:81/a b?q=1#f"), u"http://h.test:81/a b?q=1#f");
    EXPECT_EQ(wire(u"http://\u043F.test/\u043F?\u00E9#\U0001F600"),
              u"http://\u043F.test/%D0%BF?%C3%A9#%F0%9F%98%80");
    EXPECT_EQ(wire(u"http://h?\u00E9"), u"http://h?%C3%A9");
    EXPECT_EQ(wire(u"\u00E9"), u"%C3%A9");
    EXPECT_EQ(wire(u"http://\u00E9"), u"http://\u00E9");
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

TEST(ReaderInputTest, LineEndsInEachFormAndTheRepairs)
{
    const std::pair<std::string, std::string> lineEnds[] = {
        {"a\r\nb\rc\n\r\n", "a\nb\nc\n\n"},
        {std::string("<\0\r\0\n\0\r\0\r", 9), std::string("<\0\n\0\n\0\r", 7)}, // UTF-16 LE, a stray byte
        {std::string("\0<\0\r\0\r\r\n", 8), std::string("\0<\0\n\0\n\r\n", 8)}, // UTF-16 BE: U+0D0A stays
    };
    for (const auto& row : lineEnds) {
        std::string bytes = row.first;
        bytes.resize(NormalizeLineEnds(&bytes[0], bytes.size()));
        EXPECT_EQ(bytes, row.second);
    }
    const struct { const char* in; const char* out; unsigned made; } repairs[] = {
        {"<a>A & B &#; &nbsp &</a>", "<a>A &amp; B &amp;#; &amp;nbsp &amp;</a>", kRepairedAmpersand},
        {"<a>&nbsp;&Omega;&euro;&amp;&#65;&#x41;&own;</a>", "<a>&#160;&#937;&#8364;&amp;&#65;&#x41;&own;</a>",
         kRepairedHtmlEntity},
        {"<a t='&copy;&'><![CDATA[&nbsp; &]]><!-- & --><?p &?></a>",
         "<a t='&#169;&amp;'><![CDATA[&nbsp; &]]><!-- & --><?p &?></a>", kRepairedAmpersand | kRepairedHtmlEntity},
        {"<a>&amp;&lt;&gt;&quot;&apos;</a>", "unchanged", 0},
        {"\xEF\xBB\xBF \n\t<?xml version='1.0'?><a/>", "\xEF\xBB\xBF<?xml version='1.0'?><a/>", kRepairedLeadingSpace},
        {"<a t='\x1B'>B\x07&#31;&#x1;&#9;&#x1F600;<![CDATA[\x01&#1;]]></a>", "<a t=''>B&#9;&#x1F600;<![CDATA[&#1;]]></a>",
         kRepairedControls},
        {"<a>\xE9!\x93\x81\xC3\xA9\xEF\xBF\xBD\xED\xA0\x80</a>",
         "<a>\xC3\xA9!\xE2\x80\x9C\xC2\x81\xC3\xA9\xEF\xBF\xBD\xC3\xAD\xC2\xA0\xE2\x82\xAC</a>", kRepairedUtf8},
        {"<?xml version='1.0' encoding='koi8-r'?><a>\xE9</a>", "unchanged", 0},
        {"<rss xmlns:a='x'><snf:logo thr:count = '2' b='c:d' a:e='f'/><!-- <g:h> --></rss>",
         "<rss xmlns:snf=\"urn:x-undeclared-prefix:snf\" xmlns:thr=\"urn:x-undeclared-prefix:thr\" xmlns:a='x'>"
         "<snf:logo thr:count = '2' b='c:d' a:e='f'/><!-- <g:h> --></rss>", kRepairedPrefix},
    };
    for (const auto& row : repairs) {
        std::string out = "unchanged";
        EXPECT_EQ(RepairMarkup(row.in, strlen(row.in), out), row.made) << row.in;
        EXPECT_EQ(out, row.out);
    }
}

TEST(ReaderInputTest, LatinDeclaredDocumentsThatAreUtf8)
{
    const struct { const char* bytes; unsigned codePage; bool utf8; } rows[] = {{"tr\xC3\xA6nere", 28591, true},
        {"tr\xE6nere", 28591, false}, {"plain", 1252, false}, {"\xC3\xA6 \xE6", 1252, false}, {"\xD0\x9D", 1251, false}};
    for (const auto& row : rows)
        EXPECT_EQ(LatinBytesAreUtf8(row.bytes, strlen(row.bytes), row.codePage), row.utf8) << row.bytes;
}

// "<!-->" ends no comment, but the reader's look-ahead took its dashes for the end: with the
// real end past its 4 KB buffer it said "Comment not terminated" (a fuzzer's find).
TEST(ReaderInputTest, CommentsOpeningWithDashesAtTheBufferEdgeRead)
{
    for (const char* open : {"<!-->", "<!--->"}) {
        for (std::size_t pad = 4070; pad < 4100; pad += 3) {
            const std::string doc = "<r>" + std::string(pad, 'x') + "</r>" + open + "A\nb-->\n";
            std::u16string wide = u"\xFEFF" + std::u16string(doc.begin(), doc.end());
            const std::string utf16(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
            for (const std::string& bytes : {doc, utf16}) {
                Recorder recorder;
                CXmlParser parser;
                parser.SetCallback(&recorder);
                EXPECT_TRUE(parser.ParseBytes(bytes.data(), bytes.size())) << open << " " << pad << " " << bytes.size();
            }
        }
    }
}
