// The feed health records through the plugin as the host drives it: every cause produced by
// a real server of the tests' own (the loopback server, the TLS front's bad certificates),
// read back from the registry as the settings page and the host read it; a feed that
// recovers goes back to loaded and its run of failures ends.
#include <windows.h>

#include <gtest/gtest.h>

#include "com/owners.h"
#include "store/rssstore.h"
#include "userdata/feedhealth.h"
#include "userdata/healthbook.h"
#include "userdata/registryhelper.h"
#include "tests/support/downloads.h"
#include "tests/support/feedbuilder.h"
#include "tests/support/ftpserver.h"
#include "tests/support/httpserver.h"
#include "tests/support/plugin_fixture.h"
#include "tests/support/tlsserver.h"

using namespace vexa;
using vexatest::HttpServer;
using vexatest::TlsServer;

namespace {

// The TLS front, started before any test overrides HKEY_CURRENT_USER (its authority goes to
// the real ROOT store, which the process reads once).
class TlsFront : public testing::Environment {
public:
    void SetUp() override
    {
        if (!s_tls.Start(3)) s_error = s_tls.Error();
    }
    void TearDown() override { s_tls.Stop(); }
    static TlsServer s_tls;
    static std::string s_error;
};
TlsServer TlsFront::s_tls;
std::string TlsFront::s_error;
testing::Environment* const g_tlsFront = testing::AddGlobalTestEnvironment(new TlsFront);

class FeedHealthTest : public vexatest::PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        ASSERT_TRUE(m_server.Start());
        ASSERT_TRUE(TlsFront::s_error.empty()) << TlsFront::s_error;
        ASSERT_TRUE(TlsFront::s_tls.SetBackend(m_server.Port()));
    }
    void TearDown() override
    {
        m_plugin.reset();
        m_server.Stop();
        PluginTest::TearDown();
    }

    HttpServer m_server;
    vexa::com_ptr<IUnknown> m_plugin;
};

struct Row {
    std::string address;
    FeedState state;
    std::string cause; // "{until}" stands for the record's retryUntil as the lines show it
};

std::wstring Expected(const Row& row, const FeedHealth& record)
{
    std::wstring cause = vexatest::Widen(row.cause);
    const std::size_t at = cause.find(L"{until}");
    if (at != std::wstring::npos) cause.replace(at, 7, FormatHealthTime(record.retryUntil));
    return cause;
}

TEST_F(FeedHealthTest, EachCauseInWordsAndARecoveryEndsTheRun)
{
    vexatest::ScopedFetchLimits limits(3000, 1000, 4000, 16 * 1024);
    using Reply = HttpServer::Reply;
    const std::string good = vexatest::RssDocument("<title> Sample feed </title>\n" + vexatest::RssEntry("A", "http://a") +
                                                   vexatest::RssEntry("B", "http://b"));
    Reply validated;
    validated.body = good;
    validated.etag = "\"v1\""; // the next load gets a 304, which keeps the feed loaded
    m_server.Serve("/good.xml", validated);
    m_server.Serve("/feed.xml", good); // behind the TLS front
    m_server.Serve("/busy.xml", vexatest::FeedReply("", 0, 503, "Retry-After: 600"));
    m_server.Serve("/gone.xml", vexatest::FeedReply("", 0, 410));
    Reply silent;
    silent.silent = true;
    m_server.Serve("/silent.xml", silent);
    m_server.Serve("/page.html", "<!DOCTYPE html>\n<html><head><title>Home</title></head><body><p>Hi</body></html>",
                   "text/html; charset=utf-8");
    m_server.Serve("/site/", "<html><head><link rel=alternate type=application/rss+xml href=../good.xml></head>",
                   "text/html");
    m_server.Serve("/broken.xml", "<?xml version=\"1.0\"?>\n<rss version=\"2.0\"><channel>\n<item><title>A</item>");
    std::string inPart = good;
    inPart.insert(inPart.rfind("<item>"), "<item><title>Broken</item>");
    m_server.Serve("/inpart.xml", inPart);
    m_server.Serve("/thai.xml", "<?xml version=\"1.0\" encoding=\"windows-874\"?>" + good.substr(good.find("?>") + 2));
    m_server.Serve("/klingon.xml", "<?xml version=\"1.0\" encoding=\"x-klingon\"?>\n<rss version=\"2.0\"/>");
    std::string repaired = good;
    repaired.insert(repaired.find("</item>"), "<description>Fish &amp; chips & peas&nbsp;</description>");
    m_server.Serve("/repaired.xml", repaired);
    std::string spaced = "\n " + repaired, latin = good;
    spaced.insert(spaced.find("</item>"), "&#1;");
    latin.replace(0, latin.find("?>"), "<?xml version=\"1.0\" encoding=\"iso-8859-1\"");
    latin.insert(latin.find("</item>"), "<description>\xC3\xA6</description>");
    m_server.Serve("/spaced.xml", spaced);
    m_server.Serve("/latin.xml", latin);
    m_server.Serve("/moved.xml", vexatest::FeedReply("", 0, 301, "Location: " + m_server.Url("/good.xml")));
    m_server.Serve("/large.xml", vexatest::LargeFeed(200));
    Reply cut = vexatest::FeedReply(good);
    cut.lengthDelta = 100;
    m_server.Serve("/cut.xml", cut);
    HttpServer closed;
    ASSERT_TRUE(closed.Start());
    const std::string refused = closed.Url("/feed.xml");
    closed.Stop();
    vexatest::FtpServer ftp, silentFtp(true);
    ASSERT_TRUE(ftp.Start() && silentFtp.Start());
    ftp.Serve("/feed.xml", good);

    const std::string moved = "moved permanently to " + m_server.Url("/good.xml") +
                              " (HTTP 301): update the address in the settings";
    const std::vector<Row> rows = {
        {m_server.Url("/good.xml"), FeedState::Loaded, ""},
        {m_server.Url("/missing.xml"), FeedState::Failing, "not found (HTTP 404)"},
        {m_server.Url("/gone.xml"), FeedState::Failing, "gone for good (HTTP 410)"},
        {m_server.Url("/busy.xml"), FeedState::Paused, "server error (HTTP 503), asked to wait until {until}"},
        {m_server.Url("/silent.xml"), FeedState::Failing, "no answer for 1 s"},
        {refused, FeedState::Failing, "could not connect to 127.0.0.1"},
        {TlsFront::s_tls.Url(TlsServer::Cert::Good, "/feed.xml"), FeedState::Loaded, ""},
        {TlsFront::s_tls.Url(TlsServer::Cert::Expired, "/feed.xml"), FeedState::Failing,
         "certificate not trusted: it has expired"},
        {TlsFront::s_tls.Url(TlsServer::Cert::OtherHost, "/feed.xml"), FeedState::Failing,
         "certificate is for another host"},
        {m_server.Url("/page.html"), FeedState::Failing, "not a feed: a web page that advertises no feed"},
        {m_server.Url("/site/"), FeedState::Loaded,
         "web page; reading the feed it advertises: " + m_server.Url("/good.xml")},
        {m_server.Url("/broken.xml"), FeedState::Failing, "not valid XML: line 3, column "},
        {m_server.Url("/inpart.xml"), FeedState::Loaded, "read in part (1 broken entry left out): not valid XML: line "},
        {m_server.Url("/thai.xml"), FeedState::Loaded, "encoding windows-874 read through code page 874"},
        {m_server.Url("/klingon.xml"), FeedState::Failing, "encoding x-klingon is not supported"},
        {m_server.Url("/repaired.xml"), FeedState::Loaded, "repaired: a bare & and HTML entities"},
        {m_server.Url("/spaced.xml"), FeedState::Loaded,
         "repaired: text before the declaration, control characters, a bare & and HTML entities"},
        {m_server.Url("/latin.xml"), FeedState::Loaded, "declared iso-8859-1, read as UTF-8"},
        {m_server.Url("/moved.xml"), FeedState::Loaded, moved},
        {m_server.Url("/large.xml"), FeedState::Failing, "larger than 16 KB"},
        {m_server.Url("/cut.xml"), FeedState::Failing, "cut short after " + std::to_string(good.size()) +
                                                           " bytes: the connection closed"},
        {"C:\\no such folder\\feed.xml", FeedState::Failing, "file not found: C:\\no such folder\\feed.xml"},
        {"zz:yy", FeedState::Failing, "the address cannot be read"},
        {ftp.Url("/feed.xml"), FeedState::Loaded, ""},
        {ftp.Url("/none.xml"), FeedState::Failing, "not found (FTP 550)"},
        {silentFtp.Url("/feed.xml"), FeedState::Failing, "no answer for 1 s"},
        {"ftp://127.0.0.1:1/feed.xml", FeedState::Failing, "could not connect to 127.0.0.1"},
        {"gopher://127.0.0.1:1/feed.xml", FeedState::Failing, "the address cannot be read"}, // never a hang
        {"http://no-such-host.invalid/feed.xml", FeedState::Failing, "could not find no-such-host.invalid"},
    };
    std::vector<std::string> urls;
    std::vector<std::wstring> addresses;
    for (const Row& row : rows) {
        urls.push_back(row.address);
        addresses.push_back(vexatest::Widen(row.address));
    }
    vexatest::WriteFeedList(urls);
    m_plugin = CreatePlugin();
    ASSERT_EQ(InitNew(m_plugin), S_OK); // the start-up waits for every load

    std::vector<FeedHealth> records = ReadFeedHealth(addresses);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        const FeedHealth& r = records[i];
        SCOPED_TRACE(row.address);
        EXPECT_EQ(r.state, row.state);
        const std::wstring expected = Expected(row, r);
        // The reader's own message follows the XML error's position.
        if (expected.back() == L' ')
            EXPECT_EQ(r.cause.substr(0, expected.size()), expected) << vexatest::Narrow(r.cause);
        else
            EXPECT_EQ(r.cause, expected) << vexatest::Narrow(r.cause);
        EXPECT_NE(r.lastAttempt, 0u);
        const bool loaded = row.state == FeedState::Loaded;
        EXPECT_EQ(r.lastSuccess != 0, loaded);
        EXPECT_EQ(r.failingSince != 0, !loaded);
        EXPECT_EQ(r.retryUntil != 0, row.state == FeedState::Paused);
        EXPECT_EQ(r.feedAddress.empty(), row.address.find("/site/") == std::string::npos);
        if (loaded) {
            EXPECT_EQ(r.entries, 2);
            EXPECT_EQ(r.title, L"Sample feed");
        }
    }

    // The 404 recovers; the broken feed's run of failures goes on; the paused one is not asked
    // before its time; a feed that leaves the list leaves the key.
    m_server.Serve("/missing.xml", good);
    urls.pop_back();
    addresses.pop_back();
    vexatest::WriteFeedList(urls);
    {
        vexa::unique_hkey key;
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, CRegistryHelper::kKeyPath, 0, KEY_SET_VALUE,
                                key.put()), ERROR_SUCCESS);
        RegDeleteValueW(key.get(), (L"dest[" + std::to_wstring(rows.size() - 1) + L"]").c_str());
    }
    m_server.ClearRequests();
    const ULONGLONG minute = HealthNow() / (60ull * 10000000);
    Impl(m_plugin)->Refresh(false);
    const std::vector<FeedHealth> after = ReadFeedHealth(addresses);
    EXPECT_EQ(after[0].state, FeedState::Loaded) << vexatest::Narrow(after[0].cause);
    EXPECT_EQ(after[0].entries, 2);
    EXPECT_EQ(after[1].state, FeedState::Loaded);
    EXPECT_EQ(after[1].failingSince, 0u);
    EXPECT_EQ(after[1].cause, L"");
    EXPECT_EQ(after[1].entries, 2);
    EXPECT_EQ(after[10].failingSince, records[10].failingSince);
    EXPECT_EQ(after[3], records[3]);
    for (const std::string& request : m_server.Requests()) EXPECT_NE(request, "/busy.xml");
    EXPECT_EQ(ReadFeedHealth(vexatest::Widen(rows.back().address)).state, FeedState::Never);

    // An unchanged tick within the minute of the last one leaves the stored records alone.
    FeedHealth marked = after[0];
    marked.title = L"left alone";
    ASSERT_EQ(WriteFeedHealth(marked), ERROR_SUCCESS);
    Impl(m_plugin)->Refresh(false);
    if (HealthNow() / (60ull * 10000000) == minute) {
        EXPECT_EQ(ReadFeedHealth(addresses[0]).title, L"left alone");
    }
}

TEST_F(FeedHealthTest, TheBookKeepsTheFirstHundredAddressesAndDropsTheUnlisted)
{
    FeedHealth stale;
    stale.address = L"http://stale.example/feed.xml";
    stale.state = FeedState::Failing;
    stale.failingSince = HealthNow();
    stale.cause = L"not found (HTTP 404)";
    ASSERT_EQ(WriteFeedHealth(stale), ERROR_SUCCESS);
    std::vector<std::wstring> list;
    for (int i = 0; i <= 100; ++i) list.push_back(L"C:\\feeds\\" + std::to_wstring(i) + L".xml");
    list.push_back(list[0]); // a repeated address is one record

    FeedHealthBook book;
    book.BeginRefresh(list);
    EXPECT_EQ(ReadFeedHealth(stale.address).state, FeedState::Never);
    book.RecordUnreadable(list[99], HealthNow());
    book.RecordUnreadable(list[100], HealthNow());
    EXPECT_EQ(ReadFeedHealth(list[99]).cause, L"the address cannot be read");
    EXPECT_EQ(ReadFeedHealth(list[100]).state, FeedState::Never);
    EXPECT_EQ(book.Find(list[100]), nullptr);
}

// A record made anew (its address left the list and came back) after an unchanged answer
// says what the last document of this run held; one never read says nothing. The name a
// list file gave the feed stays beside the feed's own title, which wins.
TEST_F(FeedHealthTest, AnUnchangedAnswerKeepsTheCountOfTheLastDocumentRead)
{
    const std::wstring read = L"http://read.example/feed.xml", unread = L"http://unread.example/feed.xml";
    LoadOutcome full, unchanged;
    full.way = unchanged.way = LoadOutcome::Way::Download;
    full.loaded = unchanged.loaded = full.parse.parsed = full.parse.read = full.parse.document.container = true;
    full.parse.document.entries = 7;
    full.parse.document.title = "Read";
    ASSERT_EQ(WriteFeedName(read, L"Named in a file"), ERROR_SUCCESS);
    FeedHealthBook book;
    book.BeginRefresh({read, unread});
    book.Record(read, full, HealthNow());
    book.BeginRefresh({unread});
    book.BeginRefresh({read, unread});
    EXPECT_EQ(ReadFeedHealth(read).state, FeedState::Never);
    book.Record(read, unchanged, HealthNow());
    book.Record(unread, unchanged, HealthNow());
    const FeedHealth again = ReadFeedHealth(read);
    EXPECT_EQ(again.entries, 7);
    EXPECT_EQ(FeedDisplayName(again), L"Read");
    EXPECT_EQ(ReadFeedHealth(unread).entries, -1);
    ASSERT_EQ(WriteFeedName(unread, L"Named"), ERROR_SUCCESS);
    book.BeginRefresh({unread});
    book.Record(unread, unchanged, HealthNow());
    EXPECT_EQ(FeedDisplayName(ReadFeedHealth(unread)), L"Named") << "kept through the book's writes";
}

} // namespace

// The feed's own title and its entry count, as the records take them, in every format.
using DocumentFactsTest = vexatest::VexaTest;

TEST_F(DocumentFactsTest, TitleAndEntriesOfEachFormat)
{
    struct Case {
        const char* document;
        const char* title;
        int entries;
    };
    const Case cases[] = {
        {"<rss><channel><title>News &amp; more</title><image><title>Logo</title></image>"
         "<item><title>A</title></item><item><title>B</title></item></channel></rss>", "News & more", 2},
        {"<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><channel><title>One</title></channel>"
         "<image><title>Logo</title></image><item><title>A</title></item></rdf:RDF>", "One", 1},
        {"<feed xmlns=\"http://www.w3.org/2005/Atom\"><title>Atom</title><entry><title>A</title></entry></feed>",
         "Atom", 1},
        {"<rss><channel><item><title>A</title></item></channel></rss>", "", 1},
    };
    FeedParser parser;
    for (const Case& c : cases) {
        const ParseReport report = parser.Parse(c.document, "http://127.0.0.1/feed.xml").report;
        EXPECT_TRUE(report.read) << c.document;
        EXPECT_EQ(report.document.title, c.title);
        EXPECT_EQ(report.document.entries, c.entries);
    }
}
