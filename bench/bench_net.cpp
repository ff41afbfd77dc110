// Network benchmark: the real plugin and the host stand-in against loopback servers that
// answer each request 300 ms late. Every figure is a ratio against a floor measured in the
// same run:
//   - a first refresh of 20 feeds on 10 servers (two each) against one feed's;
//   - the host thread's time in a tick with one silent feed among them, against the 2 s wait;
//   - an unchanged refresh against servers that answer 304 (no latency), against the bare
//     parse of the same feeds, and the feed bytes it transferred;
//   - many unchanged ticks: growth of live objects, threads, handles and private bytes.
//
// Usage: bench_net [unchanged-tick-count]   (default 200)
#define PSAPI_VERSION 2
#include <windows.h>
#include <objbase.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "com/module.h"
#include "feeds/httpfetch.h"
#include "feeds/rssstore.h"
#include "feeds/xmlparser.h"
#include "host/lib/hostlib.h"
#include "plugin/plugin.h"
#include "server/objectmap.h"
#include "settings/registryhelper.h"
#include "tests/support/feedbuilder.h"
#include "tests/support/fixtures.h"
#include "tests/support/httpserver.h"
#include "tests/support/processusage.h"

namespace {

constexpr int kLatencyMs = 300;
constexpr int kServers = 10;
constexpr int kFeedsPerServer = 2;
constexpr int kEntries = 100;

using Clock = std::chrono::steady_clock;
using vexatest::HttpServer;
double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

struct NullHandlers final : IXmlParserCallback {
    void OnStartElement(const XmlElement&) override {}
    void OnCharacters(const std::string&, int) override {}
    void OnEndElement(const XmlElement&) override {}
    void OnError(int, int, const std::string&, HRESULT) override {}
    bool IsAborted(const XmlElement&) override { return false; }
};

void SetFeedList(const std::vector<std::string>& urls)
{
    RegDeleteTreeW(HKEY_CURRENT_USER, CRegistryHelper::kKeyPath);
    vexa::RegKey key;
    RegCreateKeyExW(HKEY_CURRENT_USER, CRegistryHelper::kKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                    nullptr, &key.m_hKey, nullptr);
    for (size_t i = 0; i < urls.size(); ++i) {
        std::wstring name = L"dest[" + std::to_wstring(i) + L"]";
        std::wstring url = vexatest::Widen(urls[i]);
        RegSetValueExW(key.m_hKey, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(url.c_str()),
                       static_cast<DWORD>((url.size() + 1) * sizeof(wchar_t)));
    }
}

// A feed whose titles are its own, so every entry becomes an item.
std::string FeedDocument(int feed)
{
    std::string doc = vexatest::LargeFeed(kEntries, 200);
    for (size_t at = doc.find("Entry "); at != std::string::npos; at = doc.find("Entry ", at + 1))
        doc.replace(at, 5, "F" + std::to_string(feed + 100));
    return doc;
}

HttpServer::Reply Reply(const std::string& body, int latencyMs, const std::string& etag = std::string())
{
    HttpServer::Reply reply;
    reply.body = body;
    reply.latencyMs = latencyMs;
    reply.etag = etag;
    return reply;
}

// One plugin for a measurement: created, started (the first refresh is timed) and released.
struct Plugin {
    Plugin() { CreateVexaPluginInstance(nullptr, IID_IUnknown, unknown.put_void()); }
    ~Plugin()
    {
        unknown.reset();
        host::Host::Get().reset();
    }
    double Start()
    {
        auto t = Clock::now();
        startResult = vexa::query<IPersistStreamInit>(unknown.get())->InitNew();
        return Seconds(t);
    }
    double Tick()
    {
        auto vexaPlugin = vexa::query<IVexaPlugin>(unknown.get());
        HWND window = static_cast<CVexaPlugin*>(vexaPlugin.get())->m_timerWindow.Handle();
        auto t = Clock::now();
        SendMessageW(window, WM_TIMER, RefreshTimerWindow::kTimerId, 0);
        return Seconds(t);
    }
    vexa::com_ptr<IUnknown> unknown;
    HRESULT startResult = E_FAIL;
};

int Run(int ticks)
{
    vexatest::RegistryOverride hkcu(HKEY_CURRENT_USER);
    auto classes = std::make_unique<host::ClassRegistration>();
    host::Host::Get().reset();

    std::vector<std::unique_ptr<HttpServer>> servers;
    for (int s = 0; s < kServers; ++s) {
        servers.push_back(std::make_unique<HttpServer>());
        if (!servers.back()->Start()) {
            std::printf("a loopback server did not start\n");
            return 1;
        }
    }

    // 1. First refresh: one feed, then 20 feeds on 10 servers, all 300 ms late.
    std::vector<std::string> urls;
    for (int f = 0; f < kServers * kFeedsPerServer; ++f) {
        HttpServer& server = *servers[f % kServers];
        std::string path = "/feed" + std::to_string(f) + ".xml";
        server.Serve(path, Reply(FeedDocument(f), kLatencyMs));
        urls.push_back(server.Url(path));
    }
    double one = 0;
    for (int round = 0; round < 3; ++round) {
        SetFeedList({urls[0]});
        Plugin plugin;
        double seconds = plugin.Start();
        if (round == 0 || seconds < one) one = seconds;
    }
    SetFeedList(urls);
    double twenty = 0;
    size_t items = 0;
    for (int round = 0; round < 3; ++round) {
        Plugin plugin;
        double seconds = plugin.Start();
        items = host::Host::Get().panel().items.size();
        if (round == 0 || seconds < twenty) twenty = seconds;
    }

    // 2. A tick with one silent feed among the 20 (each feed has a new entry, so the tick parses and walks).
    std::vector<std::string> withSilent = urls;
    HttpServer::Reply silent = Reply(FeedDocument(99), 0);
    silent.silent = true;
    servers[0]->Serve("/silent.xml", silent);
    withSilent.insert(withSilent.begin() + 10, servers[0]->Url("/silent.xml"));
    double tickSilent = 0;
    {
        SetFeedList(urls);
        Plugin plugin;
        plugin.Start();
        SetFeedList(withSilent);
        for (int f = 0; f < kServers * kFeedsPerServer; ++f)
            servers[f % kServers]->Serve("/feed" + std::to_string(f) + ".xml",
                                         Reply(FeedDocument(f) + vexatest::RssEntry("New " + std::to_string(f)), kLatencyMs));
        tickSilent = plugin.Tick();
    }
    servers[0]->Stop(); // ends the silent answer, so its worker ends now
    servers[0]->Start();
    vexa::FetchJob::WaitForWorkers(20000);

    // 3. Unchanged refresh against 304 answers (no latency) and the bare parse of the same feeds.
    std::vector<std::string> plain;
    for (int f = 0; f < kServers * kFeedsPerServer; ++f) {
        HttpServer& server = *servers[f % kServers];
        std::string path = "/tagged" + std::to_string(f) + ".xml";
        server.Serve(path, Reply(FeedDocument(f), 0, "\"v" + std::to_string(f) + "\""));
        plain.push_back(server.Url(path));
    }
    double bare = 0;
    {
        CXmlParser parser;
        NullHandlers handlers;
        parser.SetCallback(&handlers);
        parser.Parse(plain[0]);
        for (int round = 0; round < 3; ++round) {
            auto t = Clock::now();
            for (const std::string& url : plain) parser.Parse(url);
            double seconds = Seconds(t);
            if (round == 0 || seconds < bare) bare = seconds;
        }
    }
    // The same 304s one after another through the store on this thread: the cost of the
    // requests themselves, without the side-by-side machinery of a tick.
    double sequential304 = 0;
    {
        CRssStore store;
        for (const std::string& url : plain) store.Load(url);
        for (int round = 0; round < 3; ++round) {
            auto t = Clock::now();
            for (const std::string& url : plain) store.Load(url);
            double seconds = Seconds(t);
            if (round == 0 || seconds < sequential304) sequential304 = seconds;
        }
    }
    SetFeedList(plain);
    double unchanged = 0;
    std::size_t unchangedBytes = 0;
    long lockGrowth = 0, hostGrowth = 0, threadGrowth = 0;
    long long handleGrowth = 0, bytesGrowth = 0;
    double manyTicks = 0;
    double slowestTick = 0;
    int slowTicks = 0;
    std::vector<std::string> lateItems;
    {
        Plugin plugin;
        plugin.Start();
        auto bytesSent = [&] {
            std::size_t total = 0;
            for (auto& server : servers) total += server->BodyBytesSent();
            return total;
        };
        for (int round = 0; round < 3; ++round) {
            std::size_t before = bytesSent();
            double seconds = plugin.Tick();
            unchangedBytes += bytesSent() - before;
            if (round == 0 || seconds < unchanged) unchanged = seconds;
        }

        // 4. Many unchanged ticks.
        for (int i = 0; i < 5; ++i) plugin.Tick(); // settle
        vexa::FetchJob::WaitForWorkers(5000);
        SIZE_T bytesBefore = vexatest::PrivateBytes();
        long locksBefore = vexa::Module::LockCount();
        long hostBefore = host::LiveObjects();
        long threadsBefore = vexatest::ThreadCount();
        DWORD handlesBefore = vexatest::HandleCount();
        const size_t itemsBefore = host::Host::Get().panel().items.size();
        auto t = Clock::now();
        for (int i = 0; i < ticks; ++i) {
            double seconds = plugin.Tick();
            if (seconds > slowestTick) slowestTick = seconds;
            slowTicks += seconds > 0.5;
        }
        manyTicks = Seconds(t);
        for (size_t i = itemsBefore; i < host::Host::Get().panel().items.size(); ++i) {
            const auto& state = host::Host::Get().panel().items[i].state;
            lateItems.push_back(state && state->heading ? vexatest::Narrow(*state->heading) : "?");
        }
        vexa::FetchJob::WaitForWorkers(5000);
        Sleep(200); // the servers' connection threads finish
        bytesGrowth = static_cast<long long>(vexatest::PrivateBytes()) - static_cast<long long>(bytesBefore);
        lockGrowth = vexa::Module::LockCount() - locksBefore;
        hostGrowth = host::LiveObjects() - hostBefore;
        threadGrowth = vexatest::ThreadCount() - threadsBefore;
        handleGrowth = static_cast<long long>(vexatest::HandleCount()) - static_cast<long long>(handlesBefore);
    }
    for (auto& server : servers) server->Stop();
    classes.reset();

    std::printf("latency per request          %d ms; %d feeds on %d servers, %d entries each\n",
                kLatencyMs, kServers * kFeedsPerServer, kServers, kEntries);
    std::printf("first refresh, one feed      %.3f s (best of 3; the floor)\n", one);
    std::printf("first refresh, 20 feeds      %.3f s (best of 3), %zu items\n", twenty, items);
    std::printf("ratio 20 feeds / one         %.2f (target <= 2.5; one after another about 20)\n",
                one > 0 ? twenty / one : 0.0);
    std::printf("tick with one silent feed    %.3f s on the host thread\n", tickSilent);
    std::printf("ratio tick / 2 s wait        %.2f (target <= 1 plus the parse and the walk)\n", tickSilent / 2.0);
    std::printf("bare parse of 20 feeds       %.3f s (best of 3; the floor)\n", bare);
    std::printf("unchanged tick (304s)        %.4f s (best of 3)\n", unchanged);
    std::printf("20 loads answered 304, one after another  %.4f s (best of 3)\n", sequential304);
    std::printf("ratio unchanged / bare       %.3f (target <= 0.1)\n", bare > 0 ? unchanged / bare : 0.0);
    std::printf("feed bytes in unchanged ticks %zu (target 0)\n", unchangedBytes);
    std::printf("%d unchanged ticks           %.3f s (%.4f s each)\n", ticks, manyTicks,
                ticks ? manyTicks / ticks : 0.0);
    std::printf("slowest of them              %.3f s; %d took over 0.5 s\n", slowestTick, slowTicks);
    for (const std::string& heading : lateItems)
        std::printf("  item added by an unchanged tick: \"%s\"\n", heading.c_str());
    std::printf("growth over them             %ld live Vexa objects, %ld host objects, %ld threads, "
                "%lld handles, %lld private bytes\n",
                lockGrowth, hostGrowth, threadGrowth, handleGrowth, bytesGrowth);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    int ticks = argc > 1 ? std::atoi(argv[1]) : 200;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int result = Run(ticks);
    CoUninitialize();
    return result;
}
