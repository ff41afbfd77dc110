// OPML lists through the real XML reader: the shapes other readers export, and the writer's
// documents against the OPML 2.0 rules (the fuzzer reads them back at length).
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "format/opml.h"
#include "format/utf8.h"
#include "format/xmlparser.h"

using namespace vexa;
using Strings = std::vector<std::string>;
using Outcome = OpmlRules::Outcome;

namespace {

std::string Document(const std::string& body, const char* version = "2.0")
{
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<opml version=\"") + version +
           "\"><head><title>Subscriptions</title></head><body>" + body + "</body></opml>";
}

// What a reader of OPML 2.0 checks: the elements other than outlines ("depth:name", the
// version with the document element), and outlines without text or rss ones without xmlUrl.
struct RuleCheck : IXmlParserCallback {
    std::string failures;
    Strings shape;
    void OnStartElement(const XmlElement& e) override
    {
        std::map<std::string, std::string> a(e.attributes.begin(), e.attributes.end());
        if (e.name != "outline") shape.push_back(std::to_string(e.depth) + ":" + e.name + " " + a["version"]);
        else if (a["text"].empty() || (a["type"] == "rss" && a["xmlUrl"].empty())) failures += "an outline lacks text or xmlUrl; ";
    }
    void OnCharacters(std::string_view, int) override {}
    void OnEndElement(const XmlElement&) override {}
    void OnError(int, int, const std::string& message, HRESULT) override { failures += message + "; "; }
    bool IsAborted(const XmlElement&) override { return false; }
};

} // namespace

TEST(Opml, ReadsTheShapesReadersExport)
{
    const std::string folders =
        "<outline text=\"News\"><outline text=\"A\" type=\"rss\" xmlUrl=\"http://a.example/rss?x=1&amp;y=2\"/>"
        "<outline text=\"Deeper\"><outline text=\"B\" xmlUrl=\"http://b.example/feed\"/></outline></outline>"
        "<outline text=\"link only\" type=\"link\" url=\"http://c.example/\"/>"
        "<outline text=\"C\" xmlURL=\"http://c.example/atom\"/><OUTLINE TEXT=\"D\" XMLURL=\"http://d.example/\"/>";
    const Strings inFolders = {"http://a.example/rss?x=1&y=2", "http://b.example/feed", "http://c.example/atom", "http://d.example/"};
    const std::u16string utf16 = utf::FromUtf8<char16_t>(Document(folders));
    std::string many;
    Strings manyUrls;
    for (int i = 0; i < 500; ++i) {
        manyUrls.push_back("http://feeds.example/" + std::to_string(i));
        many += "<outline text=\"f\" type=\"rss\" xmlUrl=\"" + manyUrls.back() + "\"/>";
    }
    const struct {
        const char* name;
        std::string bytes;
        Outcome outcome;
        Strings urls;
    } cases[] = {
        {"nested folders, 2.0", Document(folders), Outcome::Read, inFolders},
        {"nested folders, 1.0", Document(folders, "1.0"), Outcome::Read, inFolders},
        {"UTF-16", "\xFF\xFE" + std::string(reinterpret_cast<const char*>(utf16.data()), utf16.size() * 2),
         Outcome::Read, inFolders},
        {"500 outlines", Document(many), Outcome::Read, manyUrls},
        {"outlines outside the body", "<opml version=\"1.0\"><head><outline xmlUrl=\"http://h/\"/></head>"
                                      "<body/><outline xmlUrl=\"http://after/\"/></opml>", Outcome::Read, {}},
        {"cut short", Document(folders).substr(0, 150), Outcome::Malformed, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OpmlReadResult read = ReadOpml(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(read.outcome, c.outcome);
        Strings urls;
        for (const OpmlOutline& o : read.outlines) urls.push_back(o.xmlUrl);
        EXPECT_EQ(urls, c.urls);
    }
}

// Markup characters, blanks that attribute-value normalisation would make spaces, and
// characters XML cannot carry (U+FFFD in their place).
TEST(Opml, WrittenListsMeetTheRulesAndReadBack)
{
    const std::vector<OpmlOutline> outlines = {
        {"Site & \"news\" <b>", "tab\there\nline\r\nend", "http://a.example/?a=1&b=<2>", "http://a.example/"},
        {std::string("bell\x07 nul\0x", 11), "\xEF\xBF\xBE broken \xC3", "http://c.example/", ""},
    };
    const std::string bytes = WriteOpml("Vexa feeds", Rfc822Date(2026, 12, 8, 2, 13, 5, 9), outlines);
    RuleCheck check;
    CXmlParser parser;
    parser.SetCallback(&check);
    EXPECT_TRUE(parser.ParseBytes(bytes.data(), bytes.size()));
    EXPECT_EQ(check.failures, "");
    EXPECT_EQ(bytes.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u);
    EXPECT_EQ(check.shape, (Strings{"1:opml 2.0", "2:head ", "3:title ", "3:dateCreated ", "2:body "}));
    EXPECT_NE(bytes.find("<dateCreated>Tue, 08 Dec 2026 13:05:09 GMT</dateCreated>"), std::string::npos);
    EXPECT_EQ(bytes.find("htmlUrl=\"\""), std::string::npos);
    EXPECT_EQ(ReadOpml(bytes.data(), bytes.size()).outlines,
              (std::vector<OpmlOutline>{outlines[0], {"bell\xEF\xBF\xBD nul\xEF\xBF\xBDx",
                                                      "\xEF\xBF\xBD broken \xEF\xBF\xBD", "http://c.example/", ""}}));
}
