// OPML lists through the real XML reader: the shapes other readers export, and the writer's
// documents read back.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "feeds/opml.h"
#include "settings/feedlistfile.h"
#include "tests/support/opmlcheck.h"

using namespace vexa;
using Strings = std::vector<std::string>;
using Outcome = OpmlRules::Outcome;

namespace {

Strings Addresses(const OpmlReadResult& read)
{
    Strings out;
    for (const OpmlOutline& o : read.outlines) out.push_back(o.xmlUrl);
    return out;
}

std::string Utf16Le(const std::string& utf8)
{
    std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), &wide[0], int(wide.size()));
    return std::string("\xFF\xFE") + std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
}

const char kFolders[] =
    "<outline text=\"News\"><outline text=\"A\" type=\"rss\" xmlUrl=\"http://a.example/rss?x=1&amp;y=2\"/>"
    "<outline text=\"Deeper\"><outline text=\"B\" xmlUrl=\"http://b.example/feed\"/></outline></outline>"
    "<outline text=\"link only\" type=\"link\" url=\"http://c.example/\"/>"
    "<outline text=\"C\" xmlURL=\"http://c.example/atom\"/><OUTLINE TEXT=\"D\" XMLURL=\"http://d.example/\"/>";

} // namespace

TEST(Opml, ReadsTheShapesReadersExport)
{
    std::string many;
    Strings manyUrls;
    for (int i = 0; i < 500; ++i) {
        manyUrls.push_back("http://feeds.example/" + std::to_string(i));
        many += "<outline text=\"f\" type=\"rss\" xmlUrl=\"" + manyUrls.back() + "\"/>";
    }
    const Strings folders = {"http://a.example/rss?x=1&y=2", "http://b.example/feed", "http://c.example/atom",
                             "http://d.example/"};
    const std::string cyrillic = "http://пример.example/новости.xml";
    struct Case {
        const char* name;
        std::string bytes;
        Outcome outcome;
        Strings urls;
    } cases[] = {
        {"nested folders, 2.0", vexatest::OpmlDocument(kFolders), Outcome::Read, folders},
        {"nested folders, 1.0", vexatest::OpmlDocument(kFolders, "1.0"), Outcome::Read, folders},
        {"UTF-16 with its byte order mark", Utf16Le(vexatest::OpmlDocument(kFolders)), Outcome::Read, folders},
        {"a non-ASCII address", vexatest::OpmlDocument("<outline text=\"x\" xmlUrl=\"" + cyrillic + "\"/>"),
         Outcome::Read, {cyrillic}},
        {"an empty body", vexatest::OpmlDocument(""), Outcome::Read, {}},
        {"500 outlines", vexatest::OpmlDocument(many), Outcome::Read, manyUrls},
        {"outlines outside the body", "<opml version=\"1.0\"><head><outline xmlUrl=\"http://h/\"/></head>"
                                      "<body/><outline xmlUrl=\"http://after/\"/></opml>", Outcome::Read, {}},
        {"an RSS feed", "<rss version=\"2.0\"><channel><outline xmlUrl=\"http://x/\"/></channel></rss>",
         Outcome::NotOpml, {}},
        {"cut short", vexatest::OpmlDocument(kFolders).substr(0, 150), Outcome::Malformed, {}},
        {"not XML", "hello, world", Outcome::Malformed, {}},
        {"empty", "", Outcome::Malformed, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OpmlReadResult read = ReadOpml(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(read.outcome, c.outcome);
        EXPECT_EQ(Addresses(read), c.urls);
    }
}

// What the writer writes meets the rules, and reads back as it was given: markup
// characters, blanks that attribute-value normalisation would turn into spaces, text from
// every plane, and characters XML cannot carry (as U+FFFD).
TEST(Opml, WrittenListsMeetTheRulesAndReadBack)
{
    const std::vector<OpmlOutline> outlines = {
        {"Site & \"news\" <b>", "Site & \"news\" <b>", "http://a.example/?a=1&b=<2>", "http://a.example/"},
        {"tab\there\nline\r\nend", "t", "http://b.example/\xD0\xBC\xD0\xB8\xD1\x80 \xF0\x9F\x98\x80", ""},
        {std::string("bell\x07 nul\0x", 11), "\xEF\xBF\xBE broken \xC3", "http://c.example/", ""},
    };
    const std::string bytes = WriteOpml("Vexa feeds", Rfc822Date(2026, 12, 8, 2, 13, 5, 9), outlines);
    EXPECT_EQ(vexatest::OpmlRuleViolations(bytes), "");
    EXPECT_NE(bytes.find("<dateCreated>Tue, 08 Dec 2026 13:05:09 GMT</dateCreated>"), std::string::npos);
    EXPECT_EQ(bytes.find("htmlUrl=\"\""), std::string::npos) << "no empty htmlUrl";
    OpmlReadResult read = ReadOpml(bytes.data(), bytes.size());
    ASSERT_EQ(read.outcome, Outcome::Read);
    ASSERT_EQ(read.outlines.size(), outlines.size());
    for (std::size_t i = 0; i < outlines.size(); ++i) {
        const OpmlOutline& o = outlines[i];
        EXPECT_EQ(read.outlines[i], (OpmlOutline{OpmlWritableText(o.text), OpmlWritableText(o.title),
                                                 OpmlWritableText(o.xmlUrl), OpmlWritableText(o.htmlUrl)}))
            << i;
    }
    EXPECT_EQ(read.outlines[2].text, "bell\xEF\xBF\xBD nul\xEF\xBF\xBDx");
}

TEST(Opml, ImportMessage)
{
    struct Case {
        ImportCounts counts;
        const wchar_t* text;
    } cases[] = {
        {{12, 3, 2, 0}, L"Added 12 feeds; 3 were already in the list; 2 did not fit (the list holds 100)"},
        {{1, 1, 1, 1}, L"Added 1 feed; 1 was already in the list; 1 did not fit (the list holds 100); "
                       L"1 address was too long to keep"},
        {{0, 4, 0, 2}, L"Added no feeds; 4 were already in the list; 2 addresses were too long to keep"},
        {{5, 0, 0, 0}, L"Added 5 feeds"},
        {{0, 0, 0, 0}, L"The file lists no feeds"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DescribeImport(c.counts, 100), c.text);
}
