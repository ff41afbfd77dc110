// The feed item store and its parsing rules, loading feeds from the loopback server
// through the real reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "feeds/msxmlids.h"
#include "feeds/rssstore.h"
#include "tests/support/feedbuilder.h"
#include "tests/support/httpserver.h"

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
    Strings Keys() const
    {
        Strings keys;
        for (const auto& entry : m_store->m_items)
            keys.push_back(entry.first);
        return keys;
    }
    const CRssItem& Item(const std::string& key) const
    {
        auto found = m_store->m_items.find(key);
        if (found != m_store->m_items.end())
            return *found->second;
        ADD_FAILURE() << "no record titled \"" << key << "\"";
        return kMissing;
    }

    std::unique_ptr<CRssStore> m_store = std::make_unique<CRssStore>();
    long m_liveAtStart = 0;
};

TEST_F(RssStoreTest, KeepsRecordsInTitleOrderNumberedInFeedOrder)
{
    EXPECT_EQ(m_store->Count(), 0);
    EXPECT_TRUE(m_store->m_items.empty());

    ASSERT_TRUE(LoadDocument(RssDocument(RssEntry("B") + RssEntry("A") + RssEntry("C") +
                                         RssEntry("a") + RssEntry("Z"))));
    EXPECT_EQ(Keys(), (Strings{"A", "B", "C", "Z", "a"})); // byte order: upper case first
    EXPECT_EQ(Item("A").NUM, 1);
    EXPECT_EQ(Item("B").NUM, 0);
    EXPECT_EQ(Item("C").NUM, 2);
    EXPECT_EQ(Item("a").NUM, 3);
    for (const auto& entry : m_store->m_items) {
        EXPECT_EQ(entry.second->RssID, entry.first);
        EXPECT_FALSE(entry.second->IsShown);
    }
}

TEST_F(RssStoreTest, FillsEveryFieldFromItsElement)
{
    ASSERT_TRUE(LoadDocument(RssDocument(
        "<item><author>Ann</author><title>A</title><link>L</link><price>9.50</price>"
        "<publish_date>2020-01-02</publish_date><description>x<!-- split -->y</description>"
        "<pubDate>ignored</pubDate><category>ignored</category><guid>ignored</guid></item>")));
    const CRssItem& item = Item("A");
    EXPECT_EQ(item.RssID, "A");
    EXPECT_EQ(item.Author, "Ann");
    EXPECT_EQ(item.Genre, "L");
    EXPECT_EQ(item.Price, "9.50");
    EXPECT_EQ(item.Published, "2020-01-02");
    EXPECT_EQ(item.Description, "x\ny"); // two pieces from the reader, joined by a line feed
    EXPECT_EQ(item.NUM, 0);
}

TEST_F(RssStoreTest, ReadsOnlyEntriesInsideTheChannel)
{
    const std::string before = "<title>Channel title</title><link>http://channel/</link>"
                               "<description>Channel text</description>";
    const std::string after = "<title>Late channel title</title><image><title>Logo</title></image>";
    // Entries before the channel are ignored; entries after its end tag are still read.
    const std::string doc = "<?xml version=\"1.0\"?><rss>" + RssEntry("Early") + "<channel>" +
                            before + RssEntry("Inside", "http://inside/") + after +
                            "</channel>" + RssEntry("Sibling") + "</rss>";
    ASSERT_TRUE(LoadDocument(doc));
    EXPECT_EQ(Keys(), (Strings{"Inside", "Sibling"}));
    for (const auto& entry : m_store->m_items) {
        const CRssItem& item = *entry.second;
        for (const std::string* text : {&item.Title, &item.Genre, &item.Description})
            EXPECT_EQ(text->find("hannel"), std::string::npos) << *text;
    }
    EXPECT_EQ(Item("Inside").Genre, "http://inside/");

    // No channel at all: a well-formed document that yields nothing.
    auto empty = std::make_unique<CRssStore>();
    m_server.Serve("/nochannel.xml", "<rss>" + RssEntry("X") + "</rss>");
    EXPECT_TRUE(empty->Load(m_server.Url("/nochannel.xml")));
    EXPECT_EQ(empty->Count(), 0);
}

TEST_F(RssStoreTest, MatchesLocalNamesExactly)
{
    ASSERT_TRUE(LoadDocument(RssDocument(
        "<item><Title>Capital</Title><title>lower</title></item>"
        "<item xmlns:dc=\"urn:dc\"><dc:title>Prefixed</dc:title><dc:link>P</dc:link></item>"
        "<item><title>A</title><link>L</link><title>B</title></item>")));
    EXPECT_EQ(Keys(), (Strings{"AB", "Prefixed", "lower"}));
    EXPECT_EQ(Item("Prefixed").Genre, "P");
    EXPECT_EQ(Item("AB").Title, "AB");
}

TEST_F(RssStoreTest, NestedElementsCutAFieldShort)
{
    ASSERT_TRUE(LoadDocument(RssDocument(
        "<item><title>T</title><description>first <b>second</b> third</description></item>"
        "<item><title>Outer</title><item><title>Inner</title></item><link>late</link></item>"
        "<item><title>  padded  </title></item>")));
    EXPECT_EQ(Item("T").Description, "first ");
    // The nested item's end tag stores the open record; what follows is dropped.
    EXPECT_EQ(Keys(), (Strings{"  padded  ", "OuterInner", "T"}));
    EXPECT_EQ(Item("OuterInner").Genre, "");
}

TEST_F(RssStoreTest, EntryEndTagWithoutAnOpenRecordIsHarmless)
{
    // The channel opens inside an entry, so that entry's end tag arrives with no record open
    // (as does the outer end tag of a nested entry): nothing is stored, nothing breaks.
    ASSERT_TRUE(LoadDocument("<rss><item><title>Before</title><channel><title>C</title></channel>"
                             "</item>" + RssEntry("After") + "</rss>"));
    EXPECT_EQ(Keys(), (Strings{"After"}));
}

TEST_F(RssStoreTest, KeepsTheFirstRecordOfEachTitle)
{
    // Duplicates in one document, entries without a title (key ""), and a second feed.
    ASSERT_TRUE(LoadDocument(RssDocument(RssEntry("X", "first") + RssEntry("X", "second") +
                                         RssEntry("", "untitled1") + RssEntry("", "untitled2") +
                                         RssEntry("Y"))));
    EXPECT_EQ(Keys(), (Strings{"", "X", "Y"}));
    EXPECT_EQ(Item("X").Genre, "first");
    EXPECT_EQ(Item("").Genre, "untitled1");
    // The discarded duplicate took NUM 1, like the next new record: stored NUMs stay unique.
    EXPECT_EQ(Item("X").NUM, 0);
    EXPECT_EQ(Item("").NUM, 1);
    EXPECT_EQ(Item("Y").NUM, 2);

    m_store->m_items["X"]->IsShown = true;
    ASSERT_TRUE(m_store->Load(m_server.Url("/feed.xml")));
    EXPECT_EQ(m_store->Count(), 3);
    EXPECT_TRUE(Item("X").IsShown);

    ASSERT_TRUE(LoadDocument(RssDocument(RssEntry("X", "other feed") + RssEntry("W")), "/other.xml"));
    EXPECT_EQ(Keys(), (Strings{"", "W", "X", "Y"}));
    EXPECT_EQ(Item("X").Genre, "first");
    EXPECT_TRUE(Item("X").IsShown);
    EXPECT_EQ(Item("W").NUM, 3);
}

TEST_F(RssStoreTest, TitlesWithCharactersBeyondLatin1AreKept)
{
    ASSERT_TRUE(LoadDocument(RssDocument(RssEntry("Price \xE2\x82\xAC" "5", "http://l/",
                                                  "\xE4\xB8\xAD\xE6\x96\x87 text") +
                                         RssEntry("Plain"))));
    EXPECT_EQ(Keys(), (Strings{"Plain", "Price ?5"}));
    EXPECT_EQ(Item("Price ?5").Description.find("text"), 3u); // "??" then the rest, maybe split
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
    CRssStore store;
    vexa::SetXmlCreateInstance(old);
    store.m_inChannel = true;
    m_server.Serve("/feed.xml", RssDocument(RssEntry("A")));
    EXPECT_FALSE(store.Load(m_server.Url("/feed.xml")));
    EXPECT_TRUE(store.m_inChannel); // not even the parse state is reset
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

TEST_F(RssStoreTest, MalformedDocumentsKeepTheEntriesCompletedBeforeTheFault)
{
    const std::string two = RssEntry("One") + RssEntry("Two");
    // Cut off inside the third entry: the first two stay, the third stays open until the
    // next Load discards it.
    const std::string full = RssDocument(two + RssEntry("Three", "http://three/") + RssEntry("Four"));
    m_server.SetMode(HttpServer::Mode::CutOff, {full.find("http://three/"), 64, 5});
    EXPECT_FALSE(LoadDocument(full));
    EXPECT_EQ(Keys(), (Strings{"One", "Two"}));
    ASSERT_NE(m_store->m_current, nullptr);
    EXPECT_EQ(m_store->m_current->Title, "Three");
    m_server.SetMode(HttpServer::Mode::Normal);

    EXPECT_FALSE(LoadDocument(RssDocument(two + "<item><title>&undefined;</title></item>" +
                                          RssEntry("After"))));
    EXPECT_NE(m_store->m_current, nullptr); // the entry with the fault stays open
    EXPECT_EQ(Keys(), (Strings{"One", "Two"}));

    EXPECT_FALSE(LoadDocument(RssDocument(RssEntry("Five")) + "<trailing>"));
    EXPECT_FALSE(LoadDocument("This is not XML at all.\n<html><body>"));
    EXPECT_FALSE(LoadDocument(""));
    EXPECT_EQ(m_store->m_current, nullptr);
    EXPECT_EQ(Keys(), (Strings{"Five", "One", "Two"}));
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
    ASSERT_TRUE(LoadDocument(RssDocument("<item><title>Big</title><link>" + big + "</link></item>"),
                             "/big.xml"));
    EXPECT_LE(Item("Big").Genre.size(), big.size());
    EXPECT_EQ(Item("Big").Genre.find_first_not_of('b'), std::string::npos);

    std::string deep;
    for (int i = 0; i < 200; ++i)
        deep += "<d" + std::to_string(i) + ">";
    deep += "<title>deep</title>";
    for (int i = 199; i >= 0; --i)
        deep += "</d" + std::to_string(i) + ">";
    const std::string longName(5000, 'n');
    ASSERT_TRUE(LoadDocument(RssDocument("<item><title>Deep</title>" + deep + "</item>" +
                                         "<item><" + longName + ">x</" + longName +
                                         "><title>Long</title></item>"),
                             "/deep.xml"));
    EXPECT_TRUE(m_store->m_items.count("Deepdeep")); // the nested title adds to the entry's
    EXPECT_TRUE(m_store->m_items.count("Long"));
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
        CRssStore store;
        EXPECT_TRUE(store.Load(m_server.Url("/feed.xml")));
        EXPECT_FALSE(store.Load(m_server.Url("/cut.xml"))); // leaves an open record behind
        EXPECT_NE(store.m_current, nullptr);
        EXPECT_EQ(vexa::InstanceCounter<CRssItem>::Count(), before + 3);
    }
    EXPECT_EQ(vexa::InstanceCounter<CRssItem>::Count(), before);
}

} // namespace
