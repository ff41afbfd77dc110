// Content items: the texts and properties ShowFeedItem gives the host, the item object's
// interface table and callbacks, and the link that opening an item launches.
#include <windows.h>

#include <gtest/gtest.h>

#include "com/check.h"
#include "com/owners.h"
#include "format/rssitem.h"
#include "tests/support/plugin_fixture.h"

using namespace vexa;

using vexa::com_ptr;

namespace {

struct Launch {
    HWND owner;
    std::wstring verb, file;
    bool params, directory;
    INT show;
};
std::vector<Launch> g_launches;

HINSTANCE WINAPI RecordLaunch(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR params, LPCWSTR dir, INT show)
{
    g_launches.push_back({owner, verb ? verb : L"", file ? file : L"", params != nullptr, dir != nullptr, show});
    return reinterpret_cast<HINSTANCE>(42);
}

class ContentItem : public vexatest::PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        g_launches.clear();
        m_oldLaunch = SetShellExecuteFn(RecordLaunch);
        m_plugin = CreatePlugin();
        ASSERT_EQ(InitNew(m_plugin), S_OK);
        Host().clearLog();
        m_channels->clear();
    }
    void TearDown() override
    {
        m_plugin.reset();
        SetShellExecuteFn(m_oldLaunch);
        PluginTest::TearDown();
    }

    // Shows one record and returns the panel entry it became.
    const host::PanelItem& Show(CRssItem& record)
    {
        size_t before = Panel().items.size();
        Impl(m_plugin)->ShowFeedItem(&record);
        EXPECT_EQ(Panel().items.size(), before + 1);
        return Panel().items.back();
    }
    static CRssItem Record(const std::string& title, const std::string& description, const std::string& link)
    {
        CRssItem record;
        record.Title = record.RssID = title;
        record.Description = description;
        record.Genre = link;
        return record;
    }
    // Opens the item of a record and returns what was launched (empty when nothing).
    std::wstring OpenedUrl(const std::string& title, const std::string& description, const std::string& link)
    {
        CRssItem record = Record(title, description, link);
        const host::PanelItem& item = Show(record);
        g_launches.clear();
        auto handler = vexa::query<IDisplayContentItemHandler>(item.item.get());
        EXPECT_EQ(handler->OpenItem(), S_OK);
        if (g_launches.empty()) return L"";
        EXPECT_EQ(g_launches.size(), 1u);
        const Launch& launch = g_launches[0];
        EXPECT_EQ(launch.owner, nullptr);
        EXPECT_EQ(launch.verb, L"open");
        EXPECT_FALSE(launch.params || launch.directory);
        EXPECT_EQ(launch.show, SW_SHOW);
        return launch.file;
    }

    com_ptr<IUnknown> m_plugin;
    ShellExecuteFn m_oldLaunch = nullptr;
};

TEST_F(ContentItem, TextsPropertiesAndCallOrder)
{
    CRssItem record = Record("News", "Text", "http://example.test/a");
    SYSTEMTIME now;
    GetSystemTime(&now);
    DATE before = 0;
    SystemTimeToVariantTime(&now, &before);
    const host::PanelItem& item = Show(record);
    EXPECT_TRUE(record.IsShown);

    const host::ItemState& state = *item.state;
    EXPECT_EQ(state.heading.value(), L"News: ");
    EXPECT_EQ(state.source.value(), L"Text");
    EXPECT_EQ(state.tooltip.value(), L"News: \n Text");
    EXPECT_EQ(state.snippet.value(), L"News:\nText\n\nhttp://example.test/a");
    EXPECT_EQ(state.flags.value(), 0);
    EXPECT_EQ(state.layout.value(), 1);
    EXPECT_EQ(state.image.get(), Impl(m_plugin)->ContentIcon());
    EXPECT_NE(state.image.get(), nullptr);
    EXPECT_EQ(item.addFlags, 9);
    // Within a few seconds of now (one second is 1/86400 of a day), in UTC.
    EXPECT_NEAR(state.timeCreated.value(), before, 5.0 / 86400);

    const std::vector<std::wstring> calls = {L"put_heading", L"put_tooltip", L"put_source",
        L"put_time_created", L"put_snippet", L"put_flags", L"put_image", L"put_layout", L"AddContentItem"};
    EXPECT_EQ(Host().calls(), calls);
    EXPECT_TRUE(m_channels->reports().empty());

    // An empty description.
    CRssItem empty = Record("T", "", "http://g");
    const host::ItemState& emptyState = *Show(empty).state;
    EXPECT_EQ(emptyState.source.value(), L"");
    EXPECT_EQ(emptyState.tooltip.value(), L"T: \n ");
    EXPECT_EQ(emptyState.snippet.value(), L"T:\n\n\nhttp://g");
}

TEST_F(ContentItem, TextsInEveryScriptReachTheHostAsWritten)
{
    // The record's UTF-8 texts: Chinese, Cyrillic, Latin-1 with a euro sign, an emoji and
    // right-to-left and zero-width marks; the same whatever the thread's code page.
    const std::string title = "\xE5\x8C\x97\xE4\xBA\xAC \xD0\x9D\xD0\xBE\xD0\xB2 Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";
    const std::string body = "na\xC3\xAFve \xE2\x80\x8F\xD7\xA9\xE2\x80\x8B";
    const std::string link = "http://example.test/\xD0\xBD\xD0\xBE\xD0\xB2?q=\xC3\xA9";
    const std::wstring wTitle = L"\x5317\x4EAC \x041D\x043E\x0432 Caf\x00E9 \x20AC \xD83D\xDE00";
    const std::wstring wBody = L"na\x00EFve \x200F\x05E9\x200B";
    const std::wstring wLink = L"http://example.test/\x043D\x043E\x0432?q=\x00E9";
    for (unsigned codePage : {1252u, 1251u, 932u, 65001u}) {
        vexatest::ThreadCodePage page(codePage);
        CRssItem record = Record(title, body, link);
        const host::ItemState& state = *Show(record).state;
        EXPECT_EQ(state.heading.value(), wTitle + L": ") << codePage;
        EXPECT_EQ(state.source.value(), wBody);
        EXPECT_EQ(state.tooltip.value(), wTitle + L": \n " + wBody);
        EXPECT_EQ(state.snippet.value(), wTitle + L":\n" + wBody + L"\n\n" + wLink);
        // The link opens as written; the browser encodes it for the wire.
        EXPECT_EQ(OpenedUrl(title, body, link), wLink) << codePage;
    }
    // Bytes that are not UTF-8 (no reader delivers them) become U+FFFD, one for each.
    CRssItem broken = Record("a\xFF" "b\xE2\x82", "", "");
    EXPECT_EQ(Show(broken).state->heading.value(), L"a\xFFFD" L"b\xFFFD: ");
}

// The link an opened item launches: its own when http(s), else the first address of the texts.
TEST_F(ContentItem, OpenedLinks)
{
    const struct { const char *title, *description, *link; const wchar_t* opened; } rows[] = {
        {"News", "Text", "http://example.test/a", L"http://example.test/a"},
        {"http://title", "Text", "http://example.test/a", L"http://example.test/a"},
        {"News", "<img src=\"http://i.test/p.png\">", "http://example.test/a", L"http://example.test/a"},
        // Without a link, the first address in the snippet, up to a character no address holds.
        {"News", "see http://d.test/x here", "", L"http://d.test/x"},
        {"News", "a <a href=\"https://s.test/\">pretty good</a> story http://d.test", "", L"https://s.test/"},
        {"News", "Text", "http://example.test/a b", L"http://example.test/a"},
        {"News", "Text", "http://example.test/a  \n \t\n", L"http://example.test/a"},
        {"A http://t", "Text", "ftp://x", L"http://t:"},
        {"News", "Text", "", L""},
        {"News", "Text", "HTTP://upper.test", L""}, // case-sensitive
        {"News", "Text", "https://example.test/a", L"https://example.test/a"},
        {"News", "Text", "\n  https://example.test/a \n", L"https://example.test/a"},
        // An address in the description does not hide the link on the last line.
        {"News", "see https://d.test/x", "http://example.test/a", L"http://example.test/a"},
        {"News", "see https://d.test/x", "https://example.test/a", L"https://example.test/a"},
        {"News", "<img src=\"http://i.test/p.png\">", "https://example.test/a", L"https://example.test/a"},
        {"News", "Text", "https://example.test/a b", L"https://example.test/a"},
        {"News", "Text", "ftp://example.test/a", L""},
        {"https://title", "Text", "https://example.test/a", L"https://example.test/a"},
        {"https://title", "Text", "", L"https://title:"},
        {"News", "Text", "HTTPS://upper.test", L""},
        {"News", "Text", "Https://upper.test", L""},
        {"News", "Text", "https://", L"https://"},
        {"News", "https:/ x", "http://example.test/a", L"http://example.test/a"}, // "https:/" is neither scheme
    };
    for (const auto& row : rows)
        EXPECT_EQ(OpenedUrl(row.title, row.description, row.link), row.opened) << row.title << " | " << row.link;
}

TEST_F(ContentItem, HandlerSlots)
{
    CRssItem record = Record("News", "Text", "http://example.test/a");
    com_ptr<IUnknown> item = Show(record).item;
    auto handler = vexa::query<IDisplayContentItemHandler>(item.get());
    ASSERT_TRUE(handler);
    struct Case {
        LONG flags;
        HRESULT hr;
        size_t launches;
    };
    for (const Case& c : {Case{0, E_NOTIMPL, 0}, Case{1, S_OK, 1}, Case{2, E_NOTIMPL, 0}, Case{3, S_OK, 1}}) {
        g_launches.clear();
        EXPECT_EQ(handler->HandleActivation(c.flags), c.hr) << c.flags;
        EXPECT_EQ(g_launches.size(), c.launches) << c.flags;
    }
    EXPECT_EQ(handler->Reserved7(1, 2, 3), E_NOTIMPL);
    EXPECT_EQ(handler->Reserved8(1, 2, 3, 4), E_NOTIMPL);
    EXPECT_EQ(handler->Reserved10(), E_NOTIMPL);
    EXPECT_EQ(handler->Reserved11(1, 2, 3, 4), E_NOTIMPL);
    EXPECT_EQ(handler->Reserved12(1, 2, 3, 4), E_NOTIMPL);
    VARIANT_BOOL cancel = VARIANT_FALSE;
    EXPECT_EQ(handler->HandleCancelQuery(&cancel), E_NOTIMPL);
    EXPECT_TRUE(m_channels->reports().empty());
    EXPECT_EQ(handler->HandleCancelQuery(nullptr), E_NOTIMPL);
    EXPECT_EQ(m_channels->reports(), std::vector<std::string>{"cancel != 0"});

    // The handler's IDispatch looks in Vexa's own library, which does not describe it.
    UINT count = 0;
    EXPECT_EQ(handler->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    com_ptr<ITypeLib> lib;
    HRESULT libHr = LoadRegTypeLib(LIBID_VexaLib, 1, 0, LOCALE_USER_DEFAULT, lib.put());
    com_ptr<ITypeInfo> info;
    HRESULT hr = handler->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put());
    EXPECT_EQ(hr, VEXA_FAILED(libHr) ? libHr : TYPE_E_ELEMENTNOTFOUND);
    LPOLESTR name = const_cast<LPOLESTR>(L"OpenItem");
    DISPID id = 0;
    EXPECT_EQ(handler->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id), hr);

    // Identity is the handler; the helper answers for the item; IDispatch itself goes to the
    // helper, which does not give it.
    auto helper = vexa::query<IDisplayContentItemHelper>(item.get());
    ASSERT_TRUE(helper);
    auto identity = vexa::query<IUnknown>(item.get());
    EXPECT_EQ(vexa::query<IUnknown>(helper.get()).get(), identity.get());
    EXPECT_EQ((void*)identity.get(), (void*)handler.get());
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(item->QueryInterface(IID_IDispatch, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
}

TEST_F(ContentItem, ItemsHoldTheModuleUntilTheHostLetsGo)
{
    long locks = vexa::Module::LockCount();
    CRssItem a = Record("A", "", "");
    CRssItem b = Record("B", "", "");
    Show(a);
    Show(b);
    EXPECT_EQ(vexa::Module::LockCount(), locks + 2);
    long hostObjects = host::LiveObjects();
    ASSERT_EQ(vexa::query<IDisplayPluginHelper>(m_plugin.get())->RemoveAllContentItems(), S_OK);
    EXPECT_EQ(vexa::Module::LockCount(), locks);
    EXPECT_EQ(host::LiveObjects(), hostObjects - 2); // their helpers went with them
}

TEST_F(ContentItem, FailingHostCallsAreReportedEachAndTheRecordStaysShown)
{
    for (const wchar_t* op : {L"put_heading", L"put_tooltip", L"put_source", L"put_time_created",
                              L"put_snippet", L"put_flags", L"put_image", L"put_layout", L"AddContentItem"})
        Host().failOn(op, E_FAIL);
    long locks = vexa::Module::LockCount();
    CRssItem record = Record("News", "Text", "http://x");
    Impl(m_plugin)->ShowFeedItem(&record);
    EXPECT_TRUE(record.IsShown);
    EXPECT_TRUE(Panel().items.empty());
    EXPECT_EQ(vexa::Module::LockCount(), locks); // the refused item was freed
    const std::vector<std::string> expected = {
        "((HRESULT)(itemHelper->put_heading(bstrTitle)) >= 0)",
        "((HRESULT)(itemHelper->put_tooltip(bstrToolTip)) >= 0)",
        "((HRESULT)(itemHelper->put_source(bstrBody)) >= 0)",
        "((HRESULT)(itemHelper->put_time_created(timeCreated)) >= 0)",
        "((HRESULT)(itemHelper->put_snippet(bstrSnip)) >= 0)",
        "((HRESULT)(itemHelper->put_flags( static_cast<DisplayContentItemFlags>(flags))) >= 0)",
        "((HRESULT)(itemHelper->put_image(m_contentIcon)) >= 0)",
        "((HRESULT)(itemHelper->put_layout( static_cast<DisplayContentItemLayout>(contentLayout))) >= 0)",
        "((HRESULT)(pluginHelper->AddContentItem(item, item_flags)) >= 0)",
    };
    EXPECT_EQ(m_channels->reports(), expected);
}

TEST_F(ContentItem, UnreadableSnippetOpensNothing)
{
    CRssItem record = Record("News", "Text", "http://x");
    com_ptr<IUnknown> item = Show(record).item;
    Host().failOn(L"get_snippet", E_FAIL);
    g_launches.clear();
    EXPECT_EQ(vexa::query<IDisplayContentItemHandler>(item.get())->OpenItem(), S_OK);
    EXPECT_TRUE(g_launches.empty());
    EXPECT_EQ(m_channels->reports(), std::vector<std::string>{"((HRESULT)(helper->get_snippet(&snippet)) >= 0)"});
}

class ContentItemWithoutItemHelper : public vexatest::PluginTest {
    unsigned HostClasses() const override { return host::ClassRegistration::PluginHelper; }
};

TEST_F(ContentItemWithoutItemHelper, NoItemIsAddedAndNothingCrashes)
{
    com_ptr<IUnknown> plugin = CreatePlugin();
    ASSERT_EQ(InitNew(plugin), S_OK);
    Host().clearLog();
    CRssItem record;
    record.Title = "News";
    Impl(plugin)->ShowFeedItem(&record);
    EXPECT_TRUE(record.IsShown);
    EXPECT_TRUE(Host().log().empty());
    EXPECT_EQ(m_channels->reports(), std::vector<std::string>{"itemHelper != 0"});
}

} // namespace
