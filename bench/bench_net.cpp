// Network benchmark: the real plugin and the host stand-in against loopback servers that
// answer each request 300 ms late. Every figure is a ratio against a floor measured in the
// same run:
//   - a first refresh of 20 feeds on 10 servers (two each) against one feed's, beside the
//     same requests made with bare WinINet calls side by side under the same connection
//     limits (the network's floor) and without them;
//   - the host thread's time in a tick with one silent feed among them, against the 2 s wait;
//   - an unchanged refresh against servers that answer 304 (no latency), against the same
//     conditional requests made side by side with bare WinINet calls (the transport's floor),
//     and the feed bytes it transferred;
//   - many unchanged ticks: growth of live objects, threads, handles and private bytes.
//
// Usage: bench_net [unchanged-tick-count]   (default 200)
#define PSAPI_VERSION 2
#include <windows.h>
#include <objbase.h>
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "com/module.h"
#include "net/httpfetch.h"
#include "host/lib/hostlib.h"
#include "plugin/plugin.h"
#include "userdata/registryhelper.h"
#include "tests/support/downloads.h"
#include "tests/support/feedbuilder.h"
#include "tests/support/fixtures.h"
#include "tests/support/httpserver.h"
#include "tests/support/processusage.h"

using namespace vexa;

namespace {

constexpr int kLatencyMs = 300;
constexpr int kServers = 10;
constexpr int kFeedsPerServer = 2;
constexpr int kEntries = 100;

using Clock = std::chrono::steady_clock;
using vexatest::HttpServer;
double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

// The feed list: exactly these addresses.
void SetFeedList(const std::vector<std::string>& urls)
{
    RegDeleteTreeW(HKEY_CURRENT_USER, CRegistryHelper::kKeyPath);
    vexatest::WriteFeedList(urls);
}

// A feed whose titles are its own, so every entry becomes an item.
std::string FeedDocument(int feed)
{
    std::string doc = vexatest::LargeFeed(kEntries, 200);
    for (size_t at = doc.find("Entry "); at != std::string::npos; at = doc.find("Entry ", at + 1))
        doc.replace(at, 5, "F" + std::to_string(feed + 100));
    return doc;
}

// Serves every feed of the run under `prefix` (feed f on server f % kServers, as `reply(f)`
// gives it) and returns their addresses in feed order.
std::vector<std::string> ServeFeeds(std::vector<std::unique_ptr<HttpServer>>& servers, const char* prefix,
                                    const std::function<HttpServer::Reply(int)>& reply)
{
    std::vector<std::string> urls;
    for (int f = 0; f < kServers * kFeedsPerServer; ++f) {
        HttpServer& server = *servers[f % kServers];
        const std::string path = prefix + std::to_string(f) + ".xml";
        server.Serve(path, reply(f));
        urls.push_back(server.Url(path));
    }
    return urls;
}

// The transport's floor: the same GETs as the plugin's downloads (the same flags, the
// validators as If-None-Match), each on a thread of its own, all started at once with at
// most `inFlight` at a time, through one WinINet session opened beforehand. Seconds from the
// first start to the last body; `status` is the answer every one must get.
struct BareGet {
    HINTERNET session;
    HANDLE slots;
    std::wstring url, headers;
    DWORD status = 0;
};
DWORD WINAPI BareGetThread(void* param)
{
    auto* get = static_cast<BareGet*>(param);
    WaitForSingleObject(get->slots, INFINITE);
    const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI |
                        INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_AUTO_REDIRECT;
    if (HINTERNET request = InternetOpenUrlW(get->session, get->url.c_str(), get->headers.c_str(),
                                             static_cast<DWORD>(get->headers.size()), flags, 0)) {
        DWORD size = sizeof get->status;
        HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &get->status, &size, nullptr);
        char buffer[16 * 1024];
        DWORD read = 0; // as the plugin's downloads do, only a 200's body is read
        while (get->status == 200 && InternetReadFile(request, buffer, sizeof buffer, &read) && read > 0) {}
        InternetCloseHandle(request);
    }
    ReleaseSemaphore(get->slots, 1, nullptr);
    return 0;
}
double BareGets(HINTERNET session, const std::vector<std::string>& urls, bool conditional, int inFlight,
                DWORD status)
{
    std::vector<BareGet> gets;
    HANDLE slots = CreateSemaphoreW(nullptr, inFlight, inFlight, nullptr);
    for (std::size_t i = 0; i < urls.size(); ++i)
        gets.push_back(BareGet{session, slots, vexatest::Widen(urls[i]),
                               L"Accept-Encoding: gzip, deflate\r\n" +
                                   (conditional ? L"If-None-Match: \"v" + std::to_wstring(i) + L"\"\r\n" : L"")});
    std::vector<HANDLE> threads;
    auto t = Clock::now();
    for (BareGet& get : gets) threads.push_back(CreateThread(nullptr, 256 * 1024, BareGetThread, &get, 0, nullptr));
    WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
    const double seconds = Seconds(t);
    for (HANDLE thread : threads) CloseHandle(thread);
    CloseHandle(slots);
    for (const BareGet& get : gets)
        if (get.status != status) std::printf("a bare request was answered %lu\n", get.status);
    return seconds;
}
double BestOf(int rounds, const std::function<double()>& measure)
{
    double best = 0;
    for (int round = 0; round < rounds; ++round) {
        const double seconds = measure();
        if (round == 0 || seconds < best) best = seconds;
    }
    return best;
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
        HWND window = static_cast<CVexaPlugin*>(vexaPlugin.get())->TimerWindow();
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
    const std::vector<std::string> urls =
        ServeFeeds(servers, "/feed", [](int f) { return vexatest::FeedReply(FeedDocument(f), kLatencyMs); });
    size_t items = 0;
    double spread = 0; // of the requests' arrival at the servers: the smallest of the rounds
    auto firstRefresh = [&](const std::vector<std::string>& list) {
        SetFeedList(list);
        return BestOf(3, [&] {
            for (auto& server : servers) server->ClearRequests();
            Plugin plugin;
            double seconds = plugin.Start();
            items = host::Host::Get().panel().items.size();
            Clock::time_point first = Clock::time_point::max(), last = Clock::time_point::min();
            for (auto& server : servers)
                for (Clock::time_point at : server->RequestTimes()) {
                    first = std::min(first, at);
                    last = std::max(last, at);
                }
            const double roundSpread = std::chrono::duration<double>(last - first).count();
            if (spread == 0 || roundSpread < spread) spread = roundSpread;
            return seconds;
        });
    };
    const double one = firstRefresh({urls[0]});
    spread = 0;
    const double twenty = firstRefresh(urls);
    const size_t twentyItems = items;
    double bareOne = 0, bareTwenty = 0, bareUnlimited = 0;
    {
        HINTERNET session = InternetOpenW(L"bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
        bareOne = BestOf(3, [&] { return BareGets(session, {urls[0]}, false, kMaxConnections, 200); });
        bareTwenty = BestOf(3, [&] { return BareGets(session, urls, false, kMaxConnections, 200); });
        bareUnlimited = BestOf(3, [&] { return BareGets(session, urls, false, 64, 200); });
        InternetCloseHandle(session);
    }

    // 2. A tick with one silent feed among the 20 (each feed has a new entry, so the tick parses and walks).
    std::vector<std::string> withSilent = urls;
    HttpServer::Reply silent = vexatest::FeedReply(FeedDocument(99));
    silent.silent = true;
    servers[0]->Serve("/silent.xml", silent);
    withSilent.insert(withSilent.begin() + 10, servers[0]->Url("/silent.xml"));
    double tickSilent = 0;
    {
        SetFeedList(urls);
        Plugin plugin;
        plugin.Start();
        SetFeedList(withSilent);
        ServeFeeds(servers, "/feed", [](int f) {
            return vexatest::FeedReply(FeedDocument(f) + vexatest::RssEntry("New " + std::to_string(f)), kLatencyMs);
        });
        tickSilent = plugin.Tick();
    }
    servers[0]->Stop(); // ends the silent answer, so its worker ends now
    servers[0]->Start();
    vexa::FetchJob::WaitForWorkers(20000);

    // 3. Unchanged refresh against 304 answers (no latency), and the same requests made bare.
    const std::vector<std::string> plain = ServeFeeds(servers, "/tagged", [](int f) {
        HttpServer::Reply reply = vexatest::FeedReply(FeedDocument(f));
        reply.etag = "\"v" + std::to_string(f) + "\"";
        return reply;
    });
    SetFeedList(plain);
    double unchanged = 0, bare304 = 0;
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
        // Rounds of the tick and of its floor take turns, so a busy moment of the machine
        // falls on both alike.
        HINTERNET session = InternetOpenW(L"bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
        BareGets(session, plain, true, kMaxConnections, 304);
        for (int round = 0; round < 7; ++round) {
            std::size_t before = bytesSent();
            double seconds = plugin.Tick();
            unchangedBytes += bytesSent() - before;
            if (round == 0 || seconds < unchanged) unchanged = seconds;
            seconds = BareGets(session, plain, true, kMaxConnections, 304);
            if (round == 0 || seconds < bare304) bare304 = seconds;
        }
        InternetCloseHandle(session);

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
    std::printf("first refresh, 20 feeds      %.3f s (best of 3), %zu items\n", twenty, twentyItems);
    std::printf("request spread, 20 feeds     %.3f s from the first request's arrival to the last's (best "
                "of 3; target <= 0.1)\n", spread);
    std::printf("ratio 20 feeds / one         %.2f (target <= 1.3; one after another about 20)\n",
                one > 0 ? twenty / one : 0.0);
    std::printf("bare WinINet GETs side by side: one %.3f s; 20 at most %d at a time %.3f s (ratio %.2f), "
                "20 at once %.3f s (ratio %.2f)\n", bareOne, kMaxConnections, bareTwenty, bareTwenty / bareOne, bareUnlimited,
                bareUnlimited / bareOne);
    std::printf("ratio 20 feeds / bare 20     %.2f (the network's floor under the same limits)\n",
                twenty / bareTwenty);
    std::printf("tick with one silent feed    %.3f s on the host thread\n", tickSilent);
    std::printf("ratio tick / 2 s wait        %.2f (target <= 1 plus the parse and the walk)\n", tickSilent / 2.0);
    std::printf("20 bare conditional GETs side by side (304s)  %.4f s (best of 7; the floor)\n", bare304);
    std::printf("unchanged tick (304s)        %.4f s (best of 7)\n", unchanged);
    std::printf("ratio unchanged / bare 304s  %.2f (target <= 1.2)\n", bare304 > 0 ? unchanged / bare304 : 0.0);
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
