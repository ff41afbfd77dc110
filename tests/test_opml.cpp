// OPML lists through the real XML reader: the shapes other readers export, and the writer's
// documents against the OPML 2.0 rules (the fuzzer reads them back at length).
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "feeds/opml.h"
#include "feeds/utf8.h"
#include "feeds/xmlparser.h"

using namespace vexa;
using Strings = std::vector<std::string>;
using Outcome = OpmlRules::Outcome;

namespace {

std::string Document(const std::string& body, const char* version = "2.0")
{
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<opml version=\"") + version +
           "\"><head><title>Subscriptions</title></head><body>" + body + "</body></opml>";
}

// Reads a document as other readers expect OPML 2.0: <opml version="2.0">, a head (title, an
// RFC 822 dateCreated) then a body, every outline with a text and an rss one with an xmlUrl.
struct RuleCheck : IXmlParserCallback {
    std::string failures, open, dateCreated;
    Strings shape; // the elements other than outlines, as "depth:name"
    static bool Has(const XmlElement& e, const char* name, const char* value = nullptr)
    {
        for (const auto& a : e.attributes)
            if (a.first == name && (!value || a.second == value)) return true;
        return false;
    }
    void OnStartElement(const XmlElement& e) override
    {
        open = e.name;
        if (e.name != "outline") shape.push_back(std::to_string(e.depth) + ":" + e.name);
        if (e.depth == 1 && !Has(e, "version", "2.0")) failures += "no version 2.0; ";
        if (e.name == "outline" && !Has(e, "text")) failures += "an outline without text; ";
        if (Has(e, "type", "rss") && !Has(e, "xmlUrl")) failures += "an rss outline without xmlUrl; ";
    }
    void OnCharacters(const std::string& text, int) override { if (open == "dateCreated") dateCreated = text; }
    void OnEndElement(const XmlElement&) override { open.clear(); }
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
    const Strings inFolders = {"http://a.example/rss?x=1&y=2", "http://b.example/feed", "http://c.example/atom",
                               "http://d.example/"};
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
        {"an RSS feed", "<rss><channel><outline xmlUrl=\"http://x/\"/></channel></rss>", Outcome::NotOpml, {}},
        {"cut short", Document(folders).substr(0, 150), Outcome::Malformed, {}},
        {"not XML", "hello, world", Outcome::Malformed, {}},
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
    EXPECT_EQ(check.shape, (Strings{"1:opml", "2:head", "3:title", "3:dateCreated", "2:body"}));
    EXPECT_EQ(check.dateCreated, "Tue, 08 Dec 2026 13:05:09 GMT");
    EXPECT_EQ(bytes.find("htmlUrl=\"\""), std::string::npos);
    OpmlReadResult read = ReadOpml(bytes.data(), bytes.size());
    ASSERT_EQ(read.outlines.size(), 2u);
    EXPECT_EQ(read.outlines[0], outlines[0]);
    EXPECT_EQ(read.outlines[1], (OpmlOutline{"bell\xEF\xBF\xBD nul\xEF\xBF\xBDx", "\xEF\xBF\xBD broken \xEF\xBF\xBD",
                                             "http://c.example/", ""}));
}
