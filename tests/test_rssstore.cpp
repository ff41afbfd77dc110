// The feed item store and its parsing rules, loading feeds from the loopback server
// through the real reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "format/msxmlids.h"
#include "store/rssstore.h"
#include "format/urls.h"
#include "format/xmlparser.h"
#include "tests/support/downloads.h"
#include "tests/support/feedbuilder.h"
#include "tests/support/fixtures.h"
#include "tests/support/httpserver.h"

using namespace vexa;

using vexatest::HttpServer;
using vexatest::RssDocument;
using vexatest::RssEntry;

namespace {

using Strings = std::vector<std::string>;

// Stands in for a record that is not there; made before any test counts live records.
const CRssItem kMissing;

class RssStoreTest : public vexatest::HttpServerTest {
protected:
    void SetUp() override
    {
        HttpServerTest::SetUp();
        m_liveAtStart = vexa::InstanceCounter<CRssItem>::Count();
    }
    void TearDown() override
    {
        m_store.reset();
        EXPECT_EQ(vexa::InstanceCounter<CRssItem>::Count(), m_liveAtStart) << "a record leaked";
        HttpServerTest::TearDown();
    }

    bool LoadDocument(const std::string& xml, const std::string& path = "/feed.xml")
    {
        m_server.Serve(path, xml);
        return m_store->Load(m_server.Url(path));
    }
    Strings Keys() const { return vexatest::StoreKeys(*m_store); }
    const CRssItem& Item(const std::string& key) const
    {
        if (const CRssItem* found = m_store->Find(key))
            return *found;
        ADD_FAILURE() << "no record titled \"" << key << "\"";
        return kMissing;
    }

    // One document read into a new store: whether it loads, the keys it leaves, fields of
    // its records and their order of reading; every record found by its key, none shown.
    struct Field { std::string key; std::string CRssItem::*member; std::string value; };
    struct Read {
        const char* what;
        std::string document;
        bool loads;
        Strings keys;
        std::vector<Field> fields = {};
        Strings byNum = {}; // the keys in NUM order, when checked
        std::string path = "/feed.xml";
    };
    void ExpectRead(const Read& read)
    {
        SCOPED_TRACE(read.what);
        m_store = std::make_unique<vexatest::LoadedStore>();
        EXPECT_EQ(m_store->Count(), 0);
        EXPECT_TRUE(m_store->Items().empty());
        EXPECT_EQ(LoadDocument(read.document, read.path), read.loads);
        EXPECT_EQ(Keys(), read.keys);
        for (const CRssItem& item : m_store->Items()) {
            EXPECT_EQ(m_store->Find(item.RssID), &item);
            EXPECT_FALSE(item.IsShown);
        }
        for (const Field& field : read.fields)
            EXPECT_EQ(Item(field.key).*field.member, field.value) << field.key;
        for (std::size_t i = 0; i < read.byNum.size(); ++i)
            EXPECT_EQ(Item(read.byNum[i]).NUM, static_cast<int>(i)) << read.byNum[i];
    }

    std::unique_ptr<vexatest::LoadedStore> m_store = std::make_unique<vexatest::LoadedStore>();
    long m_liveAtStart = 0;
};

TEST_F(RssStoreTest, KeepsTheFirstRecordOfEachTitle)
{
    // Duplicates in one document, entries without a title (keyed by their links), and a
    // second feed. Their relative links are read against the feed's address.
    const std::string untitled = m_server.Url("/untitled1");
    ASSERT_TRUE(LoadDocument(RssDocument(RssEntry("X", "first") + RssEntry("X", "second") +
                                         RssEntry("", "untitled1") + RssEntry("", "untitled1", "again") +
                                         RssEntry("Y"))));
    EXPECT_EQ(Keys(), (Strings{"X", "Y", untitled}));
    EXPECT_EQ(Item("X").Genre, m_server.Url("/first"));
    EXPECT_EQ(Item(untitled).Description, "");
    // The discarded duplicate took NUM 1, like the next new record: stored NUMs stay unique.
    EXPECT_EQ(Item("X").NUM, 0);
    EXPECT_EQ(Item(untitled).NUM, 1);
    EXPECT_EQ(Item("Y").NUM, 2);

    m_store->Find("X")->IsShown = true;
    m_store->Find(untitled)->IsShown = true;
    ASSERT_TRUE(m_store->Load(m_server.Url("/feed.xml")));
    EXPECT_EQ(m_store->Count(), 3);
    EXPECT_TRUE(Item("X").IsShown);

    ASSERT_TRUE(LoadDocument(RssDocument(RssEntry("X", "other feed") + RssEntry("W")), "/other.xml"));
    EXPECT_EQ(Keys(), (Strings{"W", "X", "Y", untitled}));
    EXPECT_EQ(Item("X").Genre, m_server.Url("/first"));
    EXPECT_TRUE(Item("X").IsShown);
    EXPECT_EQ(Item("W").NUM, 3);
}

TEST_F(RssStoreTest, AShownEntryThatNoFeedListsKeepsOnlyItsKey)
{
    auto showAll = [&] {
        for (CRssItem& item : m_store->Items()) item.IsShown = true;
    };
    ASSERT_TRUE(LoadDocument(RssDocument(RssEntry("A") + RssEntry("B") + RssEntry("C")), "/a.xml"));
    ASSERT_TRUE(LoadDocument(RssDocument(RssEntry("B")), "/b.xml"));
    showAll();
    // A leaves its only feed; B is still listed by the other.
    ASSERT_TRUE(LoadDocument(RssDocument(RssEntry("C")), "/a.xml"));
    EXPECT_EQ(Keys(), (Strings{"B", "C"}));
    EXPECT_EQ(m_store->Count(), 3);
    // A failed read lists nothing: B stays.
    m_server.Serve("/b.xml", std::string(RssDocument(RssEntry("D"))).substr(0, 60));
    EXPECT_FALSE(m_store->Load(m_server.Url("/b.xml")));
    EXPECT_EQ(Keys(), (Strings{"B", "C"}));
    // An entry not shown yet is kept whole although no feed lists it any more.
    ASSERT_TRUE(LoadDocument(RssDocument(RssEntry("D")), "/b.xml"));
    ASSERT_TRUE(LoadDocument(RssDocument(RssEntry("E")), "/b.xml"));
    EXPECT_EQ(Keys(), (Strings{"C", "D", "E"}));
    EXPECT_EQ(Item("D").NUM, 3);
    showAll();
    // Entries coming back are not stored again; the next new one is numbered after every key.
    ASSERT_TRUE(LoadDocument(RssDocument(RssEntry("A") + RssEntry("B") + RssEntry("D") + RssEntry("F")), "/a.xml"));
    EXPECT_EQ(Keys(), (Strings{"E", "F"}));
    EXPECT_EQ(m_store->Count(), 6);
    EXPECT_EQ(Item("F").NUM, 5);
    EXPECT_FALSE(Item("F").IsShown);
}

// ---- Text in every script, exactly as the feed wrote it. ----

// The entries of a Chinese, a Russian and a Western feed (title, description), UTF-8.
const std::pair<std::string, std::string> kScripts[] = {
    {"\xE5\x8C\x97\xE4\xBA\xAC\xE4\xBB\x8A\xE6\x97\xA5\xE5\xA4\xA9\xE6\xB0\x94\xE6\x99\xB4\xE6\x9C\x97",
     "\xE7\xAC\xAC\xE4\xB8\x80\xE6\x9D\xA1"},
    {"\xE4\xB8\x8A\xE6\xB5\xB7\xE8\x82\xA1\xE5\xB8\x82\xE5\xA4\xA7\xE5\xB9\x85\xE4\xB8\x8A\xE6\xB6\xA8",
     "\xE7\xAC\xAC\xE4\xBA\x8C\xE6\x9D\xA1"},
    {"\xE5\xB9\xBF\xE5\xB7\x9E\xE4\xB8\xBE\xE5\x8A\x9E\xE5\x9B\xBD\xE9\x99\x85\xE5\xB1\x95\xE8\xA7\x88",
     "\xE7\xAC\xAC\xE4\xB8\x89\xE6\x9D\xA1"},
    {"\xD0\x9D\xD0\xBE\xD0\xB2\xD0\xBE\xD1\x81\xD1\x82\xD0\xB8 \xD0\xB4\xD0\xBD\xD1\x8F",
     "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
    {"Caf\xC3\xA9 au lait \xE2\x82\xAC" "5", "na\xC3\xAFve"},
};

std::string ScriptsFeed()
{
    std::string body;
    for (const auto& entry : kScripts)
        body += RssEntry(entry.first, "http://example.test/" + entry.first, entry.second);
    return RssDocument(body);
}

TEST_F(RssStoreTest, TextsOfEveryScriptAreKeptAsWrittenWhateverTheThreadCodePage)
{
    // Keys in the byte order of UTF-8, which is the order of the characters.
    Read scripts{"scripts", ScriptsFeed(), true,
                 {kScripts[4].first, kScripts[3].first, kScripts[1].first, kScripts[0].first, kScripts[2].first}};
    for (const auto& entry : kScripts) {
        scripts.fields.push_back({entry.first, &CRssItem::RssID, entry.first});
        scripts.fields.push_back({entry.first, &CRssItem::Description, entry.second});
        scripts.fields.push_back({entry.first, &CRssItem::Genre, "http://example.test/" + entry.first});
        scripts.byNum.push_back(entry.first);
    }
    for (unsigned codePage : {1252u, 1251u, 932u, 65001u}) {
        SCOPED_TRACE(codePage);
        vexatest::ThreadCodePage page(codePage);
        ExpectRead(scripts);
    }
    // One run, one text: references, wide characters and CDATA inside a field do not
    // split it into lines.
    ASSERT_TRUE(LoadDocument(RssDocument(
        "<item><title>AT&amp;T &#x4E2D;&#233; \xF0\x9F\x98\x80</title>"
        "<description>AT&amp;T <![CDATA[<b>bold</b>]]> &#8364;5 na\xC3\xAFve</description></item>"),
        "/refs.xml"));
    const std::string title = "AT&T \xE4\xB8\xAD\xC3\xA9 \xF0\x9F\x98\x80";
    EXPECT_EQ(Item(title).Description, "AT&T <b>bold</b> \xE2\x82\xAC" "5 na\xC3\xAFve");
}

// A document in a code page, with its declaration; the text is given in UTF-16.
std::string Encoded(const std::wstring& text, UINT codePage)
{
    int bytes = WideCharToMultiByte(codePage, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(bytes, '\0');
    WideCharToMultiByte(codePage, 0, text.data(), int(text.size()), &out[0], bytes, nullptr, nullptr);
    return out;
}
std::wstring EncodedFeed(const std::wstring& encoding, const std::wstring& title)
{
    return L"<?xml version=\"1.0\" encoding=\"" + encoding + L"\"?>\n<rss><channel><item><title>" + title +
           L"</title><description>" + title + L" \x00B7 " + L"</description></item></channel></rss>";
}
std::string Utf16(const std::wstring& text, bool bigEndian)
{
    std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (wchar_t c : text) {
        const char high = char(c >> 8), low = char(c & 0xFF);
        out += bigEndian ? high : low;
        out += bigEndian ? low : high;
    }
    return out;
}

// Entries titled `titles`, each described by `text` in a CDATA section, lines ending in `eol`.
std::string LinedFeed(const Strings& titles, const std::string& text, const std::string& eol,
                      const std::string& encoding = "utf-8")
{
    std::string d = "<?xml version=\"1.0\" encoding=\"" + encoding + "\"?>" + eol + "<rss version=\"2.0\"><channel>" + eol;
    for (const std::string& title : titles)
        d += "<item>" + eol + "<title>" + title + "</title>" + eol + "<description><![CDATA[" + text +
             "]]></description>" + eol + "</item>" + eol;
    return d + "</channel></rss>" + eol;
}

TEST_F(RssStoreTest, FeedsInTheEncodingsAndShapesOfTheWeb)
{
    // An entry titled and described in an encoding people use.
    auto encoded = [](const char* name, std::string document, const std::wstring& title) {
        const std::string text = vexatest::Narrow(title);
        return Read{name, std::move(document), true, {text}, {{text, &CRssItem::Description, text + " \xC2\xB7 "}}};
    };
    const std::wstring western = L"Caf\x00E9 na\x00EFve \x00FF", euro = L"\x20AC" L"5 \x201Cq\x201D \x0160";
    // ~30 KB with CR LF line ends and emoji in CDATA sections: it took the reader down.
    const std::string emoji = "\xF0\x9F\x98\x80";
    std::string lines;
    for (int i = 0; i < 12; ++i) lines += "\r\nline " + emoji + " of a long description\r\n";
    Strings many;
    for (int i = 10; i < 60; ++i) many.push_back("Entry " + std::to_string(i) + " " + emoji);
    const std::wstring chinese = L"\x5317\x4EAC", japanese = L"\x65E5\x672C", russian = L"\x041D\x043E\x0432";
    const std::wstring news = russian + L"\x043E\x0441\x0442\x0438";
    const std::wstring all = news + L" " + chinese + L"\x4ECA\x65E5 " + euro + L" \xD83D\xDE00";
    const std::wstring wide16 = vexatest::Widen(LinedFeed({"Sixteen " + emoji}, "a\r\nb", "\r\n", "utf-16"));
    const std::wstring cyrillic = vexatest::Widen(LinedFeed({vexatest::Narrow(russian)}, "\xC2\xB7", "\r\n", "windows-1251"));
    const std::string broken = "<item><title>Stays &nbsp; broken</titl></item>";
    const Read rows[] = {
        encoded("utf-8", Encoded(EncodedFeed(L"utf-8", all), CP_UTF8), all),
        encoded("utf-8 with BOM", "\xEF\xBB\xBF" + Encoded(EncodedFeed(L"utf-8", all + L"!"), CP_UTF8), all + L"!"),
        encoded("utf-8 undeclared", Encoded(EncodedFeed(L"utf-8", all + L"?").substr(39), CP_UTF8), all + L"?"),
        encoded("utf-16 LE", Utf16(EncodedFeed(L"utf-16", all + L"1"), false), all + L"1"),
        encoded("utf-16 BE", Utf16(EncodedFeed(L"utf-16", all + L"2"), true), all + L"2"),
        encoded("iso-8859-1", Encoded(EncodedFeed(L"iso-8859-1", western), 28591), western),
        encoded("windows-1252", Encoded(EncodedFeed(L"windows-1252", western + euro), 1252), western + euro),
        encoded("windows-1251", Encoded(EncodedFeed(L"windows-1251", news), 1251), news),
        encoded("WINDOWS-1251", Encoded(EncodedFeed(L"WINDOWS-1251", news + L"!"), 1251), news + L"!"),
        encoded("iso-8859-15", Encoded(EncodedFeed(L"iso-8859-15", L"Caf\x00E9 \x20AC" L"5"), 28605), L"Caf\x00E9 \x20AC" L"5"),
        encoded("gbk", Encoded(EncodedFeed(L"gbk", chinese + L"\x4ECA\x65E5"), 936), chinese + L"\x4ECA\x65E5"),
        encoded("gb2312", Encoded(EncodedFeed(L"gb2312", chinese), 936), chinese),
        {"shift_jis", Encoded(EncodedFeed(L"shift_jis", japanese), 932), true, {vexatest::Narrow(japanese)}},
        encoded("koi8-r", Encoded(EncodedFeed(L"koi8-r", russian), 20866), russian),
        {"CR LF and emoji", LinedFeed(many, lines, "\r\n"), true, many},
        {"lone CR", LinedFeed({"One", "Two"}, "a\rb", "\r"), true, {"One", "Two"}},
        {"UTF-16 LE, CR LF", Utf16(wide16, false), true, {"Sixteen " + emoji}},
        {"UTF-16 BE, CR LF", Utf16(wide16, true), true, {"Sixteen " + emoji}},
        {"windows-1251, CR LF", Encoded(cyrillic, 1251), true, {vexatest::Narrow(russian)}},
        {"unknown encoding", Encoded(EncodedFeed(L"x-no-such-encoding", L"Plain"), CP_UTF8), false, {}},
        {"bare &", RssDocument("<item><title>Fish & chips &amp; &#233;</title></item>"), true, {"Fish & chips & \xC3\xA9"}},
        {"HTML entities", RssDocument("<item><title>Caf&eacute;&nbsp;&hellip;</title></item>"), true,
         {"Caf\xC3\xA9\xC2\xA0\xE2\x80\xA6"}},
        {"space before the declaration", "\n  \n" + RssDocument(RssEntry("Spaced")), true, {"Spaced"}},
        {"control characters", RssDocument("<item><title>Bell\x07 &#31;rings&#x1;</title></item>"), true, {"Bell rings"}},
        {"undeclared prefixes", RssDocument("<item><snf:title>Foreign</snf:title><description>Own</description><link "
         "thr:count=\"2\">http://l/</link><snf:logo/></item>"), true, {"http://l/"}, {{"http://l/", &CRssItem::Title, "Own"}}},
        {"a prefix used out of its declaration's scope", RssDocument("<item><x:a xmlns:x=\"urn:a\">in</x:a>"
         "<title>Scoped</title><x:b>out</x:b></item>"), true, {"Scoped"}},
        {"bytes not UTF-8", RssDocument("<item><title>caf\xE9 \x93q\x94</title></item>"), true,
         {"caf\xC3\xA9 \xE2\x80\x9Cq\xE2\x80\x9D"}},
        {"iso-8859-1 that is UTF-8", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><rss><channel>" +
         RssEntry("tr\xC3\xA6nere") + "</channel></rss>", true, {"tr\xC3\xA6nere"}},
        {"broken after repair", RssDocument(RssEntry("Before") + broken + RssEntry("After")), true, {"After", "Before"}},
    };
    for (const Read& row : rows) ExpectRead(row);
    m_store = std::make_unique<vexatest::LoadedStore>();
    ASSERT_TRUE(LoadDocument(LinedFeed({"Lines"}, lines, "\r\n")));
    EXPECT_EQ(Item("Lines").Description.find('\r'), std::string::npos);
    // Declared only in the HTTP header, the document's own (missing) declaration wins: the
    // reader takes the bytes as UTF-8, its bad bytes as windows-1252.
    m_server.Serve("/header.xml", Encoded(EncodedFeed(L"utf-8", news).substr(39), 1251),
                   "text/xml; charset=windows-1251");
    EXPECT_TRUE(m_store->Load(m_server.Url("/header.xml")));
    EXPECT_EQ(m_store->Find(vexatest::Narrow(news)), nullptr);
}

TEST_F(RssStoreTest, BadTextKeepsEveryOtherEntry)
{
    // A reference to half a surrogate pair: the reader stops there; that entry is left out.
    EXPECT_TRUE(LoadDocument(RssDocument(RssEntry("Before") +
                                         "<item><title>x&#xD800;y</title></item>" + RssEntry("After"))));
    EXPECT_EQ(Keys(), (Strings{"After", "Before"}));
    // Bytes that are not UTF-8 in a document declared UTF-8, and Windows-1251 text declared
    // UTF-8: read as windows-1252, as browsers read them.
    EXPECT_TRUE(LoadDocument(RssDocument(RssEntry("Good") + "<item><title>bad \xFF\xFE</title></item>"), "/invalid.xml"));
    EXPECT_TRUE(LoadDocument(RssDocument(RssEntry("Fine") + "<item><title>\xCD\xEE\xE2</title></item>"), "/wrong.xml"));
    EXPECT_EQ(Keys(), (Strings{"After", "Before", "Fine", "Good", "bad \xC3\xBF\xC3\xBE", "\xC3\x8D\xC3\xAE\xC3\xA2"}));
    // Right-to-left, zero-width and joiner marks and a byte order mark inside text are kept.
    const std::string marks = "\xE2\x80\x8F\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D\xE2\x80\x8B\xE2\x80\x8D\xEF\xBB\xBFx";
    ASSERT_TRUE(LoadDocument(RssDocument(RssEntry(marks, "http://l/", marks)), "/marks.xml"));
    EXPECT_EQ(Item(marks).Description, marks);
}

TEST_F(RssStoreTest, EmojiAtTheLimitOfARun)
{
    const std::string emoji = "\xF0\x9F\x98\x80";
    // Runs of 797 to 801 UTF-16 units whose last character is an emoji, written as raw
    // UTF-8 and as a reference: a pair that does not fit whole is left out.
    std::string body;
    for (int units = 797; units <= 801; ++units) {
        const std::string prefix(units - 2, 'a');
        body += "<item><title>" + std::to_string(units) + "</title><description>" + prefix + emoji +
                "</description><link>x:" + prefix.substr(2) + "&#x1F600;</link></item>";
    }
    ASSERT_TRUE(LoadDocument(RssDocument(body)));
    for (int units = 797; units <= 801; ++units) {
        const CRssItem& item = Item(std::to_string(units));
        std::string expected(units - 2, 'a');
        if (units <= 799)
            expected += emoji;
        EXPECT_EQ(item.Description, expected) << units;
        EXPECT_EQ(item.Genre, "x:" + expected.substr(2)) << units;
    }
}

// ---- Atom feeds: the same records, from Atom's elements. ----

// A code hosting site's release feed: relative links, HTML content, no summary.
const char kReleaseFeed[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<feed xmlns="http://www.w3.org/2005/Atom" xmlns:media="http://search.yahoo.com/mrss/" xml:lang="en-US">
  <id>tag:code.example,2008:https://code.example/owner/tool/releases</id>
  <link type="text/html" rel="alternate" href="https://code.example/owner/tool/releases"/>
  <link type="application/atom+xml" rel="self" href="https://code.example/owner/tool/releases.atom"/>
  <title>Release notes from tool</title>
  <updated>2024-05-02T10:00:00Z</updated>
  <entry>
    <id>tag:code.example,2008:Repository/1/v1.2.0</id>
    <updated>2024-05-02T10:00:00Z</updated>
    <link rel="alternate" type="text/html" href="/owner/tool/releases/tag/v1.2.0"/>
    <title>v1.2.0</title>
    <content type="html">&lt;p&gt;Faster builds &amp;amp; fixes&lt;/p&gt;</content>
    <author><name>octo</name><uri>https://code.example/octo</uri></author>
    <media:thumbnail height="30" width="30" url="https://avatars.example/u/1"/>
  </entry>
  <entry>
    <id>tag:code.example,2008:Repository/1/v1.1.0</id>
    <updated>2024-04-01T09:00:00Z</updated>
    <link rel="alternate" type="text/html" href="tag/v1.1.0"/>
    <title>v1.1.0</title>
    <content type="html">&lt;p&gt;First&lt;/p&gt;</content>
    <author><name>hubot</name></author>
  </entry>
</feed>
)";

// A video channel's feed: namespaced extras whose local names are those of Atom's fields.
const char kVideoFeed[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<feed xmlns:yt="http://www.youtube.com/xml/schemas/2015" xmlns:media="http://search.yahoo.com/mrss/" xmlns="http://www.w3.org/2005/Atom">
 <link rel="self" href="http://video.example/feeds/videos.xml?channel_id=UC1"/>
 <id>yt:channel:UC1</id>
 <yt:channelId>UC1</yt:channelId>
 <title>Channel</title>
 <link rel="alternate" href="https://video.example/channel/UC1"/>
 <author><name>Channel</name><uri>https://video.example/channel/UC1</uri></author>
 <published>2015-01-01T00:00:00+00:00</published>
 <entry>
  <id>yt:video:abc</id>
  <yt:videoId>abc</yt:videoId>
  <title>Episode 12 &#x2014; caf&#xE9; &#x1F600;</title>
  <link rel="alternate" href="https://video.example/watch?v=abc"/>
  <author><name>Channel</name><uri>https://video.example/channel/UC1</uri></author>
  <published>2024-03-01T12:00:00+00:00</published>
  <updated>2024-03-02T08:30:00+00:00</updated>
  <media:group>
   <media:title>Episode 12 (media title)</media:title>
   <media:content url="https://video.example/v/abc" type="application/x-shockwave-flash"/>
   <media:description>What happens in episode 12.</media:description>
   <media:community><media:starRating count="5" average="5.00"/></media:community>
  </media:group>
 </entry>
 <entry>
  <id>yt:video:def</id>
  <title>Episode 11</title>
  <link rel="alternate" href="https://video.example/watch?v=def"/>
  <published>2024-02-01T12:00:00+00:00</published>
 </entry>
</feed>
)";

// A blog: xml:base, XHTML content, summaries, several kinds of links.
const char kBlogFeed[] = R"(<?xml version="1.0" encoding="utf-8"?>
<feed xmlns="http://www.w3.org/2005/Atom" xml:base="http://blog.example/archive/">
  <title type="text">A blog</title>
  <subtitle>Notes</subtitle>
  <link href="/"/>
  <author><name>Feed Author</name></author>
  <entry xml:base="2024/">
    <title type="html">Post &lt;em&gt;one&lt;/em&gt;</title>
    <link rel="enclosure" href="one.mp3"/>
    <link href="one.html"/>
    <link rel="alternate" href="other.html"/>
    <summary>Short <b xmlns="http://www.w3.org/1999/xhtml">bold</b> rest</summary>
    <content type="xhtml"><div xmlns="http://www.w3.org/1999/xhtml"><p>Long text</p></div></content>
    <published>2024-01-02T00:00:00Z</published>
  </entry>
  <entry>
    <title>Post two</title>
    <link rel="self" href="two.atom"/>
    <content type="xhtml">Intro <div xmlns="http://www.w3.org/1999/xhtml"><p>Body</p></div> after</content>
    <author><name>Ann</name><email>ann@example</email></author>
  </entry>
  <entry>
    <title>Post three</title>
    <link rel="alternate" xml:base="http://other.example/x/" href="../three.html"/>
    <content type="text">Plain &amp; simple</content>
    <contributor><name>Not the author</name></contributor>
    <source><title>Elsewhere</title><updated>1999-01-01T00:00:00Z</updated></source>
  </entry>
</feed>
)";

TEST_F(RssStoreTest, DocumentsReadIntoANewStore)
{
    auto entries = [](const Strings& titles) {
        std::string body;
        for (const std::string& title : titles) body += RssEntry(title);
        return RssDocument(body);
    };
    using I = CRssItem;
    const std::string video = "Episode 12 \xE2\x80\x94 caf\xC3\xA9 \xF0\x9F\x98\x80", one = "Post <em>one</em>";
    const Read reads[] = {
        // Keys in byte order (upper case first), numbered in feed order.
        {"title order", entries({"B", "A", "C", "a", "Z"}), true, {"A", "B", "C", "Z", "a"}, {}, {"B", "A", "C", "a", "Z"}},
        // The reader's pieces around the comment make one text; the first description wins.
        {"every field from its element", RssDocument(
             "<item><author>Ann</author><title>A</title><link>x:L</link><price>9.50</price>"
             "<publish_date>2020-01-02</publish_date><description>x<!-- split -->y</description>"
             "<pubDate>ignored</pubDate><category>ignored</category><guid>ignored</guid>"
             "<description>z</description></item>"), true, {"A"},
         {{"A", &I::RssID, "A"}, {"A", &I::Author, "Ann"}, {"A", &I::Genre, "x:L"}, {"A", &I::Price, "9.50"},
          {"A", &I::Published, "2020-01-02"}, {"A", &I::Description, "xy"}}, {"A"}},
        // Entries before the channel are ignored, entries after its end tag are still read;
        // the channel's own texts are no entry's.
        {"only entries inside the channel", "<?xml version=\"1.0\"?><rss>" + RssEntry("Early") + "<channel><title>Channel title"
         "</title><link>http://channel/</link><description>Channel text</description>" + RssEntry("Inside", "http://inside/") +
         "<title>Late channel title</title><image><title>Logo</title></image></channel>" + RssEntry("Sibling") + "</rss>",
         true, {"Inside", "Sibling"},
         {{"Inside", &I::Title, "Inside"}, {"Inside", &I::Genre, "http://inside/"}, {"Inside", &I::Description, ""},
          {"Sibling", &I::Title, "Sibling"}, {"Sibling", &I::Genre, ""}, {"Sibling", &I::Description, ""}}},
        // No channel at all: a well-formed document that yields nothing.
        {"no channel", "<rss>" + RssEntry("X") + "</rss>", true, {}},
        // Only dc's title, date and creator count.
        {"local names exactly", RssDocument(
             "<item><Title>Capital</Title><title>lower</title></item>"
             "<item xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:title>Prefixed</dc:title><dc:link>P</dc:link>"
             "<x:title xmlns:x=\"urn:x\">Foreign</x:title></item>"
             "<item><title>A</title><link>x:L</link><title>B</title></item>"), true, {"A", "Prefixed", "lower"},
         {{"Prefixed", &I::Genre, ""}, {"A", &I::Genre, "x:L"}}},
        // The nested item's end tag stores the open record; what follows is dropped.
        {"nested elements cut a field short", RssDocument(
             "<item><title>T</title><description>first <b>second</b> third</description></item>"
             "<item><title>Outer</title><item><title>Inner</title></item><link>late</link></item>"
             "<item><title>  padded  </title></item>"), true, {"Outer", "T", "padded"},
         {{"T", &I::Description, "first "}, {"Outer", &I::Genre, ""}}},
        // The channel opens inside an entry, so that entry's end tag arrives with no record
        // open (as does the outer end tag of a nested entry): nothing is stored, nothing breaks.
        {"an entry end tag without an open record", "<rss><item><title>Before</title><channel><title>C</title>"
         "</channel></item>" + RssEntry("After") + "</rss>", true, {"After"}},
        // What a single-byte narrowing ordered by byte, UTF-8 orders the same way.
        {"Latin-1 titles", entries({"\xC3\xBF" "end", "Zebra", "\xC3\x89" "clair", "apple", "\xC3\xA1" "baco", "zoo",
                                    "\xC3\x80" " la carte", "Apple"}), true,
         {"Apple", "Zebra", "apple", "zoo", "\xC3\x80" " la carte", "\xC3\x89" "clair", "\xC3\xA1" "baco", "\xC3\xBF" "end"}},
        // Relative links are read against the feed's own address; HTML as given; the feed's
        // own title, link and dates leave no trace.
        {"Atom release feed", kReleaseFeed, true, {"v1.1.0", "v1.2.0"},
         {{"v1.2.0", &I::RssID, "v1.2.0"}, {"v1.2.0", &I::Title, "v1.2.0"}, {"v1.1.0", &I::Title, "v1.1.0"},
          {"v1.2.0", &I::Genre, m_server.Url("/owner/tool/releases/tag/v1.2.0")},
          {"v1.2.0", &I::Description, "<p>Faster builds &amp; fixes</p>"}, {"v1.2.0", &I::Published, "2024-05-02T10:00:00Z"},
          {"v1.2.0", &I::Author, "octo"}, {"v1.1.0", &I::Genre, m_server.Url("/owner/tool/tag/v1.1.0")},
          {"v1.1.0", &I::Author, "hubot"}}, {"v1.2.0", "v1.1.0"}, "/owner/tool/releases.atom"},
        // media:title and media:description are not the entry's own title and summary;
        // updated before published.
        {"Atom video channel feed", kVideoFeed, true, {"Episode 11", video},
         {{video, &I::Genre, "https://video.example/watch?v=abc"}, {video, &I::Description, ""},
          {video, &I::Published, "2024-03-02T08:30:00+00:00"}, {video, &I::Author, "Channel"},
          {"Episode 11", &I::Published, "2024-02-01T12:00:00+00:00"}, {"Episode 11", &I::Author, ""}}, {}, "/feeds/videos.xml"},
        // The first link without rel wins over the enclosure before it and the alternate after
        // it, read against the entry's and the feed's xml:base; summary before content, only
        // text directly in the element; a contributor is not the author, the source's dates
        // are not the entry's.
        {"Atom blog with XHTML content", kBlogFeed, true, {one, "Post three", "Post two"},
         {{one, &I::Genre, "http://blog.example/archive/2024/one.html"}, {one, &I::Description, "Short "},
          {one, &I::Published, "2024-01-02T00:00:00Z"}, {one, &I::Author, ""}, {"Post two", &I::Genre, ""},
          {"Post two", &I::Description, "Intro "}, {"Post two", &I::Author, "Ann"},
          {"Post three", &I::Genre, "http://other.example/three.html"}, {"Post three", &I::Description, "Plain & simple"},
          {"Post three", &I::Author, ""}, {"Post three", &I::Published, ""}}, {}, "/blog.atom"},
    };
    for (const Read& read : reads) ExpectRead(read);
}

TEST_F(RssStoreTest, AtomBadInput)
{
    const std::string head = "<feed xmlns=\"http://www.w3.org/2005/Atom\">";
    // Cut off inside the third entry: the first two stand.
    const std::string full = head + "<entry><title>A1</title></entry><entry><title>A2</title></entry>"
                                    "<entry><title>A3</title><link href=\"http://a3/\"/></entry></feed>";
    m_server.SetMode(HttpServer::Mode::CutOff, {full.find("<link href"), 64, 5});
    EXPECT_FALSE(LoadDocument(full, "/cut.atom"));
    m_server.SetMode(HttpServer::Mode::Normal);
    EXPECT_EQ(Keys(), (Strings{"A1", "A2"}));
    // Entries without a title are keyed by their links. Several alternate links: the
    // first. No namespace at all: still Atom.
    ASSERT_TRUE(LoadDocument("<feed><entry><link href=\"http://first/\"/></entry>"
                             "<entry><link href=\"http://second/\"/></entry>"
                             "<entry><title>Links</title><link rel=\"alternate\" href=\"http://l1/\"/>"
                             "<link rel=\"alternate\" href=\"http://l2/\"/></entry></feed>", "/plain.atom"));
    EXPECT_EQ(Item("http://second/").Genre, "http://second/");
    EXPECT_EQ(Item("Links").Genre, "http://l1/");
    // Read as RSS, so nothing: an entry outside any feed. A feed in a namespace of its own
    // (a misspelt Atom one too) is Atom, its fields in that namespace.
    int count = m_store->Count();
    EXPECT_TRUE(LoadDocument("<entry xmlns=\"http://www.w3.org/2005/Atom\"><title>Lone</title></entry>", "/e.atom"));
    EXPECT_EQ(m_store->Count(), count);
    EXPECT_TRUE(LoadDocument("<feed xmlns=\"urn:other\"><entry><title>Foreign</title></entry></feed>", "/f.atom"));
    EXPECT_TRUE(LoadDocument("<x:feed xmlns:x=\"http://www.w3.org/2005/Atom/\"><x:entry><x:title>Almost</x:title>"
                             "</x:entry></x:feed>", "/g.atom"));
    EXPECT_TRUE(m_store->Find("Foreign") && m_store->Find("Almost"));
    count = m_store->Count();
    // A feed element inside an RSS channel is read as RSS: its entries are not items.
    ASSERT_TRUE(LoadDocument(RssDocument(RssEntry("Rss item") + head + "<entry><title>In channel</title></entry></feed>"),
                             "/mixed.xml"));
    EXPECT_EQ(m_store->Count(), count + 1);
    EXPECT_TRUE(m_store->Find("Rss item"));
    // A prefixed Atom document is Atom all the same.
    ASSERT_TRUE(LoadDocument("<a:feed xmlns:a=\"http://www.w3.org/2005/Atom\"><a:entry><a:title>Prefixed</a:title>"
                             "<a:link href=\"p.html\"/></a:entry></a:feed>", "/dir/prefixed.atom"));
    EXPECT_EQ(Item("Prefixed").Genre, m_server.Url("/dir/p.html"));
}

TEST_F(RssStoreTest, RssAndAtomFeedsShareOneStore)
{
    ASSERT_TRUE(LoadDocument(RssDocument(RssEntry("Shared", "http://from-rss/") + RssEntry("Only RSS")), "/a.xml"));
    ASSERT_TRUE(LoadDocument("<feed xmlns=\"http://www.w3.org/2005/Atom\"><entry><title>Shared</title>"
                             "<link href=\"http://from-atom/\"/></entry><entry><title>Only Atom</title></entry></feed>",
                             "/b.atom"));
    EXPECT_EQ(Keys(), (Strings{"Only Atom", "Only RSS", "Shared"}));
    EXPECT_EQ(Item("Shared").Genre, "http://from-rss/");
    EXPECT_EQ(Item("Only Atom").NUM, 2);
    // And the RSS document after the Atom one is read as RSS again.
    ASSERT_TRUE(LoadDocument(RssDocument(RssEntry("Later")), "/c.xml"));
    EXPECT_EQ(Item("Later").NUM, 3);
}

// ---- Entries as the web writes them: what a person should see of each (title, link), in order. ----

struct WebShape { const char* what; std::string document; std::vector<std::pair<std::string, std::string>> seen; };

const std::string kRdf = "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" "
                         "xmlns=\"http://purl.org/rss/1.0/\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\">"
                         "<channel><title>C</title></channel>";

const WebShape kWebShapes[] = {
    {"image and author with titles of their own",
     RssDocument("<item><title>Analytici USA</title><image><title>Analytici USA</title><url>http://i/</url></image>"
                 "<link>http://a/1</link></item><item><author><name>N</name><title>Editor</title></author>"
                 "<title>247: A Place</title><link>http://a/2</link></item>"),
     {{"Analytici USA", "http://a/1"}, {"247: A Place", "http://a/2"}}},
    {"dc:title beside title, dc:title alone",
     kRdf + "<item><title>One</title><dc:title>One</dc:title><link>http://r/1</link></item>"
            "<item><dc:title>Two</dc:title><link>http://r/2</link></item></rdf:RDF>",
     {{"One", "http://r/1"}, {"Two", "http://r/2"}}},
    {"podcast and video titles",
     RssDocument("<item xmlns:itunes=\"http://www.itunes.com/dtds/podcast-1.0.dtd\" xmlns:media=\"http://search.yahoo.com/mrss/\">"
                 "<itunes:title>Ep</itunes:title><title>Episode 5</title><media:title>M</media:title>"
                 "<media:group><media:title>G</media:title></media:group><link>http://p/5</link></item>"),
     {{"Episode 5", "http://p/5"}}},
    {"a title over lines",
     RssDocument("<item><title>\n   Line one\n\t and    two  \r\n</title><link>http://t/</link></item>"),
     {{"Line one and two", "http://t/"}}},
    {"untitled microblog entries, and one without a link",
     RssDocument(RssEntry("", "http://m/1", "Just <b>shipped</b> it &amp; more<br>soon") +
                 RssEntry("", "http://m/2", "Just <b>shipped</b> it &amp; more<br>soon") +
                 RssEntry("", "http://m/3", "<p>" + std::string(90, 'w') + "</p>") + RssEntry("", "", "No &#x201C;link&#x201D;")),
     {{"Just shipped it & more soon", "http://m/1"}, {"Just shipped it & more soon", "http://m/2"},
      {std::string(79, 'w') + "\xE2\x80\xA6", "http://m/3"}, {"No \xE2\x80\x9Clink\xE2\x80\x9D", ""}}},
    {"Atom 0.3",
     "<feed version=\"0.3\" xmlns=\"http://purl.org/atom/ns#\"><entry><title>Old</title>"
     "<link rel=\"alternate\" type=\"text/html\" href=\"/old.html\"/><issued>2004-01-01</issued>"
     "<content type=\"text/html\" mode=\"escaped\">&lt;p&gt;Hi&lt;/p&gt;</content></entry></feed>",
     {{"Old", "/old.html"}}},
    {"an empty alternate link and an HTML summary",
     "<feed xmlns=\"http://www.w3.org/2005/Atom\" xml:base=\"http://b/dir/\"><entry><title>Waiting</title>"
     "<link rel=\"alternate\" href=\"\"/><summary type=\"html\">Read &lt;a href=\"http://s/x\"&gt;a pretty good "
     "story&lt;/a&gt;. As she waited</summary></entry></feed>",
     {{"Waiting", "http://b/dir/"}}},
    {"relative item links, against the feed's address or xml:base, titled or not",
     RssDocument("<item><title>Intro</title><link>/blog/intro-graphml</link></item>"
                 "<item xml:base=\"http://b/x/\"><title>Based</title><link> y?q=1 </link></item>"
                 "<item><link>../up.html</link><description>Untitled</description></item>"
                 "<item><title>Absolute</title><link> http://a/b </link></item>"),
     {{"Intro", "/blog/intro-graphml"}, {"Based", "http://b/x/y?q=1"}, {"Untitled", "/up.html"}, {"Absolute", " http://a/b "}}},
    {"RSS 2.0 in a namespace of its own", "<rss xmlns=\"https://cyber.harvard.edu/rss/rss.html\"><channel><item>"
     "<title>Own</title><link>http://o/1</link></item></channel></rss>", {{"Own", "http://o/1"}}},
    {"RSS 1.0 without its final slash", "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" "
     "xmlns=\"http://purl.org/rss/1.0\"><channel/><item><title>Slash</title><link>http://s/1</link></item></rdf:RDF>",
     {{"Slash", "http://s/1"}}},
    {"Atom in a namespace of its own", "<feed xmlns=\"http://example.org/own\"><entry><title>Mine</title>"
     "<link href=\"http://m/1\"/></entry></feed>", {{"Mine", "http://m/1"}}},
    {"media and podcast titles where title and dc:title leave it empty",
     RssDocument("<item xmlns:itunes=\"http://www.itunes.com/dtds/podcast-1.0.dtd\" xmlns:media=\"http://search.yahoo.com/mrss/\""
                 " xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><media:title>M</media:title><link>http://p/1</link></item>"
                 "<item xmlns:itunes=\"http://www.itunes.com/dtds/podcast-1.0.dtd\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\">"
                 "<itunes:title>I</itunes:title><dc:title>D</dc:title><link>http://p/2</link></item>"),
     {{"M", "http://p/1"}, {"D", "http://p/2"}}},
};

TEST_F(RssStoreTest, EntriesAsTheWebWritesThem)
{
    for (const WebShape& shape : kWebShapes) {
        vexatest::LoadedStore store;
        m_server.Serve("/dir/shape.xml", shape.document);
        ASSERT_TRUE(store.Load(m_server.Url("/dir/shape.xml"))) << shape.what;
        std::vector<std::pair<std::string, std::string>> seen(store.Count());
        for (const CRssItem& item : store.Items()) {
            ASSERT_LT(static_cast<std::size_t>(item.NUM), seen.size()) << shape.what;
            seen[item.NUM] = {item.Title, item.Genre};
        }
        const std::string origin = m_server.Url("");
        for (auto& entry : seen)
            if (entry.second.compare(0, origin.size(), origin) == 0) entry.second.erase(0, origin.size());
        EXPECT_EQ(seen, shape.seen) << shape.what;
        // Read again, nothing is new.
        ASSERT_TRUE(store.Load(m_server.Url("/dir/shape.xml")));
        EXPECT_EQ(store.Count(), static_cast<int>(shape.seen.size())) << shape.what;
    }
}

TEST(ResolveUrl, ReferenceExamples)
{
    // The normal and abnormal examples of RFC 3986, 5.4.
    const std::string base = "http://a/b/c/d;p?q";
    const std::pair<const char*, const char*> cases[] = {
        {"g:h", "g:h"}, {"g", "http://a/b/c/g"}, {"./g", "http://a/b/c/g"}, {"g/", "http://a/b/c/g/"},
        {"/g", "http://a/g"}, {"//g", "http://g"}, {"?y", "http://a/b/c/d;p?y"}, {"g?y", "http://a/b/c/g?y"},
        {"#s", "http://a/b/c/d;p?q#s"}, {"g#s", "http://a/b/c/g#s"}, {";x", "http://a/b/c/;x"},
        {"", "http://a/b/c/d;p?q"}, {".", "http://a/b/c/"}, {"./", "http://a/b/c/"}, {"..", "http://a/b/"},
        {"../", "http://a/b/"}, {"../g", "http://a/b/g"}, {"../..", "http://a/"}, {"../../g", "http://a/g"},
        {"../../../g", "http://a/g"}, {"/./g", "http://a/g"}, {"/../g", "http://a/g"}, {"g.", "http://a/b/c/g."},
        {"..g", "http://a/b/c/..g"}, {"./../g", "http://a/b/g"}, {"g/./h", "http://a/b/c/g/h"},
        {"g/../h", "http://a/b/c/h"}, {"g;x=1/../y", "http://a/b/c/y"}, {"g?y/./x", "http://a/b/c/g?y/./x"},
        {"g#s/../x", "http://a/b/c/g#s/../x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(vexa::ResolveUrl(base, c.first), c.second) << c.first;
    EXPECT_EQ(vexa::ResolveUrl("http://h", "p"), "http://h/p");
    // As a browser reads an href: the white space around it is no part of it.
    EXPECT_EQ(vexa::ResolveUrl("http://h/a/b#f", " \n "), "http://h/a/b");
    EXPECT_EQ(vexa::ResolveUrl("http://h/a/b", "\t c d \r\n"), "http://h/a/c d");
    EXPECT_EQ(vexa::ResolveUrl("not an address", "p.html"), "p.html");
    EXPECT_EQ(vexa::ResolveUrl("http://h/\xD0\xBB/", "\xC3\xA9"), "http://h/\xD0\xBB/\xC3\xA9");
}

// Creation seam that makes every reader unavailable.
HRESULT WINAPI NoReader(REFCLSID, IUnknown*, DWORD, REFIID, void** ppv)
{
    *ppv = nullptr;
    return REGDB_E_CLASSNOTREG;
}

TEST_F(RssStoreTest, WithoutAReaderLoadFailsAndChangesNothing)
{
    vexa::XmlCreateInstance old = vexa::SetXmlCreateInstance(NoReader);
    vexatest::LoadedStore store;
    vexa::SetXmlCreateInstance(old);
    m_server.Serve("/feed.xml", RssDocument(RssEntry("A")));
    EXPECT_FALSE(store.Load(m_server.Url("/feed.xml")));
    EXPECT_EQ(store.LastLoad().way, vexa::LoadOutcome::Way::NoReader);
    EXPECT_EQ(store.Count(), 0);
    EXPECT_TRUE(m_server.Requests().empty());
}

// ---- Bad input: failures keep what was completed, and nothing crashes or hangs. ----

TEST_F(RssStoreTest, FailedFetchesLoadNothing)
{
    EXPECT_FALSE(m_store->Load(m_server.Url("/missing.xml")));
    m_server.Serve("/feed.xml", RssDocument(RssEntry("A")));
    m_server.SetMode(HttpServer::Mode::ServerError);
    EXPECT_FALSE(m_store->Load(m_server.Url("/feed.xml")));
    m_server.SetMode(HttpServer::Mode::CloseEarly);
    EXPECT_FALSE(m_store->Load(m_server.Url("/feed.xml")));
    // Nothing listens on the port any more.
    const std::string gone = m_server.Url("/feed.xml");
    m_server.Stop();
    EXPECT_FALSE(m_store->Load(gone));
    EXPECT_EQ(m_store->Count(), 0);
}

TEST_F(RssStoreTest, BrokenDocumentsAreReadInPart)
{
    const std::string two = RssEntry("One") + RssEntry("Two");
    // A transfer cut short inside the third entry: the first two stay, the third stays open
    // until the next load; a body cut short is never a good load.
    const std::string full = RssDocument(two + RssEntry("Three", "http://three/") + RssEntry("Four"));
    m_server.SetMode(HttpServer::Mode::CutOff, {full.find("http://three/"), 64, 5});
    EXPECT_FALSE(LoadDocument(full));
    EXPECT_EQ(Keys(), (Strings{"One", "Two"}));
    ASSERT_NE(m_store->Current(), nullptr);
    EXPECT_EQ(m_store->Current()->Title, "Three");
    m_server.SetMode(HttpServer::Mode::Normal);

    // Whole documents still broken after their repairs: every entry read whole before the
    // fault, and past an entry that holds it, the entries after.
    struct Case { const char* what; std::string document; Strings keys; bool open; int leftOut; };
    const Case cases[] = {
        {"ends inside an entry", full.substr(0, full.find("http://three/")), {"One", "Two"}, true, 0},
        {"a tag closed in the wrong order", RssDocument(two + "<item><title>3 <b>x</title></b></item>" + RssEntry("Four")),
         {"Four", "One", "Two"}, false, 1},
        {"an element named as the other format's entries before the fault",
         RssDocument(RssEntry("One", "", "", "<entry/>") + RssEntry("Two") + "<item><title>3 <b>x</title></b></item>" +
                     RssEntry("Four")),
         {"Four", "One", "Two"}, false, 1},
        {"a byte not UTF-8 in an attribute's name, the repairs breaking the document element",
         RssDocument(two + "<item><title x:a=\"\"\xA4" "dc:b='1'>3</title></item>" + RssEntry("Four")),
         {"Four", "One", "Two"}, false, 1},
        {"the next entry inside another element",
         RssDocument(two + "<item><title>3 <b>x</title></b></item><x>" + RssEntry("Four") + "</x>" + RssEntry("Five")),
         {"Five", "Four", "One", "Two"}, false, 1},
        {"an undefined entity", RssDocument(two + "<item><title>&undefined;</title></item>" + RssEntry("Four")),
         {"Four", "One", "Two"}, false, 1},
        {"an unclosed CDATA section", RssDocument(two + "<item><title><![CDATA[3</title></item>" + RssEntry("Four")),
         {"One", "Two"}, true, 0},
        {"markup after the document", RssDocument(two) + "<trailing>", {"One", "Two"}, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_store = std::make_unique<vexatest::LoadedStore>();
        EXPECT_TRUE(LoadDocument(c.document));
        EXPECT_EQ(Keys(), c.keys);
        EXPECT_EQ(m_store->Current() != nullptr, c.open);
        EXPECT_TRUE(m_store->LastLoad().parse.ReadInPart());
        EXPECT_EQ(m_store->LastLoad().parse.leftOut, c.leftOut);
        EXPECT_TRUE(m_store->Store().Listed(m_server.Url("/feed.xml")).empty()); // only a whole read lists
    }
    EXPECT_FALSE(LoadDocument("This is not XML at all.\n<html><body>"));
    EXPECT_FALSE(LoadDocument(""));
    EXPECT_EQ(m_store->Current(), nullptr);
    EXPECT_EQ(Keys(), (Strings{"One", "Two"}));
}

TEST_F(RssStoreTest, UnusualTransfersReadTheWholeDocument)
{
    const std::string doc = RssDocument(RssEntry("A", "http://a/", std::string(3000, 'd')) +
                                        RssEntry("B"));
    m_server.SetMode(HttpServer::Mode::Chunked, {0, 100, 0});
    EXPECT_TRUE(LoadDocument(doc, "/chunked.xml"));
    m_server.SetMode(HttpServer::Mode::SlowDrip, {0, 32, 10});
    EXPECT_TRUE(LoadDocument(RssDocument(RssEntry("C")), "/drip.xml"));
    m_server.SetMode(HttpServer::Mode::WrongType);
    EXPECT_TRUE(LoadDocument(RssDocument(RssEntry("D")), "/type.xml"));
    EXPECT_EQ(Keys(), (Strings{"A", "B", "C", "D"}));
    // However the reader split the run, each piece arrives cut to at most 799 characters.
    const std::string& description = Item("A").Description;
    std::size_t start = 0;
    for (std::size_t end; (end = description.find('\n', start)) != std::string::npos; start = end + 1)
        EXPECT_LE(end - start, 799u);
    EXPECT_LE(description.size() - start, 799u);
    EXPECT_EQ(description.find_first_not_of("d\n"), std::string::npos);
}

TEST_F(RssStoreTest, LargeAndDeepDocuments)
{
    ASSERT_TRUE(LoadDocument(vexatest::LargeFeed(10000, 40), "/large.xml"));
    EXPECT_EQ(m_store->Count(), 10000);
    EXPECT_EQ(Item("Entry 09999").NUM, 9999);

    // A 1 MB text run: the reader hands it over in pieces of at most 799 characters each.
    const std::string big(1024 * 1024, 'b');
    ASSERT_TRUE(LoadDocument(RssDocument("<item><title>Big</title><link>b:" + big + "</link></item>"),
                             "/big.xml"));
    EXPECT_LE(Item("Big").Genre.size(), big.size());
    EXPECT_EQ(Item("Big").Genre.find_first_not_of('b', 2), std::string::npos);

    std::string deep;
    for (int i = 0; i < 200; ++i)
        deep += "<d" + std::to_string(i) + ">";
    deep += "<title>deep</title>";
    for (int i = 199; i >= 0; --i)
        deep += "</d" + std::to_string(i) + ">";
    ASSERT_TRUE(LoadDocument(RssDocument("<item><title>Deep</title>" + deep + "</item>"), "/deep.xml"));
    EXPECT_TRUE(m_store->Find("Deep")); // a title nested deep inside is not the entry's
    // A name of thousands of characters is refused unread (the platform's reader could not
    // report an error about it without overwriting its stack).
    const std::string longName(5000, 'n');
    EXPECT_FALSE(LoadDocument(RssDocument("<item><" + longName + ">x</" + longName +
                                          "><title>Long</title></item>"),
                              "/long.xml"));
    EXPECT_FALSE(m_store->Find("Long"));
}

TEST_F(RssStoreTest, LongUrlIsFetchedByItsFirst999Characters)
{
    std::string url = m_server.Url("/");
    const std::size_t prefix = url.size();
    url += std::string(1200 - prefix, 'u');
    const std::string target = "/" + std::string(999 - prefix, 'u');
    m_server.Serve(target, RssDocument(RssEntry("Reached")));
    EXPECT_TRUE(m_store->Load(url));
    EXPECT_EQ(Keys(), (Strings{"Reached"}));
    EXPECT_EQ(m_server.Requests(), (Strings{target}));
}

TEST_F(RssStoreTest, StoresLoadedAndDestroyedRepeatedlyLeaveNoRecords)
{
    const long before = vexa::InstanceCounter<CRssItem>::Count();
    const std::string doc = RssDocument(RssEntry("A") + RssEntry("A") + RssEntry("B"));
    m_server.Serve("/feed.xml", doc);
    m_server.Serve("/cut.xml", doc.substr(0, doc.find("<title>B")));
    for (int round = 0; round < 5; ++round) {
        vexatest::LoadedStore store;
        EXPECT_TRUE(store.Load(m_server.Url("/feed.xml")));
        EXPECT_TRUE(store.Load(m_server.Url("/cut.xml"))); // read in part: an open record stays behind
        EXPECT_NE(store.Current(), nullptr);
        EXPECT_EQ(vexa::InstanceCounter<CRssItem>::Count(), before + 3);
    }
    EXPECT_EQ(vexa::InstanceCounter<CRssItem>::Count(), before);
}

} // namespace
