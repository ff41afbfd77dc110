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

TEST_F(Refresh, AValue1WriteFromAHostCallRunsRightAfterTheRunningRefresh)
{
    m_server.Serve("/a.xml", RssDocument(RssEntry("A", "http://a") + RssEntry("B", "http://b")));
    SetFeeds({"/a.xml"});
    Start();
    m_server.Serve("/a.xml", RssDocument(RssEntry("A", "http://a") + RssEntry("B", "http://b") +
                                         RssEntry("C", "http://c")));
    IVexaPlugin* plugin = vexa::query<IVexaPlugin>(m_plugin.get()).get();
    int nested = 0;
    HRESULT nestedResult = E_FAIL;
    Host().setObserver([&](const std::wstring& line) {
        if (line.rfind(L"AddContentItem", 0) == 0 && nested++ == 0)
            nestedResult = plugin->put_Value1(nullptr);
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
    EXPECT_EQ(Impl(m_plugin)->m_value1, L"none");
    // A tick from inside a host call is still dropped.
    nested = 0;
    Host().setObserver([&](const std::wstring& line) {
        if (line.rfind(L"RemoveAllContentItems", 0) == 0 && nested++ == 0)
            Impl(m_plugin)->Refresh(false);
    });
    m_server.ClearRequests();
    EXPECT_EQ(plugin->put_Value1(nullptr), S_OK);
    Host().setObserver(nullptr);
    EXPECT_EQ(m_server.Requests(), (std::vector<std::string>{"/a.xml"}));
}

} // namespace
