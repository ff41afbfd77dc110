// The plugin object: interface table, start-up, host callbacks, Value1, persistence, site
// and property pages.
#include <windows.h>
#include <ocidl.h>

#include <gtest/gtest.h>

#include "com/check.h"
#include "com/owners.h"
#include "plugin/feedaddress.h"
#include "resources/resource.h"
#include "tests/support/plugin_fixture.h"

using namespace vexa;

using vexa::com_ptr;

namespace {

std::wstring ResourceString(UINT id)
{
    const wchar_t* text = nullptr;
    int n = LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
    return std::wstring(text, n);
}

com_ptr<IStream> StreamOf(const std::vector<BYTE>& bytes)
{
    com_ptr<IStream> stream;
    EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()), S_OK);
    ULONG written = 0;
    if (!bytes.empty()) stream->Write(bytes.data(), (ULONG)bytes.size(), &written);
    LARGE_INTEGER zero = {};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    return stream;
}

std::vector<BYTE> Contents(IStream* stream)
{
    STATSTG stat = {};
    stream->Stat(&stat, STATFLAG_NONAME);
    std::vector<BYTE> bytes((size_t)stat.cbSize.QuadPart);
    LARGE_INTEGER zero = {};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    ULONG read = 0;
    if (!bytes.empty()) stream->Read(bytes.data(), (ULONG)bytes.size(), &read);
    return bytes;
}

class Plugin : public vexatest::PluginTest {};

TEST_F(Plugin, InterfaceTableAndIdentities)
{
    com_ptr<IUnknown> plugin = CreatePlugin();
    auto vexaPlugin = vexa::query<IVexaPlugin>(plugin.get());
    auto dispatch = vexa::query<IDispatch>(plugin.get());
    ASSERT_TRUE(vexaPlugin && dispatch);
    EXPECT_EQ((void*)plugin.get(), (void*)vexaPlugin.get());
    EXPECT_EQ((void*)dispatch.get(), (void*)vexaPlugin.get());
    auto persistInit = vexa::query<IPersistStreamInit>(plugin.get());
    auto persist = vexa::query<IPersist>(plugin.get());
    EXPECT_EQ((void*)persist.get(), (void*)persistInit.get());
    EXPECT_TRUE(vexa::query<IObjectWithSite>(plugin.get()));
    EXPECT_TRUE(vexa::query<IDisplayPluginHandler>(plugin.get()));
    EXPECT_TRUE(vexa::query<ISpecifyPropertyPages>(plugin.get()));

    // Delegated to the aggregated host helper, which answers for the plugin's identity.
    EXPECT_EQ(host::LiveObjects(), m_startHostObjects + 2); // two class objects
    auto helper = vexa::query<IDisplayPluginHelper>(plugin.get());
    ASSERT_TRUE(helper);
    EXPECT_EQ(vexa::query<IUnknown>(helper.get()).get(), plugin.get());
    EXPECT_EQ(host::LiveObjects(), m_startHostObjects + 3);

    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(plugin->QueryInterface(IID_IOleObject, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(plugin->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

    // The last release frees the plugin and its helper.
    helper.reset();
    vexaPlugin.reset();
    dispatch.reset();
    persist.reset();
    persistInit.reset();
    plugin.reset();
    EXPECT_EQ(host::LiveObjects(), m_startHostObjects + 2);
}

TEST_F(Plugin, StartUpGivesTheHostItsIconsTextsAndFlagsInOrder)
{
    com_ptr<IUnknown> plugin = CreatePlugin();
    ASSERT_EQ(InitNew(plugin), S_OK);
    const std::vector<std::wstring> expected = {
        L"SetIcons(picture, picture)",
        L"put_about_text(" + ResourceString(IDS_ABOUT) + L")",
        L"put_title(Cindral  Plugin)",
        L"SetDisplayFlags(0, 1)",
        L"RemoveAllContentItems()",
    };
    EXPECT_EQ(Host().log(), expected);
    EXPECT_EQ(Panel().title.value(), L"Cindral  Plugin");
    EXPECT_TRUE(Panel().smallIcon && Panel().largeIcon);
    CVexaPlugin* impl = Impl(plugin);
    EXPECT_TRUE(impl->ContentIcon());
    EXPECT_TRUE(impl->Store());
    HWND window = impl->TimerWindow();
    ASSERT_TRUE(IsWindow(window));
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_TRUE(m_channels->reports().empty());

    // A second start-up is refused and changes nothing.
    Host().clearLog();
    EXPECT_EQ(InitNew(plugin), E_UNEXPECTED);
    com_ptr<IStream> stream = StreamOf({0x10, 0x07, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(vexa::query<IPersistStreamInit>(plugin.get())->Load(stream), E_UNEXPECTED);
    EXPECT_EQ(impl->TimerWindow(), window);
    EXPECT_TRUE(Host().log().empty());

    impl = nullptr;
    plugin.reset();
    EXPECT_FALSE(IsWindow(window));
}

TEST_F(Plugin, FailingHostCallsAreReportedAndTheStartUpGoesOn)
{
    for (const auto& [call, hr] : {std::pair{L"SetIcons", E_FAIL}, {L"put_about_text", E_OUTOFMEMORY}, {L"put_title", E_ACCESSDENIED},
                                   {L"SetDisplayFlags", E_FAIL}, {L"RemoveAllContentItems", E_FAIL}})
        Host().failOn(call, hr);
    com_ptr<IUnknown> plugin = CreatePlugin();
    EXPECT_EQ(InitNew(plugin), S_OK);
    const std::vector<std::string> expected = {
        "((HRESULT)(helper->SetIcons(m_smallIcon, m_largeIcon)) >= 0)",
        "((HRESULT)(helper->put_about_text(aboutText)) >= 0)",
        "((HRESULT)(helper->put_title(title)) >= 0)",
        "((HRESULT)(helper->RemoveAllContentItems()) >= 0)",
    };
    EXPECT_EQ(m_channels->reports(), expected);
    EXPECT_TRUE(Impl(plugin)->Store());
}

class PluginWithoutHelperClass : public vexatest::PluginTest {
    unsigned HostClasses() const override { return host::ClassRegistration::ContentItemHelper; }
};

TEST_F(PluginWithoutHelperClass, StartUpFailsAndNothingRefreshes)
{
    com_ptr<IUnknown> plugin = CreatePlugin();
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(plugin->QueryInterface(IID_IDisplayPluginHelper, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(InitNew(plugin), E_FAIL);
    CVexaPlugin* impl = Impl(plugin);
    EXPECT_FALSE(impl->Store());
    // The timer already runs; a tick, a Value1 write or a display change touch nothing.
    EXPECT_TRUE(IsWindow(impl->TimerWindow()));
    SendMessageW(impl->TimerWindow(), WM_TIMER, RefreshTimerWindow::kTimerId, 0);
    vexa::unique_bstr text = vexa::unique_bstr::from(L"x");
    EXPECT_EQ(vexa::query<IVexaPlugin>(plugin.get())->put_Value1(text), S_OK);
    EXPECT_EQ(vexa::query<IDisplayPluginHandler>(plugin.get())->DisplayStateChanged(2), S_OK);
    EXPECT_EQ(m_channels->reports(), std::vector<std::string>{"helper != 0"});
    EXPECT_TRUE(Host().log().empty());
}

TEST_F(Plugin, HostCallbacks)
{
    com_ptr<IUnknown> plugin = CreatePlugin();
    ASSERT_EQ(InitNew(plugin), S_OK);
    auto handler = vexa::query<IDisplayPluginHandler>(plugin.get());
    Host().clearLog();
    for (const auto& [command, hr] : {std::pair{1, E_NOTIMPL}, {0, S_OK}, {2, S_OK}})
        EXPECT_EQ(handler->HandleCommand(command), hr) << command;
    for (int state : {0, 3}) EXPECT_EQ(handler->DisplayStateChanged(state), S_OK) << state;
    EXPECT_TRUE(Host().log().empty());
    for (int state : {1, 2}) EXPECT_EQ(handler->DisplayStateChanged(state), S_OK) << state;
    const std::vector<std::wstring> titles = {L"put_title(Cindral  Plugin)", L"put_title(Cindral  Plugin)"};
    EXPECT_EQ(Host().log(), titles);
}

TEST_F(Plugin, Value1)
{
    com_ptr<IUnknown> plugin = CreatePlugin();
    auto vexaPlugin = vexa::query<IVexaPlugin>(plugin.get());
    EXPECT_EQ(vexaPlugin->get_Value1(nullptr), E_POINTER);
    ASSERT_EQ(InitNew(plugin), S_OK);
    vexa::unique_bstr value;
    EXPECT_EQ(vexaPlugin->get_Value1(value.put()), S_OK);
    ASSERT_TRUE(value.get());
    EXPECT_EQ(value.str(), L"");

    Host().clearLog();
    vexa::unique_bstr text = vexa::unique_bstr::from(L"anything");
    EXPECT_EQ(vexaPlugin->put_Value1(text), S_OK);
    EXPECT_EQ(vexaPlugin->get_Value1(value.put()), S_OK);
    EXPECT_EQ(value.str(), L"none");
    EXPECT_EQ(vexaPlugin->put_Value1(nullptr), S_OK);
    EXPECT_EQ(Panel().clears, 3); // start-up and two writes
    ASSERT_FALSE(Host().log().empty());
    EXPECT_EQ(Host().log()[0], L"RemoveAllContentItems()");

    // IDispatch comes from the registered type library, or fails with the lookup's error.
    auto dispatch = vexa::query<IDispatch>(plugin.get());
    UINT count = 0;
    EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(dispatch->GetTypeInfoCount(nullptr), E_POINTER);
    com_ptr<ITypeLib> lib;
    HRESULT libHr = LoadRegTypeLib(LIBID_VexaLib, 1, 0, LOCALE_USER_DEFAULT, lib.put());
    com_ptr<ITypeInfo> info;
    HRESULT infoHr = dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put());
    if (VEXA_FAILED(libHr))
        EXPECT_EQ(infoHr, libHr);
    else
        EXPECT_EQ(infoHr, S_OK);
}

TEST_F(Plugin, PersistedStream)
{
    com_ptr<IUnknown> plugin = CreatePlugin();
    auto persist = vexa::query<IPersistStreamInit>(plugin.get());
    CLSID clsid = {};
    EXPECT_EQ(persist->GetClassID(&clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_VexaPlugin));
    EXPECT_EQ(persist->GetClassID(nullptr), E_POINTER);
    ULARGE_INTEGER size = {};
    EXPECT_EQ(persist->GetSizeMax(&size), S_OK);
    EXPECT_EQ(size.QuadPart, 8u);
    EXPECT_EQ(persist->GetSizeMax(nullptr), E_POINTER);
    EXPECT_EQ(persist->Save(nullptr, TRUE), E_POINTER);

    ASSERT_EQ(persist->InitNew(), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_OK);
    com_ptr<IStream> saved = StreamOf({});
    EXPECT_EQ(persist->Save(saved, TRUE), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_OK); // Save leaves the flag alone
    const std::vector<BYTE> expected = {0x10, 0x07, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Contents(saved), expected);

    // A saved stream (any bytes in the item) loads and starts a new plugin.
    com_ptr<IUnknown> loaded = CreatePlugin();
    auto loadedPersist = vexa::query<IPersistStreamInit>(loaded.get());
    com_ptr<IStream> random = StreamOf({0x10, 0x07, 0, 0, 0xEF, 0xBE, 0xAD, 0xDE});
    EXPECT_EQ(loadedPersist->Load(random), S_OK);
    EXPECT_EQ(loadedPersist->IsDirty(), S_FALSE);
    EXPECT_TRUE(Impl(loaded)->Store());
}

TEST_F(Plugin, StreamsThatDoNotLoadStartNothing)
{
    struct Case {
        std::vector<BYTE> bytes;
        HRESULT hr;
    };
    const Case cases[] = {
        {{0x11, 0x07, 0, 0, 0, 0, 0, 0}, E_FAIL}, // version 1809
        {{0x10, 0x07}, E_FAIL},                   // ends inside the version
        {{0x10, 0x07, 0, 0, 1}, E_FAIL},          // ends inside the item
    };
    for (const Case& c : cases) {
        com_ptr<IUnknown> plugin = CreatePlugin();
        auto persist = vexa::query<IPersistStreamInit>(plugin.get());
        com_ptr<IStream> stream = StreamOf(c.bytes);
        EXPECT_EQ(persist->Load(stream), c.hr);
        EXPECT_FALSE(Impl(plugin)->TimerWindow());
        EXPECT_FALSE(Impl(plugin)->Store());
    }
    com_ptr<IUnknown> plugin = CreatePlugin();
    EXPECT_EQ(vexa::query<IPersistStreamInit>(plugin.get())->Load(nullptr), E_POINTER);
    EXPECT_TRUE(Host().log().empty());
}

TEST_F(Plugin, SiteAndPropertyPages)
{
    com_ptr<IUnknown> plugin = CreatePlugin();
    auto withSite = vexa::query<IObjectWithSite>(plugin.get());
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(withSite->GetSite(IID_IUnknown, &out), E_FAIL);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(withSite->GetSite(IID_IUnknown, nullptr), E_POINTER);

    com_ptr<IUnknown> site;
    ASSERT_EQ(host::CreateSite(IID_IUnknown, site.put_void()), S_OK);
    EXPECT_EQ(withSite->SetSite(site), S_OK);
    com_ptr<IDisplaySite> back;
    EXPECT_EQ(withSite->GetSite(IID_IDisplaySite, back.put_void()), S_OK);
    EXPECT_EQ(vexa::query<IUnknown>(back.get()).get(), site.get());
    // Setting a site starts nothing.
    EXPECT_TRUE(Host().log().empty());
    EXPECT_FALSE(Impl(plugin)->TimerWindow());
    EXPECT_EQ(withSite->SetSite(nullptr), S_OK);
    EXPECT_EQ(withSite->GetSite(IID_IUnknown, back.put_void()), E_FAIL);

    auto pages = vexa::query<ISpecifyPropertyPages>(plugin.get());
    EXPECT_EQ(pages->GetPages(nullptr), E_POINTER);
    CAUUID list = {};
    ASSERT_EQ(pages->GetPages(&list), S_OK);
    ASSERT_EQ(list.cElems, 1u);
    EXPECT_TRUE(IsEqualGUID(list.pElems[0], CLSID_VexaPluginPropertyPage));
    CoTaskMemFree(list.pElems);
}

TEST_F(Plugin, TimerTickRefreshesWithoutClearing)
{
    com_ptr<IUnknown> plugin = CreatePlugin();
    ASSERT_EQ(InitNew(plugin), S_OK);
    com_ptr<IUnknown> site;
    ASSERT_EQ(host::CreateSite(IID_IUnknown, site.put_void()), S_OK);
    vexa::query<IObjectWithSite>(plugin.get())->SetSite(site);
    Host().setDisplayState(2);
    Host().clearLog();
    HWND window = Impl(plugin)->TimerWindow();
    SendMessageW(window, WM_TIMER, 7, 0); // another timer: ignored
    EXPECT_TRUE(Host().log().empty());
    SendMessageW(window, WM_TIMER, RefreshTimerWindow::kTimerId, 0);
    const std::vector<std::wstring> expected = {L"get_display_state()", L"put_title(Cindral  Plugin)"};
    EXPECT_EQ(Host().log(), expected);
    vexa::query<IObjectWithSite>(plugin.get())->SetSite(nullptr);
    plugin.reset();

    // The class can be unregistered once no window is left, and is registered again on use.
    RefreshTimerWindow::UnregisterWindowClass();
    com_ptr<IUnknown> again = CreatePlugin();
    EXPECT_EQ(InitNew(again), S_OK);
    EXPECT_TRUE(IsWindow(Impl(again)->TimerWindow()));
}

} // namespace

// A listed address becomes the store's key up to its first NUL; one holding a surrogate
// without its other half has no UTF-8 form and is refused (its feed is "the address cannot be
// read"), never loaded under a changed address.
TEST(FeedAddressFromList, SurrogatesAndNul)
{
    const struct { std::wstring listed; bool readable; const char* key; } rows[] = {
        {L"http://a/b.xml", true, "http://a/b.xml"},
        {L"http://a/\xD83D\xDE00.xml", true, "http://a/\xF0\x9F\x98\x80.xml"},
        {std::wstring(L"http://a/b.xml\0junk", 19), true, "http://a/b.xml"},
        {std::wstring(L"http://a/b.xml\0\xD83D", 16), true, "http://a/b.xml"},
        {L"http://a/\xD83D.xml", false, ""},
        {L"http://a/\xDE00\xD83D", false, ""},
        {L"http://a/\xD83D", false, ""},
    };
    for (const auto& row : rows) {
        vexa::FeedAddress address;
        EXPECT_EQ(vexa::FeedAddress::FromList(row.listed, address), row.readable) << row.key;
        if (row.readable) {
            EXPECT_EQ(address.key, row.key);
        }
    }
}
