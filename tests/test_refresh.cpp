// The refresh cycle with the real feed list in the (redirected) registry, the real reader
// fetching from a loopback server, and the host stand-in.
#include <windows.h>

#include <gtest/gtest.h>

#include "com/owners.h"
#include "feeds/rssstore.h"
#include "settings/registryhelper.h"
#include "tests/support/feedbuilder.h"
#include "tests/support/httpserver.h"
#include "tests/support/plugin_fixture.h"

using vexa::com_ptr;
using vexatest::RssDocument;
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
        m_plugin.reset();
        PluginTest::TearDown();
        m_server.Stop();
    }

    // Stores the feed list after the default destination: dest[0], dest[1], ...
    void SetFeeds(const std::vector<std::string>& paths)
    {
        vexa::RegKey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, CRegistryHelper::kKeyPath, 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key.m_hKey, nullptr), ERROR_SUCCESS);
        for (size_t i = 0; i < paths.size(); ++i) {
            std::wstring name = L"dest[" + std::to_wstring(i) + L"]";
            std::wstring url = vexatest::Widen(m_server.Url(paths[i]));
            ASSERT_EQ(RegSetValueExW(key.m_hKey, name.c_str(), 0, REG_SZ, (const BYTE*)url.c_str(),
                                     (DWORD)((url.size() + 1) * sizeof(wchar_t))), ERROR_SUCCESS);
        }
    }
    void Start()
    {
        m_plugin = CreatePlugin();
        ASSERT_EQ(InitNew(m_plugin), S_OK);
    }
    // The headings in panel order.
    std::vector<std::wstring> Headings()
    {
        std::vector<std::wstring> out;
        for (const host::PanelItem& item : Panel().items)
            out.push_back(item.state->heading.value_or(L"?"));
        return out;
    }
    // The plugin's own feed requests (the default destination is not on this server).
    size_t Requests() { return m_server.Requests().size(); }

    vexatest::HttpServer m_server;
    com_ptr<IUnknown> m_plugin;
};

using Texts = std::vector<std::wstring>;

TEST_F(Refresh, EntriesAreAddedOnceInTitleOrder)
{
    m_server.Serve("/a.xml", RssDocument(RssEntry("B", "http://b") + RssEntry("A", "http://a") +
                                         RssEntry("C", "http://c")));
    SetFeeds({"/a.xml"});
    Start();
    EXPECT_EQ(Headings(), (Texts{L"A: ", L"B: ", L"C: "}));
    EXPECT_EQ(Requests(), 1u);
    EXPECT_EQ(Impl(m_plugin)->m_store->Count(), 3);

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
    SendMessageW(Impl(m_plugin)->m_timerWindow.Handle(), WM_TIMER, RefreshTimerWindow::kTimerId, 0);
    EXPECT_EQ(Headings(), (Texts{L"0 new: "}));
    EXPECT_TRUE(m_channels->reports().empty());
}

TEST_F(Refresh, FeedsInListOrderSharedTitlesOnceAndFailuresSkipped)
{
    m_server.Serve("/one.xml", RssDocument(RssEntry("Z", "http://z") + RssEntry("Shared", "http://one")));
    m_server.Serve("/three.xml", RssDocument(RssEntry("A", "http://a") + RssEntry("Shared", "http://three")));
    SetFeeds({"/one.xml", "/missing.xml", "/three.xml"});
    Start();
    // Each successful load adds its new entries in title order, after the earlier feeds'.
    EXPECT_EQ(Headings(), (Texts{L"Shared: ", L"Z: ", L"A: "}));
    EXPECT_EQ(Panel().items[0].state->snippet.value(), L"Shared:\n\n\nhttp://one");
    const std::vector<std::string> paths = {"/one.xml", "/missing.xml", "/three.xml"};
    EXPECT_EQ(m_server.Requests(), paths);
}

TEST_F(Refresh, RecordsOfAFailedLoadWaitForTheNextGoodOne)
{
    std::string broken = RssDocument(RssEntry("M", "http://m") + RssEntry("K", "http://k"));
    broken.replace(broken.rfind("</rss>"), 6, "<oops></rss>");
    m_server.Serve("/broken.xml", broken);
    m_server.Serve("/good.xml", RssDocument(RssEntry("L", "http://l")));
    SetFeeds({"/broken.xml", "/good.xml"});
    Start();
    EXPECT_EQ(Headings(), (Texts{L"K: ", L"L: ", L"M: "}));
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

TEST_F(Refresh, AtomFeedsShowBesideRssFeeds)
{
    m_server.Serve("/news.xml", RssDocument(RssEntry("Shared", "http://rss.test/shared", "from RSS") +
                                            RssEntry("B rss", "http://rss.test/b")));
    m_server.Serve("/project/releases.atom",
                   "<?xml version=\"1.0\"?><feed xmlns=\"http://www.w3.org/2005/Atom\"><title>Releases</title>"
                   "<entry><title>Shared</title><link href=\"http://atom.test/shared\"/></entry>"
                   "<entry><title>A atom</title><link rel=\"alternate\" href=\"tags/a\"/>"
                   "<summary>Notes &amp; more</summary><updated>2024-01-01T00:00:00Z</updated></entry></feed>");
    SetFeeds({"/news.xml", "/project/releases.atom"});
    Start();
    // Each feed's new entries in title order; the shared title once, from the feed read first.
    EXPECT_EQ(Headings(), (Texts{L"B rss: ", L"Shared: ", L"A atom: "}));
    EXPECT_EQ(Panel().items[1].state->snippet.value(), L"Shared:\nfrom RSS\n\nhttp://rss.test/shared");
    EXPECT_EQ(Panel().items[2].state->snippet.value(),
              L"A atom:\nNotes & more\n\n" + vexatest::Widen(m_server.Url("/project/tags/a")));
    Impl(m_plugin)->Refresh(false);
    EXPECT_EQ(Headings().size(), 3u);
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
    vexa::RegKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, CRegistryHelper::kKeyPath, 0, KEY_READ, &key.m_hKey),
              ERROR_SUCCESS);
    DWORD values = 99;
    RegQueryInfoKeyW(key.m_hKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                     nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(values, 0u);
    EXPECT_EQ(Requests(), 0u);
}

TEST_F(Refresh, ANestedRefreshFromAHostCallIsDropped)
{
    m_server.Serve("/a.xml", RssDocument(RssEntry("A", "http://a") + RssEntry("B", "http://b")));
    SetFeeds({"/a.xml"});
    Start();
    m_server.Serve("/a.xml", RssDocument(RssEntry("A", "http://a") + RssEntry("B", "http://b") +
                                         RssEntry("C", "http://c")));
    IVexaPlugin* plugin = vexa::query<IVexaPlugin>(m_plugin.get()).get();
    int nested = 0;
    Host().setObserver([&](const std::wstring& line) {
        if (line.rfind(L"AddContentItem", 0) == 0 && nested++ == 0)
            plugin->put_Value1(nullptr);
    });
    Host().clearLog();
    Impl(m_plugin)->Refresh(false);
    Host().setObserver(nullptr);
    EXPECT_EQ(Headings(), (Texts{L"A: ", L"B: ", L"C: "}));
    for (const std::wstring& call : Host().calls())
        EXPECT_NE(call, L"RemoveAllContentItems");
}

} // namespace
