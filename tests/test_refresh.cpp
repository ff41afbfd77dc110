// The refresh cycle with the real feed list in the (redirected) registry, the real reader
// fetching from a loopback server, and the host stand-in.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "com/instancecounter.h"
#include "com/module.h"
#include "com/owners.h"
#include "format/utf8.h"
#include "net/httpfetch.h"
#include "store/rssstore.h"
#include "userdata/feedhealth.h"
#include "userdata/registryhelper.h"
#include "tests/support/downloads.h"
#include "tests/support/feedbuilder.h"
#include "tests/support/httpserver.h"
#include "tests/support/pictures.h"
#include "tests/support/plugin_fixture.h"
#include "plugin/entrypictures.h"
#include <wincodec.h>

using namespace vexa;

using vexa::com_ptr;
using vexatest::RssDocument;
using vexatest::FeedReply;
using vexatest::HttpServer;
using vexatest::RssEntry;

namespace {

class Refresh : public vexatest::PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        ASSERT_TRUE(m_server.Start());
    }
    void TearDown() override
    {
        // The plugin first, then the servers: every silent or late answer ends.
        m_plugin.reset();
        m_server.Stop();
        for (auto& server : m_more) server->Stop();
        PluginTest::TearDown();
    }

    // Stores the feed list after the default destination: dest[0], dest[1], ...
    void SetFeeds(const std::vector<std::string>& paths)
    {
        std::vector<std::string> urls;
        for (const std::string& path : paths) urls.push_back(m_server.Url(path));
        vexatest::WriteFeedList(urls);
    }
    void Start()
    {
        m_plugin = CreatePlugin();
        ASSERT_EQ(InitNew(m_plugin), S_OK);
    }
    // Serves one feed, lists it alone and starts the plugin.
    void StartWith(const std::string& path, const HttpServer::Reply& reply)
    {
        m_server.Serve(path, reply);
        SetFeeds({path});
        Start();
    }
    void Tick() { SendMessageW(Impl(m_plugin)->TimerWindow(), WM_TIMER, RefreshTimerWindow::kTimerId, 0); }
    // The headings in panel order.
    std::vector<std::wstring> Headings()
    {
        std::vector<std::wstring> out;
        for (const host::PanelItem& item : Panel().items)
            out.push_back(item.state->heading.value_or(L"?"));
        return out;
    }
    HRESULT Value1Write() { return vexa::query<IVexaPlugin>(m_plugin.get())->put_Value1(nullptr); }
    // Refreshes until the picture at `path` is kept (10 s at most).
    bool PictureKept(const std::string& path)
    {
        for (int i = 0; i < 100 && !Impl(m_plugin)->Pictures()->Has(m_server.Url(path)); ++i) {
            Sleep(100);
            Impl(m_plugin)->Refresh(false);
        }
        return Impl(m_plugin)->Pictures()->Has(m_server.Url(path));
    }
    // The plugin's own feed requests (the default destination is not on this server).
    size_t Requests() { return m_server.Requests().size(); }
    // A server's requests in path order: its log shows the order in which its connection
    // threads ran, not the order of the wire (the downloads' own order is tested with them).
    static std::vector<std::string> SortedRequests(const vexatest::HttpServer& server)
    {
        std::vector<std::string> requests = server.Requests();
        std::sort(requests.begin(), requests.end());
        return requests;
    }

    vexatest::HttpServer m_server;
    std::vector<std::unique_ptr<vexatest::HttpServer>> m_more; // servers beyond the first
    com_ptr<IUnknown> m_plugin;
};

using Texts = std::vector<std::wstring>;

TEST_F(Refresh, EntriesAreAddedOnceInTitleOrder)
{
    StartWith("/a.xml", FeedReply(RssDocument(RssEntry("B", "http://b") + RssEntry("A", "http://a") + RssEntry("C", "http://c"))));
    EXPECT_EQ(Headings(), (Texts{L"A: ", L"B: ", L"C: "}));
    EXPECT_EQ(Requests(), 1u);
    EXPECT_EQ(Impl(m_plugin)->Store()->Count(), 3);

    // Unchanged feeds: a tick adds nothing and clears nothing.
    Host().clearLog();
    Impl(m_plugin)->Refresh(false);
    EXPECT_EQ(Requests(), 2u); // fetched again all the same
    EXPECT_EQ(Headings().size(), 3u);
    EXPECT_TRUE(Host().log().empty());

    // A Value1 write clears the panel; the shown marks survive, so nothing comes back.
    vexa::unique_bstr text = vexa::unique_bstr::from(L"x");
    EXPECT_EQ(vexa::query<IVexaPlugin>(m_plugin.get())->put_Value1(text), S_OK);
    EXPECT_TRUE(Panel().items.empty());
    EXPECT_EQ(Host().log(), std::vector<std::wstring>{L"RemoveAllContentItems()"});

    // A new entry appears at the next tick, alone.
    m_server.Serve("/a.xml", RssDocument(RssEntry("B", "http://b") + RssEntry("A", "http://a") +
                                         RssEntry("C", "http://c") + RssEntry("0 new", "http://n")));
    Tick();
    EXPECT_EQ(Headings(), (Texts{L"0 new: "}));
    EXPECT_TRUE(m_channels->reports().empty());
}

TEST_F(Refresh, AnEntryThatLeavesItsFeedAndComesBackIsNotShownAgain)
{
    const long live = vexa::InstanceCounter<CRssItem>::Count();
    StartWith("/a.xml", FeedReply(RssDocument(RssEntry("Old", "http://o") + RssEntry("Kept", "http://k"))));
    EXPECT_EQ(Headings(), (Texts{L"Kept: ", L"Old: "}));
    // The feed moves on: its record goes, its key stays.
    m_server.Serve("/a.xml", RssDocument(RssEntry("Kept", "http://k") + RssEntry("New", "http://n")));
    Impl(m_plugin)->Refresh(false);
    EXPECT_EQ(vexa::InstanceCounter<CRssItem>::Count() - live, 2);
    // It comes back, beside a newer entry: only that one is shown, in a tick and in a clearing refresh.
    m_server.Serve("/a.xml", RssDocument(RssEntry("Old", "http://o") + RssEntry("Newer", "http://r")));
    Impl(m_plugin)->Refresh(false);
    EXPECT_EQ(Headings(), (Texts{L"Kept: ", L"Old: ", L"New: ", L"Newer: "}));
    Impl(m_plugin)->Refresh(true);
    m_server.Serve("/a.xml", RssDocument(RssEntry("Old", "http://o") + RssEntry("Kept", "http://k")));
    Impl(m_plugin)->Refresh(false);
    EXPECT_EQ(Headings(), Texts{});
    EXPECT_EQ(Impl(m_plugin)->Store()->Count(), 4);
}

TEST_F(Refresh, FeedsAndAddressesInAnyScriptShowTheirTextsAsWritten)
{
    // A Chinese, a Russian and a Western entry, served under a Cyrillic path that the list
    // holds as written and that goes on the wire percent-encoded.
    const std::string chinese1 = "\xE5\x8C\x97\xE4\xBA\xAC\xE4\xBB\x8A\xE6\x97\xA5\xE5\xA4\xA9\xE6\xB0\x94\xE6\x99\xB4\xE6\x9C\x97";
    const std::string chinese2 = "\xE4\xB8\x8A\xE6\xB5\xB7\xE8\x82\xA1\xE5\xB8\x82\xE5\xA4\xA7\xE5\xB9\x85\xE4\xB8\x8A\xE6\xB6\xA8";
    const std::string russian = "\xD0\x9D\xD0\xBE\xD0\xB2\xD0\xBE\xD1\x81\xD1\x82\xD0\xB8 \xD0\xB4\xD0\xBD\xD1\x8F";
    const std::string western = "Caf\xC3\xA9 au lait \xE2\x82\xAC" "5";
    const std::string doc = RssDocument(RssEntry(chinese1, "http://a.test/1", "\xE7\xAC\xAC\xE4\xB8\x80\xE6\x9D\xA1") +
                                        RssEntry(chinese2, "http://a.test/2", "\xE7\xAC\xAC\xE4\xBA\x8C\xE6\x9D\xA1") +
                                        RssEntry(russian, "http://a.test/3", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82") +
                                        RssEntry(western, "http://a.test/4", "AT&T na\xC3\xAFve"));
    const std::string path = "/\xD0\xBB\xD0\xB5\xD0\xBD\xD1\x82\xD0\xB0.xml"; // "лента.xml"
    const std::string wire = "/%D0%BB%D0%B5%D0%BD%D1%82%D0%B0.xml";
    m_server.Serve(wire, doc);
    SetFeeds({path});
    const Texts headings = {vexatest::Widen(western) + L": ", vexatest::Widen(russian) + L": ",
                            vexatest::Widen(chinese2) + L": ", vexatest::Widen(chinese1) + L": "};
    for (unsigned codePage : {1252u, 1251u, 932u, 65001u}) {
        vexatest::ThreadCodePage page(codePage);
        m_server.ClearRequests();
        Start();
        EXPECT_EQ(m_server.Requests(), std::vector<std::string>{wire}) << codePage;
        EXPECT_EQ(Headings(), headings) << codePage;
        ASSERT_EQ(Panel().items.size(), 4u);
        EXPECT_EQ(Panel().items[0].state->snippet.value(),
                  vexatest::Widen(western) + L":\nAT&T na\x00EFve\n\nhttp://a.test/4");
        EXPECT_EQ(Panel().items[1].state->source.value(), L"\x041F\x0440\x0438\x0432\x0435\x0442");
        m_plugin.reset();
    }
    EXPECT_TRUE(m_channels->reports().empty());
}

TEST_F(Refresh, TitleIsSetAgainOnlyInDisplayStateTwo)
{
    SetFeeds({});
    Start();
    Host().clearLog();
    Impl(m_plugin)->Refresh(false);
    EXPECT_TRUE(Host().log().empty()); // no site: state 1

    com_ptr<IUnknown> site;
    ASSERT_EQ(host::CreateSite(IID_IUnknown, site.put_void()), S_OK);
    vexa::query<IObjectWithSite>(m_plugin.get())->SetSite(site);
    Impl(m_plugin)->Refresh(false);
    EXPECT_EQ(Host().log(), std::vector<std::wstring>{L"get_display_state()"});

    Host().setDisplayState(2);
    Host().clearLog();
    Impl(m_plugin)->Refresh(true);
    const std::vector<std::wstring> expected = {L"RemoveAllContentItems()", L"get_display_state()",
                                                L"put_title(Cindral  Plugin)"};
    EXPECT_EQ(Host().log(), expected);

    Host().failOn(L"get_display_state", E_FAIL);
    Host().clearLog();
    Impl(m_plugin)->Refresh(false);
    EXPECT_EQ(Host().log(), std::vector<std::wstring>{L"get_display_state()"});
    EXPECT_EQ(m_channels->reports(),
              std::vector<std::string>{"((HRESULT)(sidebar_site->get_display_state(&display_state)) >= 0)"});
    vexa::query<IObjectWithSite>(m_plugin.get())->SetSite(nullptr);
}

TEST_F(Refresh, AnEmptyListIsWrittenBackAndOnlyTheDefaultIsLoaded)
{
    Start();
    // The key now exists; the default destination is not stored in it.
    vexa::unique_hkey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, CRegistryHelper::kKeyPath, 0, KEY_READ, key.put()),
              ERROR_SUCCESS);
    DWORD values = 99;
    RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                     nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(values, 0u);
    EXPECT_EQ(Requests(), 0u);
}

TEST_F(Refresh, AValue1WriteFromAHostCallRunsRightAfterTheRunningRefresh)
{
    StartWith("/a.xml", FeedReply(RssDocument(RssEntry("A", "http://a") + RssEntry("B", "http://b"))));
    m_server.Serve("/a.xml", RssDocument(RssEntry("A", "http://a") + RssEntry("B", "http://b") +
                                         RssEntry("C", "http://c")));
    int nested = 0;
    HRESULT nestedResult = E_FAIL;
    Host().setObserver([&](const std::wstring& line) {
        if (line.rfind(L"AddContentItem", 0) == 0 && nested++ == 0)
            nestedResult = Value1Write();
    });
    Host().clearLog();
    Impl(m_plugin)->Refresh(false);
    Host().setObserver(nullptr);
    EXPECT_EQ(nestedResult, S_OK);
    // The write is not lost: the running refresh ends (C added), then its clearing refresh
    // empties the panel and adds nothing, every record being shown.
    EXPECT_TRUE(Headings().empty());
    std::vector<std::wstring> removes;
    for (const std::wstring& call : Host().calls())
        if (call == L"RemoveAllContentItems" || call.rfind(L"AddContentItem", 0) == 0)
            removes.push_back(call.substr(0, 6));
    EXPECT_EQ(removes, (std::vector<std::wstring>{L"AddCon", L"Remove"}));
    EXPECT_EQ(Impl(m_plugin)->Value1(), L"none");
    // A tick from inside a host call is still dropped.
    nested = 0;
    Host().setObserver([&](const std::wstring& line) {
        if (line.rfind(L"RemoveAllContentItems", 0) == 0 && nested++ == 0)
            Impl(m_plugin)->Refresh(false);
    });
    m_server.ClearRequests();
    EXPECT_EQ(Value1Write(), S_OK);
    Host().setObserver(nullptr);
    EXPECT_EQ(m_server.Requests(), (std::vector<std::string>{"/a.xml"}));
}

// ---- Over a network that takes its time: short deadlines and a short tick wait. ----

class NetworkRefresh : public Refresh {
protected:
    static constexpr DWORD kTickWaitMs = 300;
    void SetUp() override
    {
        Refresh::SetUp();
        m_oldTickWait = CVexaPlugin::SetTickWait(kTickWaitMs);
        m_hostThread = GetCurrentThreadId();
        // Every host call, with the thread it came on.
        Host().setObserver([this](const std::wstring&) {
            if (GetCurrentThreadId() != m_hostThread) ++m_foreignCalls;
        });
    }
    void TearDown() override
    {
        Host().setObserver(nullptr);
        EXPECT_EQ(m_foreignCalls, 0) << "a host call came on another thread";
        Refresh::TearDown();
        CVexaPlugin::SetTickWait(m_oldTickWait);
    }
    // Runs the thread's messages for `ms`.
    static void Pump(DWORD ms)
    {
        for (const ULONGLONG end = GetTickCount64() + ms; GetTickCount64() < end;) {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        }
    }
    long RequestsOf(const std::string& path) const
    {
        const std::vector<std::string> requests = m_server.Requests();
        return static_cast<long>(std::count(requests.begin(), requests.end(), path));
    }
    static ULONGLONG Since(ULONGLONG start) { return GetTickCount64() - start; }

    vexatest::ScopedFetchLimits m_limits{2000, 4000, 6000};
    DWORD m_oldTickWait = 0;
    DWORD m_hostThread = 0;
    int m_foreignCalls = 0;
};

TEST_F(NetworkRefresh, ATickShowsWhatArrivedAndASlowFeedAtTheNextRefresh)
{
    m_server.Serve("/one.xml", FeedReply(RssDocument(RssEntry("One"))));
    m_server.Serve("/slow.xml", FeedReply(RssDocument(RssEntry("Slow"))));
    m_server.Serve("/two.xml", FeedReply(RssDocument(RssEntry("Two"))));
    SetFeeds({"/one.xml", "/slow.xml", "/two.xml"});
    Start();
    EXPECT_EQ(Headings(), (Texts{L"One: ", L"Slow: ", L"Two: "}));

    m_server.Serve("/one.xml", FeedReply(RssDocument(RssEntry("One") + RssEntry("One more"))));
    m_server.Serve("/slow.xml", FeedReply(RssDocument(RssEntry("Slow") + RssEntry("Slow more")), 1200));
    m_server.Serve("/two.xml", FeedReply(RssDocument(RssEntry("Two") + RssEntry("Two more"))));
    const ULONGLONG start = GetTickCount64();
    Tick();
    EXPECT_LT(Since(start), 1000u); // the tick did not wait for the slow feed
    EXPECT_EQ(Headings(), (Texts{L"One: ", L"Slow: ", L"Two: ", L"One more: ", L"Two more: "}));
    Host().clearLog();
    Pump(1500); // the slow download ends meanwhile: no host call
    EXPECT_TRUE(Host().log().empty());
    Tick(); // takes the ended download over at its turn
    EXPECT_EQ(Headings().back(), L"Slow more: ");
    EXPECT_EQ(SortedRequests(m_server), (std::vector<std::string>{"/one.xml", "/one.xml", "/one.xml", "/slow.xml",
                                                                  "/slow.xml", "/two.xml", "/two.xml", "/two.xml"}));
}

TEST_F(NetworkRefresh, ASlowFailureCostsNoHostCallAfterItsTick)
{
    SetFeeds({"/slow.xml"});
    Start();
    m_server.Serve("/slow.xml", FeedReply("", 600, 404));
    com_ptr<IUnknown> site;
    ASSERT_EQ(host::CreateSite(IID_IUnknown, site.put_void()), S_OK);
    vexa::query<IObjectWithSite>(m_plugin.get())->SetSite(site);
    Host().setDisplayState(2);
    Host().clearLog();
    Tick();
    Pump(1200);
    EXPECT_EQ(Host().log(), (std::vector<std::wstring>{L"get_display_state()", L"put_title(Cindral  Plugin)"}));
    vexa::query<IObjectWithSite>(m_plugin.get())->SetSite(nullptr);
}

TEST_F(NetworkRefresh, ATickDuringLateDownloadsDoesNotStartThemAgain)
{
    StartWith("/slow.xml", FeedReply(RssDocument(RssEntry("Slow")), 1500));
    m_server.Serve("/slow.xml", FeedReply(RssDocument(RssEntry("Slow") + RssEntry("New")), 1500));
    Tick();
    Tick();
    EXPECT_EQ(RequestsOf("/slow.xml"), 2); // the start-up's and the first tick's
    Sleep(1500);
    Tick();
    EXPECT_EQ(Headings().size(), 2u);
    EXPECT_EQ(RequestsOf("/slow.xml"), 2);
}

TEST_F(NetworkRefresh, AValue1WriteWaitsForTheDownloadsInFlightAndAsksEndedOnesAgain)
{
    StartWith("/slow.xml", FeedReply(RssDocument(RssEntry("Slow"))));
    m_server.Serve("/slow.xml", FeedReply(RssDocument(RssEntry("Slow") + RssEntry("New")), 1000));
    Tick();
    EXPECT_EQ(Headings().size(), 1u);
    Host().clearLog();
    EXPECT_EQ(Value1Write(), S_OK);
    // Cleared at once, and back with the late feed's new entry, fetched once.
    EXPECT_EQ(Host().calls().front(), L"RemoveAllContentItems");
    EXPECT_EQ(Headings(), (Texts{L"New: "}));
    EXPECT_EQ(RequestsOf("/slow.xml"), 2);
    // A late answer that came before the write is not used: the feed is asked again.
    m_server.Serve("/slow.xml", FeedReply(RssDocument(RssEntry("Slow") + RssEntry("Old news")), 600));
    Tick();
    Pump(1000);
    m_server.Serve("/slow.xml", FeedReply(RssDocument(RssEntry("Slow") + RssEntry("Latest"))));
    EXPECT_EQ(Value1Write(), S_OK);
    EXPECT_EQ(Headings(), (Texts{L"Latest: "}));
    EXPECT_EQ(RequestsOf("/slow.xml"), 4);
}

TEST_F(NetworkRefresh, AValue1WriteAsksDuringAPauseATickWaitsForItsEnd)
{
    StartWith("/busy.xml", FeedReply("", 0, 503, "Retry-After: 1"));
    Tick();
    m_server.Serve("/busy.xml", FeedReply("", 0, 429, "Retry-After: 3600"));
    EXPECT_EQ(Value1Write(), S_OK);
    Sleep(1100);
    Tick(); // the new answer's pause holds
    EXPECT_EQ(Requests(), 2u);
    m_server.Serve("/busy.xml", FeedReply(RssDocument(RssEntry("Back"))));
    EXPECT_EQ(Value1Write(), S_OK);
    Tick(); // a good answer ended the pause
    EXPECT_EQ(Requests(), 4u);
    EXPECT_EQ(Headings(), (Texts{L"Back: "}));
}

// A start-up over the feeds served (a listed path not served is missing): the headings in
// panel order, each successful load's new entries in title order after the earlier feeds'
// (a shared title once, from the feed read first), the snippets when given, every feed asked
// once, none waited for past its deadlines; a tick after it adds nothing.
TEST_F(NetworkRefresh, AStartUpShowsEachFeedsNewEntriesInListOrder)
{
    std::string broken = RssDocument(RssEntry("M", "http://m") + RssEntry("K", "http://k"));
    broken.replace(broken.rfind("</rss>"), 6, "<oops></rss>");
    HttpServer::Reply silent = FeedReply(RssDocument(RssEntry("Never")));
    silent.silent = true;
    const HttpServer::Reply good = FeedReply(RssDocument(RssEntry("Good")));
    using Served = std::vector<std::pair<std::string, HttpServer::Reply>>;
    const std::string atom = "<?xml version=\"1.0\"?><feed xmlns=\"http://www.w3.org/2005/Atom\"><title>Releases</title>"
                             "<entry><title>Shared</title><link href=\"http://atom.test/shared\"/></entry>"
                             "<entry><title>A atom</title><link rel=\"alternate\" href=\"tags/a\"/>"
                             "<summary>Notes &amp; more</summary><updated>2024-01-01T00:00:00Z</updated></entry></feed>";
    const struct { const char* what; Served served; std::vector<std::string> list; Texts headings; Texts snippets; } cases[] = {
        {"failures skipped", {{"/one.xml", FeedReply(RssDocument(RssEntry("Z", "http://z") + RssEntry("Shared", "http://one")))},
                              {"/three.xml", FeedReply(RssDocument(RssEntry("A", "http://a") + RssEntry("Shared", "http://three")))}},
         {"/one.xml", "/missing.xml", "/three.xml"}, {L"Shared: ", L"Z: ", L"A: "},
         {L"Shared:\n\n\nhttp://one", L"Z:\n\n\nhttp://z", L"A:\n\n\nhttp://a"}},
        {"Atom beside RSS", {{"/news.xml", FeedReply(RssDocument(RssEntry("Shared", "http://rss.test/shared", "from RSS") +
                                                                  RssEntry("B rss", "http://rss.test/b")))},
                             {"/project/releases.atom", FeedReply(atom)}},
         {"/news.xml", "/project/releases.atom"}, {L"B rss: ", L"Shared: ", L"A atom: "},
         {L"B rss:\n\n\nhttp://rss.test/b", L"Shared:\nfrom RSS\n\nhttp://rss.test/shared",
          L"A atom:\nNotes & more\n\n" + vexatest::Widen(m_server.Url("/project/tags/a"))}},
        // A broken feed is read in part: the entries it completed are shown with its own.
        {"a broken feed", {{"/broken.xml", FeedReply(broken)}, {"/l.xml", FeedReply(RssDocument(RssEntry("L", "http://l")))}},
         {"/broken.xml", "/l.xml"}, {L"K: ", L"M: ", L"L: "}},
        {"an error page is not a feed", {{"/gone.xml", FeedReply(RssDocument(RssEntry("From the error page")), 0, 404)},
                                         {"/good.xml", good}}, {"/gone.xml", "/good.xml"}, {L"Good: "}},
        {"a silent server", {{"/silent.xml", silent}, {"/good.xml", good}}, {"/silent.xml", "/good.xml"}, {L"Good: "}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        m_server.ClearRequests();
        for (const auto& served : c.served) m_server.Serve(served.first, served.second);
        RegDeleteKeyW(HKEY_CURRENT_USER, CRegistryHelper::kKeyPath); // the rows' lists differ in length
        SetFeeds(c.list);
        const ULONGLONG start = GetTickCount64();
        Start();
        EXPECT_LT(Since(start), 9000u);
        EXPECT_EQ(Headings(), c.headings);
        Texts snippets;
        for (const host::PanelItem& item : Panel().items) snippets.push_back(item.state->snippet.value_or(L"?"));
        if (!c.snippets.empty()) { EXPECT_EQ(snippets, c.snippets); }
        std::vector<std::string> paths = c.list;
        std::sort(paths.begin(), paths.end());
        EXPECT_EQ(SortedRequests(m_server), paths);
        Tick();
        EXPECT_EQ(Headings(), c.headings);
    }
    EXPECT_TRUE(m_channels->reports().empty());
}

TEST_F(NetworkRefresh, ReleasingThePluginDuringDownloadsReturnsAtOnce)
{
    SetFeeds({"/silent.xml"});
    Start();
    HttpServer::Reply silent = FeedReply(RssDocument(RssEntry("Never")));
    silent.silent = true;
    m_server.Serve("/silent.xml", silent);
    ASSERT_TRUE(vexa::FetchJob::WaitForWorkers(3000));
    const long locks = vexa::Module::LockCount();
    Tick(); // the download goes on after the tick
    EXPECT_GE(vexa::FetchJob::LiveWorkers(), 1);
    const ULONGLONG start = GetTickCount64();
    m_plugin.reset();
    EXPECT_LT(Since(start), 1000u);
    // The worker still holds the module (DllCanUnloadNow: S_FALSE) until its deadline.
    EXPECT_EQ(vexa::Module::LockCount(), locks);
    EXPECT_TRUE(vexa::FetchJob::WaitForWorkers(10000));
    EXPECT_EQ(vexa::Module::LockCount(), locks - 1);
    MSG msg; // nothing is left for the released plugin's window
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

// Ticks leave a feed unasked while its last answer is fresh; a Value1 write asks it all the same.
TEST_F(NetworkRefresh, TicksLeaveAFreshFeedUnaskedAValue1WriteAsksIt)
{
    const std::string doc = RssDocument(RssEntry("Entry"));
    m_server.Serve("/age.xml", FeedReply(doc, 0, 200, "Cache-Control: max-age=600"));
    m_server.Serve("/expires.xml", FeedReply(doc, 0, 200, "Cache-Control: public\r\nExpires: Thu, 01 Jan 2099 00:00:00 GMT"));
    m_server.Serve("/plain.xml", FeedReply(doc)); // the server says no-cache, after a reply's own
    SetFeeds({"/age.xml", "/expires.xml", "/plain.xml"});
    Start();
    const vexa::FeedHealth loaded = vexa::ReadFeedHealth(vexatest::Widen(m_server.Url("/age.xml")));
    EXPECT_EQ(loaded.cause.substr(0, 12), L"fresh until ") << vexatest::Narrow(loaded.cause);
    Tick();
    EXPECT_EQ(SortedRequests(m_server), (std::vector<std::string>{"/age.xml", "/expires.xml", "/plain.xml", "/plain.xml"}));
    EXPECT_EQ(vexa::ReadFeedHealth(vexatest::Widen(m_server.Url("/age.xml"))), loaded); // its record as it was
    EXPECT_EQ(Value1Write(), S_OK);
    EXPECT_EQ(Requests(), 7u);
}

TEST_F(NetworkRefresh, UnchangedTicksAskConditionallyAndCostNoBody)
{
    HttpServer::Reply tagged = FeedReply(RssDocument(RssEntry("A") + RssEntry("B")));
    tagged.etag = "\"1\"";
    StartWith("/tagged.xml", tagged);
    const std::size_t bytes = m_server.BodyBytesSent();
    Host().clearLog();
    for (int i = 0; i < 3; ++i) Tick();
    EXPECT_EQ(m_server.BodyBytesSent(), bytes);
    EXPECT_TRUE(Host().log().empty());
    EXPECT_EQ(Headings().size(), 2u);
    EXPECT_NE(m_server.RequestHeads().back().find("If-None-Match: \"1\""), std::string::npos);
}

TEST_F(NetworkRefresh, AFilePathAmongDownloadsIsReadByTheReaderInItsTurn)
{
    wchar_t dir[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, dir), 0u);
    const std::wstring folder = std::wstring(dir) + L"vexa-Jos\x00E9"; // handed over as written
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring path = folder + L"\\feed.xml";
    const std::string doc = RssDocument(RssEntry("From a file"));
    {
        vexa::unique_handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_NE(file.get(), INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(file.get(), doc.data(), static_cast<DWORD>(doc.size()), &written, nullptr);
    }
    m_server.Serve("/before.xml", FeedReply(RssDocument(RssEntry("Z before")), 200));
    m_server.Serve("/after.xml", FeedReply(RssDocument(RssEntry("A after"))));
    std::string url = "file:///" + vexatest::Narrow(path);
    std::replace(url.begin(), url.end(), '\\', '/');
    for (const std::string& address : {vexatest::Narrow(path), url}) {
        vexatest::WriteFeedList({m_server.Url("/before.xml"), address, m_server.Url("/after.xml")});
        Start();
        EXPECT_EQ(Headings(), (Texts{L"Z before: ", L"From a file: ", L"A after: "})) << address;
        m_plugin.reset();
    }
    DeleteFileW(path.c_str());
    RemoveDirectoryW(folder.c_str());
}

TEST_F(NetworkRefresh, ManyFeedsOnSeveralServersAreShownInListOrder)
{
    std::vector<std::string> urls;
    std::vector<std::vector<std::string>> expected(4);
    Texts headings;
    for (int s = 0; s < 3; ++s) {
        m_more.push_back(std::make_unique<HttpServer>());
        ASSERT_TRUE(m_more.back()->Start());
    }
    for (int i = 0; i < 99; ++i) { // the default destination and 99 stored: a full list
        HttpServer& server = i % 4 == 0 ? m_server : *m_more[i % 4 - 1];
        const std::string path = "/f" + std::to_string(i) + ".xml";
        server.Serve(path, FeedReply(RssDocument(RssEntry("Entry " + std::to_string(100 + i))), 50));
        urls.push_back(server.Url(path));
        expected[i % 4].push_back(path);
        headings.push_back(L"Entry " + std::to_wstring(100 + i) + L": ");
    }
    vexatest::WriteFeedList(urls);
    Start();
    EXPECT_EQ(Headings(), headings);
    for (auto& paths : expected) std::sort(paths.begin(), paths.end());
    EXPECT_EQ(SortedRequests(m_server), expected[0]);
    for (int s = 0; s < 3; ++s) EXPECT_EQ(SortedRequests(*m_more[s]), expected[s + 1]);
}

// Every place a feed names a picture, each served in its own format, and the pictures that
// must leave the content icon: one too slow for its turn, one missing, one that claims 25
// megapixels, an entry without one, and one of a later feed that would come within its turn's
// wait, had the slow one not used up the refresh's.
TEST_F(Refresh, EachEntryShowsItsOwnPictureFittedToTheCardOrTheContentIcon)
{
    const DWORD wait = EntryPictures::SetWait(2000); // a loaded machine is slow, a slow picture slower
    for (const auto& [path, format, w] : {std::tuple{"/p/a.png", GUID_ContainerFormatPng, 90}, {"/p/b.jpg", GUID_ContainerFormatJpeg, 50},
                                          {"/p/c.gif", GUID_ContainerFormatGif, 60}, {"/p/d.bmp", GUID_ContainerFormatBmp, 70},
                                          {"/p/e.png", GUID_ContainerFormatPng, 80}, {"/p/f.png", GUID_ContainerFormatPng, 100}})
        m_server.Serve(path, HttpServer::Reply{200, vexatest::Encode(vexatest::Halves(w, 40), format), "image/x"});
    HttpServer::Reply slow{200, vexatest::Encode(vexatest::Halves(64, 64), GUID_ContainerFormatPng), "image/png"};
    slow.latencyMs = 4000;
    m_server.Serve("/p/slow.png", slow);
    slow.latencyMs = 500;
    m_server.Serve("/p/soon.png", slow);
    std::string bomb = vexatest::Encode(vexatest::Halves(16, 16), GUID_ContainerFormatPng);
    bomb.replace(16, 8, std::string("\0\0\x13\x88\0\0\x13\x88", 8)); // 5000 x 5000
    m_server.Serve("/p/bomb.png", HttpServer::Reply{200, bomb, "image/png"});
    const std::string media = " xmlns:media=\"http://search.yahoo.com/mrss/\"";
    m_server.Serve("/pictures.xml", FeedReply(RssDocument(
        RssEntry("A", "", "", "<media:thumbnail" + media + " url=\"/p/a.png\"/>") +
        RssEntry("B", "", "", "<media:group" + media + "><media:content url=\"/p/b.jpg\" medium=\"image\"/></media:group>") +
        RssEntry("C", "", "", "<itunes:image xmlns:itunes=\"http://www.itunes.com/dtds/podcast-1.0.dtd\" href=\"/p/c.gif\"/>") +
        RssEntry("D", "", "", "<enclosure url=\"/p/d.bmp\" type=\"image/bmp\" length=\"1\"/>") +
        RssEntry("E", "", "", "<image><url>/p/e.png</url></image>") +
        RssEntry("F", "", "<p><img src=\"/p/f.png\" alt=\"\"></p>") +
        RssEntry("G", "", "", "<media:thumbnail" + media + " url=\"/p/slow.png\"/>") +
        RssEntry("H", "", "", "<media:thumbnail" + media + " url=\"/p/missing.png\"/>") +
        RssEntry("I", "", "", "<media:thumbnail" + media + " url=\"/p/bomb.png\"/>") +
        RssEntry("J", "http://example.invalid/j"))));
    m_server.Serve("/soon.xml", FeedReply(RssDocument(RssEntry("K", "", "", "<media:thumbnail" + media + " url=\"/p/soon.png\"/>"))));
    SetFeeds({"/pictures.xml", "/soon.xml"});
    Start();

    const auto& items = Panel().items;
    ASSERT_EQ(11u, items.size());
    IPicture* icon = Impl(m_plugin.get())->ContentIcon();
    std::vector<OLE_HANDLE> bitmaps;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::wstring heading = items[i].state->heading.value_or(L"?");
        IPicture* image = items[i].state->image.get();
        ASSERT_TRUE(image) << i;
        if (i >= 6) {
            EXPECT_EQ(icon, image) << "item " << i << " keeps the content icon";
            continue;
        }
        SHORT type = 0;
        OLE_HANDLE handle = 0;
        OLE_XSIZE_HIMETRIC width = 0;
        EXPECT_EQ(S_OK, image->get_Type(&type));
        EXPECT_EQ(PICTYPE_BITMAP, type) << i;
        image->get_Handle(&handle);
        image->get_Width(&width);
        EXPECT_EQ(MulDiv(64, 2540, 96), width) << "item " << i << ": a card of 64 pixels";
        EXPECT_EQ(bitmaps.end(), std::find(bitmaps.begin(), bitmaps.end(), handle)) << "item " << i << " has its own";
        bitmaps.push_back(handle);
    }
    // The feed's health counts its pictures apart, and the failed ones do not make it failing.
    const FeedHealth health = ReadFeedHealth(utf::FromUtf8<wchar_t>(m_server.Url("/pictures.xml")));
    EXPECT_EQ(FeedState::Loaded, health.state);
    EXPECT_EQ(6, health.pictures);
    EXPECT_NE(std::wstring::npos, DescribeFeedHealth(health).find(L", 10 entries, 6 pictures"));
    // The slow picture arrives later: it is kept, and no item changes.
    m_server.Serve("/pictures.xml", FeedReply(RssDocument(RssEntry("J", "http://example.invalid/j"))));
    host::Host::Get().clearLog();
    EXPECT_TRUE(PictureKept("/p/slow.png"));
    const auto calls = host::Host::Get().calls();
    EXPECT_EQ(0, std::count(calls.begin(), calls.end(), L"put_image")) << "no host call for items already made";
    const std::vector<std::string> requests = m_server.Requests();
    EXPECT_EQ(1, std::count(requests.begin(), requests.end(), "/p/a.png"));
    EntryPictures::SetWait(wait);
}

// The plugin released while a picture's answer is held: the release returns at once, and once
// the answer comes the download ends and nothing of the plugin is left alive.
TEST_F(Refresh, ReleasingThePluginWhileAPictureDownloadsLeavesNothingBehind)
{
    m_more.push_back(std::make_unique<HttpServer>());
    HttpServer& pictures = *m_more.back();
    ASSERT_TRUE(pictures.Start());
    pictures.Serve("/p.png", {200, vexatest::Encode(vexatest::Halves(40, 40), GUID_ContainerFormatPng), "image/png"});
    pictures.HoldAnswers(true);
    m_server.Serve("/f.xml", FeedReply(RssDocument(RssEntry(
        "E", "", "", "<media:thumbnail xmlns:media=\"http://search.yahoo.com/mrss/\" url=\"" + pictures.Url("/p.png") + "\"/>"))));
    SetFeeds({"/f.xml"});
    ASSERT_TRUE(FetchJob::WaitForWorkers(3000));
    const long locks = Module::LockCount();
    const long records = InstanceCounter<CRssItem>::Count();
    Start();
    for (int i = 0; i < 100 && pictures.Requests().empty(); ++i) Sleep(50);
    ASSERT_EQ(1u, pictures.Requests().size()) << "the picture's request is in flight";
    ASSERT_EQ(1u, Impl(m_plugin.get())->Pictures()->Running());

    const ULONGLONG start = GetTickCount64();
    m_plugin.reset();
    Host().reset(); // the panel's items hold the module too
    EXPECT_LT(GetTickCount64() - start, 1000u);
    pictures.HoldAnswers(false);
    EXPECT_TRUE(FetchJob::WaitForWorkers(10000));
    EXPECT_EQ(Module::LockCount(), locks);
    EXPECT_EQ(InstanceCounter<CRssItem>::Count(), records);
}

// Fifty entries naming one picture share its one bitmap, and a feed's health counts the
// pictures its cards show: not one that came after its cards were made, none once the panel
// is cleared.
TEST_F(Refresh, EntriesNamingOnePictureShareItsBitmapAndHealthCountsTheCards)
{
    const DWORD wait = EntryPictures::SetWait(1500);
    const std::string thumbnail = "<media:thumbnail xmlns:media=\"http://search.yahoo.com/mrss/\" url=\"/p/";
    HttpServer::Reply png{200, vexatest::Encode(vexatest::Halves(40, 40), GUID_ContainerFormatPng), "image/png"};
    m_server.Serve("/p/one.png", png);
    png.latencyMs = 3000;
    m_server.Serve("/p/late.png", png);
    std::string many, late;
    for (int i = 0; i < 50; ++i) many += RssEntry("M" + std::to_string(100 + i), "", "", thumbnail + "one.png\"/>");
    for (int i = 0; i < 3; ++i) late += RssEntry("L" + std::to_string(i), "", "", thumbnail + "late.png\"/>");
    m_server.Serve("/many.xml", FeedReply(RssDocument(many)));
    m_server.Serve("/late.xml", FeedReply(RssDocument(late)));
    SetFeeds({"/many.xml", "/late.xml"});
    Start();

    ASSERT_EQ(53u, Panel().items.size());
    std::vector<OLE_HANDLE> bitmaps;
    for (std::size_t i = 0; i < 50; ++i) {
        OLE_HANDLE handle = 0;
        ASSERT_EQ(S_OK, Panel().items[i].state->image->get_Handle(&handle));
        bitmaps.push_back(handle);
    }
    EXPECT_EQ(50, std::count(bitmaps.begin(), bitmaps.end(), bitmaps[0])) << "one bitmap for all";
    const auto pictures = [&](const char* path) {
        return std::max(0L, static_cast<long>(ReadFeedHealth(utf::FromUtf8<wchar_t>(m_server.Url(path))).pictures));
    };
    EXPECT_EQ(50, pictures("/many.xml"));
    EXPECT_EQ(0, pictures("/late.xml"));
    ASSERT_TRUE(PictureKept("/p/late.png"));
    Impl(m_plugin.get())->Refresh(false);
    EXPECT_EQ(0, pictures("/late.xml")) << "kept, but on no card";
    Impl(m_plugin.get())->Refresh(true);
    EXPECT_EQ(0, pictures("/many.xml")) << "the panel was cleared";
    EntryPictures::SetWait(wait);
}

} // namespace
